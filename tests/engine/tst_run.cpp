// The replacement run against real tables on the test server, with the Main window played by a host
// that tests can steer. Every check reads what the database and the log hold afterwards.
#include "core/Procedure.h"
#include "engine/ReplaceRun.h"
#include "engine/ReplacementLog.h"
#include "tests/support/ScriptedPrompts.h"
#include "tests/support/TestDatabase.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <functional>

using namespace quarvel;
using namespace quarvel::engine;
using quarvel::test::TestDatabase;

namespace {

const QString Schema = QStringLiteral("run_tests");

using Pairs = QList<QPair<QString, QString>>;

struct Entry
{
    db::Table table;
    bool ticked = true;
};

class FakeHost : public RunHost
{
public:
    QList<Entry> entries;
    QString connection = TestDatabase::connectionString();
    int tab = 0;
    QString find;
    QString replacement;
    Pairs sets;
    std::function<void()> onEvents;
    QList<int> pointerModes;
    test::ScriptedPrompts shown;
    int eventCalls = 0;

    int tableCount() override { return int(entries.size()); }
    bool isTicked(int i) override { return entries.at(i).ticked; }
    db::Table table(int i) override { return entries.at(i).table; }
    QString tableText(int i) override { return entries.at(i).table.displayName(); }
    QString connectionString() override { return connection; }
    int selectedTab() override { return tab; }
    QString findText() override { return find; }
    QString replaceText() override { return replacement; }
    int setCount() override { return int(sets.size()); }
    QString setFindText(int k) override { return sets.at(k).first; }
    QString setReplaceText(int k) override { return sets.at(k).second; }
    void processEvents() override
    {
        ++eventCalls;
        if (onEvents)
            onEvents();
    }
    void setPointerMode(PointerMode mode) override { pointerModes << mode; }
    Prompts& prompts() override { return shown; }
};

QString sql(const QString& text)
{
    return TestDatabase::psql(text);
}

// psql's arguments to run a statement as the test role, for a session of its own that runs beside
// the run (its password comes from PGPASSWORD, set for the test process).
QStringList psqlArguments(const QString& statement)
{
    const auto d = TestDatabase::details();
    qputenv("PGPASSWORD", d.password.toUtf8());
    return {"-X", "-q",   "-v", "ON_ERROR_STOP=1", "-h", d.server, "-p", d.port,
            "-U", d.user, "-d", d.database,        "-c", statement};
}

db::Table table(const QString& name, const QString& schema = Schema)
{
    return {schema, name};
}

} // namespace

class TestRun : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QUARVEL_REQUIRE_DB();
        QVERIFY(m_temp.isValid());
    }

    void init()
    {
        TestDatabase::freshSchema(Schema);
        qputenv("TEMP", m_temp.path().toLocal8Bit());
        QFile::remove(logFilePath());
    }

    void noTickedTableOpensNoConnection()
    {
        sql("CREATE TABLE run_tests.t (v text); INSERT INTO run_tests.t VALUES ('abc');");
        FakeHost host;
        host.entries = {{table("t"), false}};
        host.find = "abc";
        host.replacement = "xyz";
        const long long before = TestDatabase::connectionCount();
        QVERIFY(ReplaceRun().PushButton1_Click(host));
        QCOMPARE(TestDatabase::connectionCount(), before);
        QCOMPARE(host.pointerModes, (QList<int>{Hourglass, DefaultPointer}));
        QCOMPARE(host.shown.messages(), QStringList{"Done."});
        QCOMPARE(host.shown.errorReports(), QStringList());
        QCOMPARE(sql("SELECT v FROM run_tests.t"), QString("abc"));
    }

    void emptyTableIsOpenedAndClosed()
    {
        sql("CREATE TABLE run_tests.empty (v text);");
        FakeHost host;
        host.entries = {{table("empty")}};
        host.find = "a";
        const long long before = TestDatabase::connectionCount();
        ReplaceRun().PushButton1_Click(host);
        QCOMPARE(TestDatabase::connectionCount(), before + 2); // one to read, one to store
        QCOMPARE(host.shown.errorReports(), QStringList());
        QCOMPARE(host.shown.messages(), QStringList{"Done."});
        QVERIFY(!QFile::exists(logFilePath()));
    }

    void singlePairRewritesEveryMatchingField()
    {
        sql("CREATE TABLE run_tests.t (id int PRIMARY KEY, a text, b varchar(20), n numeric, z text);"
            "INSERT INTO run_tests.t VALUES (1, 'xABCx', 'ABC', 1234, NULL),"
            " (2, '  ABC  ', 'abc', 2345, ''), (3, 'ABCABC', NULL, 1, 'ABC');");
        FakeHost host;
        host.entries = {{table("t")}};
        host.find = "ABC";
        host.replacement = "";
        ReplaceRun().PushButton1_Click(host);
        QCOMPARE(host.shown.errorReports(), QStringList());
        QCOMPARE(
            sql("SELECT id, a, coalesce(b, '<null>'), n, coalesce(z, '<null>') FROM run_tests.t ORDER BY id"),
            QString("1|xx||1234|<null>\n2||abc|2345|\n3||<null>|1|"));
        const QStringList lines = logLines();
        QCOMPARE(lines.size(), 5);
        for (const QString& line : lines)
            QVERIFY2(line.contains("] - ABC was replace to  at table (run_tests.t) and column ("),
                     qPrintable(line));
        QVERIFY(lines[0].endsWith("and column (a)"));
        QVERIFY(lines[1].endsWith("and column (b)"));
    }

    void numericFieldIsStoredFromTheReplacedText()
    {
        sql("CREATE TABLE run_tests.n (v integer, w numeric(8,2)); INSERT INTO run_tests.n VALUES (1234, "
            "123.40);");
        FakeHost host;
        host.entries = {{table("n")}};
        host.find = "23";
        host.replacement = "45";
        ReplaceRun().PushButton1_Click(host);
        QCOMPARE(host.shown.errorReports(), QStringList());
        QCOMPARE(sql("SELECT v, w FROM run_tests.n"), QString("1454|145.40"));
    }

    void setsWorkAsAChainInsideOneField_data()
    {
        QTest::addColumn<Pairs>("sets");
        QTest::addColumn<QString>("result");
        QTest::addColumn<QStringList>("logged");
        QTest::newRow("a->b then b->c") << Pairs{{"a", "b"}, {"b", "c"}} << "c"
                                        << QStringList{"a was replace to b", "b was replace to c"};
        QTest::newRow("b->c then a->b")
            << Pairs{{"b", "c"}, {"a", "b"}} << "b" << QStringList{"a was replace to b"};
        QTest::newRow("empty set lists") << Pairs{} << "a" << QStringList{};
        QTest::newRow("empty find text is skipped")
            << Pairs{{"", "z"}, {"a", "d"}} << "d" << QStringList{"a was replace to d"};
    }
    void setsWorkAsAChainInsideOneField()
    {
        QFETCH(Pairs, sets);
        QFETCH(QString, result);
        QFETCH(QStringList, logged);
        sql("CREATE TABLE run_tests.s (v text); INSERT INTO run_tests.s VALUES ('a');");
        FakeHost host;
        host.entries = {{table("s")}};
        host.tab = 1;
        host.find = "a"; // the first tab's pair must not be applied
        host.replacement = "zzz";
        host.sets = sets;
        ReplaceRun().PushButton1_Click(host);
        QCOMPARE(sql("SELECT v FROM run_tests.s"), result);
        const QStringList lines = logLines();
        QCOMPARE(lines.size(), logged.size());
        for (int i = 0; i < lines.size(); ++i)
            QVERIFY2(lines[i].contains("] - " + logged[i] + " at table (run_tests.s) and column (v)"),
                     qPrintable(lines[i]));
    }

    void tableNamesThatNeedQuotingWork()
    {
        sql("CREATE SCHEMA IF NOT EXISTS \"Other Schema\";"
            "DROP TABLE IF EXISTS \"Other Schema\".\"Mixed \"\"Case\"\"; DROP\";"
            "CREATE TABLE \"Other Schema\".\"Mixed \"\"Case\"\"; DROP\" (\"Value Col\" text);"
            "INSERT INTO \"Other Schema\".\"Mixed \"\"Case\"\"; DROP\" VALUES ('old');");
        FakeHost host;
        host.entries = {{table("Mixed \"Case\"; DROP", "Other Schema")}};
        host.find = "old";
        host.replacement = "new";
        ReplaceRun().PushButton1_Click(host);
        QCOMPARE(host.shown.errorReports(), QStringList());
        QCOMPARE(sql("SELECT \"Value Col\" FROM \"Other Schema\".\"Mixed \"\"Case\"\"; DROP\""),
                 QString("new"));
        QCOMPARE(logLines().size(), 1);
        QVERIFY(
            logLines()[0].endsWith("at table (Other Schema.Mixed \"Case\"; DROP) and column (Value Col)"));
        sql("DROP SCHEMA \"Other Schema\" CASCADE;");
    }

    void partitionedTableRowsChangeOnce()
    {
        sql("CREATE TABLE run_tests.p (k int, v text) PARTITION BY RANGE (k);"
            "CREATE TABLE run_tests.p1 PARTITION OF run_tests.p FOR VALUES FROM (0) TO (10);"
            "CREATE TABLE run_tests.p2 PARTITION OF run_tests.p FOR VALUES FROM (10) TO (20);"
            "INSERT INTO run_tests.p VALUES (1, 'a'), (11, 'a'), (2, 'xa');");
        FakeHost host;
        host.entries = {{table("p")}};
        host.find = "a";
        host.replacement = "aa"; // a second pass over a row would show as 'aaaa'
        ReplaceRun().PushButton1_Click(host);
        QCOMPARE(host.shown.errorReports(), QStringList());
        QCOMPARE(sql("SELECT string_agg(v, ',' ORDER BY k) FROM run_tests.p"), QString("aa,xaa,aa"));
    }

    // Rows loaded by one statement share one version (xmin), and a rewrite moves them to other places.
    // The walk holds the table, so a rewrite started during it waits: the run gives the table up
    // with one report rather than storing into moved rows, and the rewrite goes on afterwards.
    // clang-format off
    void tableRewrittenDuringTheRunIsLeftWithOneReport_data()
    {
        QTest::addColumn<QString>("rewrite");
        QTest::newRow("VACUUM FULL") << "VACUUM FULL run_tests.w";
        QTest::newRow("CLUSTER in reverse order")
            << "CREATE INDEX w_back ON run_tests.w (id DESC); CLUSTER run_tests.w USING w_back";
    }
    // clang-format on

    void tableRewrittenDuringTheRunIsLeftWithOneReport()
    {
        QFETCH(QString, rewrite);
        sql("CREATE TABLE run_tests.w (id int, v text);"
            "INSERT INTO run_tests.w SELECT g, 'row' || g FROM generate_series(1, 40) g;");
        const QString before = sql("SELECT relfilenode FROM pg_class WHERE oid = 'run_tests.w'::regclass");
        FakeHost host;
        host.entries = {{table("w")}};
        host.find = "row";
        host.replacement = "ROW";
        QProcess other;
        // Two fields a record: after the third record.
        host.onEvents = [&] {
            if (host.eventCalls != 7)
                return;
            other.start("psql", psqlArguments(rewrite));
            for (int i = 0; i < 200 && sql("SELECT count(*) FROM pg_locks WHERE NOT granted AND relation = "
                                           "'run_tests.w'::regclass") == "0";
                 ++i)
                QThread::msleep(50);
        };
        ReplaceRun().PushButton1_Click(host);
        QVERIFY(other.waitForFinished(60000));
        QCOMPARE(other.exitCode(), 0);
        QVERIFY(sql("SELECT relfilenode FROM pg_class WHERE oid = 'run_tests.w'::regclass") != before);
        const QStringList reports = host.shown.errorReports();
        QCOMPARE(reports.size(), 1);
        QVERIFY2(reports[0].contains("at line 156") && reports[0].contains("waits to lock it whole"),
                 qPrintable(reports[0]));
        QCOMPARE(host.shown.messages(), QStringList{"Done."});
        // No row holds another row's text.
        QCOMPARE(sql("SELECT count(*) FROM run_tests.w WHERE v NOT IN ('row' || id, 'ROW' || id)"),
                 QString("0"));
        QCOMPARE(sql("SELECT count(*) FROM run_tests.w"), QString("40"));
    }

    void constraintRefusingOneRecordIsReportedAtTheMove()
    {
        sql("CREATE TABLE run_tests.c (id int PRIMARY KEY, v text CHECK (v <> 'bad'));"
            "INSERT INTO run_tests.c VALUES (1, 'good'), (2, 'goo'), (3, 'fine');");
        FakeHost host;
        host.entries = {{table("c")}};
        host.find = "goo";
        host.replacement = "ba"; // 'good' becomes 'bad', which the check refuses; 'goo' becomes 'ba'
        ReplaceRun().PushButton1_Click(host);
        const QStringList reports = host.shown.errorReports();
        QCOMPARE(reports.size(), 1);
        QVERIFY2(reports[0].contains("at line 156"), qPrintable(reports[0]));
        QVERIFY2(reports[0].contains("check constraint"), qPrintable(reports[0]));
        // Told when its batch was stored, so it names the record.
        QVERIFY2(reports[0].contains("\nRecord at (0,1) in run_tests.c, key (id)=(1).\r\n"),
                 qPrintable(reports[0]));
        QCOMPARE(sql("SELECT string_agg(v, ',' ORDER BY id) FROM run_tests.c"), QString("good,ba,fine"));
        QCOMPARE(host.shown.messages(), QStringList{"Done."});
    }

    void columnRefusingTheTextIsReportedAtTheStore()
    {
        sql("CREATE TABLE run_tests.r (id int PRIMARY KEY, t text, n integer);"
            "INSERT INTO run_tests.r VALUES (1, 'a2', 1234), (3, 'b', 5);");
        FakeHost host;
        host.entries = {{table("r")}};
        host.find = "2";
        host.replacement = "x";
        ReplaceRun().PushButton1_Click(host);
        const QStringList reports = host.shown.errorReports();
        QCOMPARE(reports.size(), 1);
        QVERIFY2(reports[0].contains("at line 140"), qPrintable(reports[0]));
        QVERIFY2(reports[0].contains("invalid input syntax for type integer"), qPrintable(reports[0]));
        // the record's other field is stored, the refused one keeps its value; the log names both
        QCOMPARE(sql("SELECT string_agg(id || ':' || t || ':' || n, ',' ORDER BY id) FROM run_tests.r"),
                 QString("1:ax:1234,3:b:5"));
        QCOMPARE(logLines().size(), 2);
    }

    void refusedSetValueIsReportedAtLine150()
    {
        sql("CREATE TABLE run_tests.r2 (v varchar(3)); INSERT INTO run_tests.r2 VALUES ('abc');");
        FakeHost host;
        host.entries = {{table("r2")}};
        host.tab = 1;
        host.sets = {{"b", "bbbb"}, {"a", "A"}};
        ReplaceRun().PushButton1_Click(host);
        const QStringList reports = host.shown.errorReports();
        QCOMPARE(reports.size(), 1);
        QVERIFY2(reports[0].contains("at line 150"), qPrintable(reports[0]));
        QCOMPARE(sql("SELECT v FROM run_tests.r2"), QString("Abc"));
    }

    void cutConnectionLeavesTheTableAndTheRunGoesOn()
    {
        sql("CREATE TABLE run_tests.big (id int, v text);"
            "INSERT INTO run_tests.big SELECT g, 'abc' FROM generate_series(1, 200) g;"
            "CREATE TABLE run_tests.after (v text); INSERT INTO run_tests.after VALUES ('abc');");
        FakeHost host;
        host.entries = {{table("big")}, {table("after")}};
        host.find = "abc";
        host.replacement = "xyz";
        host.onEvents = [&] {
            if (host.eventCalls == 21) // in the middle of the first table
                TestDatabase::psqlAdmin("SELECT pg_terminate_backend(pid) FROM pg_stat_activity "
                                        "WHERE usename = 'quarvel' AND datname = current_database() "
                                        "AND pid <> pg_backend_pid();");
        };
        ReplaceRun().PushButton1_Click(host);
        const QStringList reports = host.shown.errorReports();
        QVERIFY2(!reports.isEmpty() && reports.size() <= 2, qPrintable(reports.join("\n---\n")));
        QCOMPARE(host.shown.messages(), QStringList{"Done."});
        QCOMPARE(sql("SELECT v FROM run_tests.after"), QString("xyz"));
        // The records walked before the cut were waiting in their batch: none was stored.
        QCOMPARE(sql("SELECT count(*) FROM run_tests.big WHERE v = 'xyz'"), QString("0"));
    }

    void unwritableLogIsReportedAndTheReplacementStillMade()
    {
        sql("CREATE TABLE run_tests.l (v text); INSERT INTO run_tests.l VALUES ('abc'), ('abd');");
        qputenv("TEMP", "/nonexistent-quarvel-log-folder");
        FakeHost host;
        host.entries = {{table("l")}};
        host.find = "ab";
        host.replacement = "X";
        ReplaceRun().PushButton1_Click(host);
        const QStringList reports = host.shown.errorReports();
        QCOMPARE(reports.size(), 2);
        for (const QString& r : reports)
            QVERIFY2(r.contains("at line 138") && r.contains("backups.log"), qPrintable(r));
        QCOMPARE(sql("SELECT string_agg(v, ',' ORDER BY v) FROM run_tests.l"), QString("Xc,Xd"));

        host.shown.clear();
        host.tab = 1;
        host.sets = {{"X", "Y"}};
        ReplaceRun().PushButton1_Click(host);
        QCOMPARE(host.shown.errorReports().size(), 2);
        QVERIFY(host.shown.errorReports()[0].contains("at line 148"));
        QCOMPARE(sql("SELECT string_agg(v, ',' ORDER BY v) FROM run_tests.l"), QString("Yc,Yd"));
    }

    void findTextChangedDuringTheRunCountsFromTheNextField()
    {
        sql("CREATE TABLE run_tests.f (id int, a text, b text);"
            "INSERT INTO run_tests.f VALUES (1, 'old', 'old'), (2, 'old', 'new');");
        FakeHost host;
        host.entries = {{table("f")}};
        host.find = "old";
        host.replacement = "mid";
        // Events are processed before each field: before the third field (b), the user changes the pair.
        host.onEvents = [&] {
            if (host.eventCalls == 3) {
                host.find = "new";
                host.replacement = "NEW";
            }
        };
        ReplaceRun().PushButton1_Click(host);
        QCOMPARE(sql("SELECT string_agg(a || '/' || b, ',' ORDER BY id) FROM run_tests.f"),
                 QString("mid/old,old/NEW"));
    }

    void secondStartDuringARunIsRefused()
    {
        sql("CREATE TABLE run_tests.d (v text); INSERT INTO run_tests.d VALUES ('a');");
        FakeHost host;
        host.entries = {{table("d")}};
        host.find = "a";
        host.replacement = "aa";
        bool second = true;
        ReplaceRun run;
        host.onEvents = [&] {
            FakeHost other;
            other.entries = host.entries;
            other.find = "a";
            other.replacement = "aa";
            second = run.PushButton1_Click(other);
            QVERIFY(run.isRunning());
        };
        QVERIFY(run.PushButton1_Click(host));
        QVERIFY(!second);
        QVERIFY(!run.isRunning());
        QCOMPARE(sql("SELECT v FROM run_tests.d"), QString("aa"));
    }

    void unreachableServerIsReportedOncePerTable()
    {
        sql("CREATE TABLE run_tests.u (v text); INSERT INTO run_tests.u VALUES ('a');");
        FakeHost host;
        host.entries = {{table("u")}, {table("u")}};
        auto details = TestDatabase::details();
        details.port = "1";
        host.connection = db::BuildConnectionString(details);
        host.find = "a";
        ReplaceRun().PushButton1_Click(host);
        const QStringList reports = host.shown.errorReports();
        QCOMPARE(reports.size(), 2);
        QVERIFY(reports[0].contains("at line 112"));
        QCOMPARE(host.shown.messages(), QStringList{"Done."});
        QCOMPARE(host.pointerModes, (QList<int>{Hourglass, DefaultPointer}));
    }

    void missingTableIsReportedOnceAndTheNextTableRuns()
    {
        sql("CREATE TABLE run_tests.ok (v text); INSERT INTO run_tests.ok VALUES ('a');");
        FakeHost host;
        host.entries = {{table("gone")}, {table("ok")}};
        host.find = "a";
        host.replacement = "b";
        ReplaceRun().PushButton1_Click(host);
        const QStringList reports = host.shown.errorReports();
        QCOMPARE(reports.size(), 1);
        QVERIFY2(reports[0].contains("at line 118") && reports[0].contains("Form2.PushButton1_Click"),
                 qPrintable(reports[0]));
        QCOMPARE(sql("SELECT v FROM run_tests.ok"), QString("b"));
    }

private:
    QStringList logLines() const
    {
        QFile file(logFilePath());
        if (!file.open(QIODevice::ReadOnly))
            return {};
        QString text = QString::fromLatin1(file.readAll());
        if (text.endsWith("\r\n"))
            text.chop(2);
        return text.isEmpty() ? QStringList() : text.split("\r\n");
    }

    QTemporaryDir m_temp;
};

QTEST_GUILESS_MAIN(TestRun)
#include "tst_run.moc"
