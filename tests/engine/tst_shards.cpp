// A sharded table: a partitioned table on the test server whose partitions are postgres_fdw foreign tables
// on a second server, plus one of its own. The server-side run must leave on the other server, read there
// directly, what the record walk leaves on an all-local copy, with the same log lines and refusals, and
// its journal must put the other server's rows back.
#include "engine/Journal.h"
#include "engine/Preview.h"
#include "engine/PushdownRun.h"
#include "engine/ReplaceRun.h"
#include "engine/ReplacementLog.h"
#include "engine/Undo.h"
#include "tests/support/SetsRunHost.h"
#include "tests/support/TestDatabase.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

using namespace quarvel;
using namespace quarvel::engine;
using quarvel::test::TestDatabase;

namespace {

using Host = test::SetsRunHost;

QString literal(QString text)
{
    return u'\'' + text.replace(u'\'', QStringLiteral("''")) + u'\'';
}

const QString Columns =
    QStringLiteral("k int, s text, v varchar, n int, ia int[], jb jsonb, tz timestamptz, d numeric, u uuid");

// The rows of one partition: k chosen without a 7 or an 8, so that no pair moves a row to another
// partition.
QString rowsFor(int from, int to)
{
    return QStringLiteral("SELECT g, CASE g % 5 WHEN 0 THEN 'ab ' || g WHEN 1 THEN 'c c' WHEN 2 THEN NULL "
                          "  WHEN 3 THEN ' xab ' ELSE 'none' END, "
                          "CASE WHEN g % 3 = 0 THEN 'xbx' ELSE 'q' END, g % 20, "
                          "CASE WHEN g % 4 = 0 THEN ARRAY[7, g] END, "
                          "CASE WHEN g % 6 = 0 THEN jsonb_build_object('ab', 'b' || g) ELSE '7' END, "
                          "'2024-05-01 10:00+02'::timestamptz + g * interval '7 minutes', g / 8.0, "
                          "CASE WHEN g % 7 = 0 THEN 'a0eebc99-9c0b-4ef8-bb6d-6bb9bd380aff'::uuid END "
                          "FROM generate_series(%1, %2) g WHERE g::text !~ '[78]'")
        .arg(from)
        .arg(to);
}

struct Partition
{
    QString name;
    int from;
    int to;
    bool remote;
};

const QList<Partition> Partitions{
    {"p_home", 0, 400, false}, {"p_east", 1000, 1400, true}, {"p_west", 2000, 2400, true}};

// "8" -> "x" -> "9" on an integer: the record walk refuses the "x" between.
const QList<Set> ChainedSets{{"ab", "b"}, {"b", "cc"}, {"c ", " x "}, {"7", "8"},
                             {"8", "x"},  {"x", "9"},  {"a0", "a1"}};

// The partitioned table p in schema, with every partition local (the record walk's copy) or those marked
// remote as foreign tables on the other server, whose tables live there in a schema of the same name.
void buildTable(const QString& schema, bool sharded)
{
    TestDatabase::freshSchema(schema);
    QString local = QStringLiteral("SET search_path = %1; CREATE TABLE p (%2) PARTITION BY RANGE (k);")
                        .arg(schema, Columns);
    QString remote =
        QStringLiteral("DROP SCHEMA IF EXISTS %1 CASCADE; CREATE SCHEMA %1; SET search_path = %1;")
            .arg(schema);
    for (const Partition& part : Partitions) {
        const QString bounds = QStringLiteral("FOR VALUES FROM (%1) TO (%2)").arg(part.from).arg(part.to + 1);
        if (sharded && part.remote) {
            remote += QStringLiteral("CREATE TABLE %1 (%2); INSERT INTO %1 %3;")
                          .arg(part.name, Columns, rowsFor(part.from, part.to));
            local += QStringLiteral("CREATE FOREIGN TABLE %1 PARTITION OF p %2 SERVER quarvel_shard "
                                    "OPTIONS (schema_name %3, table_name %4);")
                         .arg(part.name, bounds, literal(schema), literal(part.name));
        } else {
            local += QStringLiteral("CREATE TABLE %1 PARTITION OF p %2; INSERT INTO %1 %3;")
                         .arg(part.name, bounds, rowsFor(part.from, part.to));
        }
    }
    if (sharded)
        TestDatabase::psqlRemote(remote);
    TestDatabase::psql(local);
}

// A partition's rows in their text form, sorted; read on the server that holds them.
QString rowsOf(const QString& schema, const Partition& part, bool sharded)
{
    const QString sql =
        QStringLiteral(
            "SET TimeZone = 'UTC'; SELECT string_agg(x::text, E'\\n' ORDER BY x::text COLLATE \"C\") "
            "FROM ONLY %1.%2 x")
            .arg(schema, part.name);
    return sharded && part.remote ? TestDatabase::psqlRemote(sql) : TestDatabase::psql(sql);
}

QStringList tableText(const QString& schema, bool sharded)
{
    QStringList parts;
    for (const Partition& part : Partitions)
        parts << part.name + u'\n' + rowsOf(schema, part, sharded);
    return parts;
}

} // namespace

class TestShards : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QUARVEL_REQUIRE_DB();
        if (!TestDatabase::remoteAvailable()) {
            if (qEnvironmentVariableIntValue("QUARVEL_ALLOW_DB_SKIP") == 1)
                QSKIP("no second server (QUARVEL_TEST_REMOTE_* unset)");
            QFAIL("no second server: QUARVEL_TEST_REMOTE_* are unset; run the tests through scripts/test");
        }
        QVERIFY(m_temp.isValid());
        qputenv("TEMP", m_temp.path().toLocal8Bit());
        // postgres_fdw is not a trusted extension: the superuser installs it, the test role (the one the
        // runs connect as) may then define servers with it.
        const auto here = TestDatabase::details();
        TestDatabase::psqlAdmin(QStringLiteral("CREATE EXTENSION IF NOT EXISTS postgres_fdw;"
                                               "GRANT USAGE ON FOREIGN DATA WRAPPER postgres_fdw TO \"%1\";")
                                    .arg(here.user));
        const auto there = TestDatabase::remoteDetails();
        TestDatabase::psql(QStringLiteral("DROP SERVER IF EXISTS quarvel_shard CASCADE;"
                                          "CREATE SERVER quarvel_shard FOREIGN DATA WRAPPER postgres_fdw "
                                          "OPTIONS (host %1, port %2, dbname %3);"
                                          "CREATE USER MAPPING FOR CURRENT_USER SERVER quarvel_shard "
                                          "OPTIONS (user %4, password %5);")
                               .arg(literal(there.server), literal(there.port), literal(there.database),
                                    literal(there.user), literal(there.password)));
    }

    void init() { QFile::remove(logFilePath()); }

    void shardedTableEndsAsTheRecordWalkLeavesALocalCopy()
    {
        buildTable("shards_walk", false);
        buildTable("shards_run", true);
        const QStringList before = tableText("shards_run", true);
        QCOMPARE(before, tableText("shards_walk", false));
        // The rows are where the test means them to be: on the other server, not in the foreign tables'
        // own storage.
        QCOMPARE(TestDatabase::psqlRemote("SELECT count(*) FROM shards_run.p_east"), QString("257"));

        Host walk;
        walk.tables = {{"shards_walk", "p"}};
        walk.sets = ChainedSets;
        QVERIFY(ReplaceRun().PushButton1_Click(walk));
        const QStringList walkLog = test::logLinesOf("shards_walk");
        const QStringList walked = tableText("shards_walk", false);
        QFile::remove(logFilePath());

        // The preview on the server counts per column what the run then changes, on the other server too.
        PreviewRequest request{
            TestDatabase::connectionString(), {{{"shards_run", "p"}, "p"}}, ChainedSets, 0, true};
        PreviewObserver watching;
        QMap<QString, long long> previewed;
        for (const PreviewColumn& column : Preview(request, watching).value(0).columns)
            if (column.changes > 0)
                previewed[column.name] = column.changes;

        Journal journal(m_temp.filePath("journal.sqlite3"));
        Host server;
        server.tables = {{"shards_run", "p"}};
        server.sets = ChainedSets;
        server.journaling = &journal;
        PushdownRun run;
        run.setBatchRows(60); // several batches per partition
        QStringList ways;
        run.tableWay = [&](int, const QString& why) { ways << why; };
        QVERIFY(run.run(server));
        QCOMPARE(ways, QStringList{QString()}); // the server does it, through postgres_fdw

        QCOMPARE(server.shown.messages(), QStringList{"Done."});
        QCOMPARE(tableText("shards_run", true), walked);
        QVERIFY(walked != before);
        // The chain reached the other server: "ab 1005" -> "b 1005" -> "cc 1005" -> "c x 1005" -> "c 9 1005",
        // and an array's 7 became 8 (its "x" after was refused).
        QVERIFY(rowsOf("shards_run", Partitions[1], true).contains("(1005,\"c 9 1005\",9cc9,5,,8,"));
        QVERIFY(rowsOf("shards_run", Partitions[2], true).contains("(2004,none,9cc9,4,\"{8,2004}\","));
        QCOMPARE(test::logLinesOf("shards_run"), walkLog);
        QVERIFY(walkLog.size() > 500);
        QCOMPARE(test::refusalsOf(server.shown), test::refusalsOf(walk.shown));
        QVERIFY(test::refusalsOf(walk.shown).contains("ERROR: invalid input syntax for type integer: \"x\""));

        const qint64 made = journal.newestRun();
        QMap<QString, long long> changed;
        journal.forEachStore(made, [&](const JournalStore& store) {
            for (const db::RestoreRow& row : test::storedRows(journal, store))
                for (const db::RestoreField& field : row.fields)
                    ++changed[field.column];
        });
        QCOMPARE(previewed, changed);
        const UndoReport undone = undoRun(journal, made, TestDatabase::connectionString());
        QCOMPARE(undone.listed, QStringList());
        QCOMPARE(undone.failed, 0);
        QCOMPARE(tableText("shards_run", true), before);
    }

    // A replacement that grows every row of a full remote table: each new version goes to another page,
    // which a later batch reads; every row must still change once.
    void growingReplacementOnTheOtherServerChangesEveryRowOnce()
    {
        TestDatabase::freshSchema("shards_grow");
        TestDatabase::psqlRemote(
            "DROP SCHEMA IF EXISTS shards_grow CASCADE; CREATE SCHEMA shards_grow;"
            "CREATE TABLE shards_grow.g_far (k int, s text) WITH (fillfactor = 100);"
            "INSERT INTO shards_grow.g_far SELECT g, 'a' FROM generate_series(1, 3000) g;"
            "ANALYZE shards_grow.g_far;");
        TestDatabase::psql(
            "CREATE TABLE shards_grow.g (k int, s text) PARTITION BY RANGE (k);"
            "CREATE TABLE shards_grow.g_near PARTITION OF shards_grow.g FOR VALUES FROM (-100) "
            "TO (1); INSERT INTO shards_grow.g VALUES (0, 'a');"
            "CREATE FOREIGN TABLE shards_grow.g_far PARTITION OF shards_grow.g FOR VALUES FROM "
            "(1) TO (10000) SERVER quarvel_shard OPTIONS (schema_name 'shards_grow');");
        Host host;
        host.tables = {{"shards_grow", "g"}};
        host.sets = {{"a", "aa"}};
        PushdownRun run;
        run.setBatchRows(200);
        QVERIFY(run.run(host));
        QCOMPARE(host.shown.errorReports(), QStringList());
        QCOMPARE(TestDatabase::psqlRemote("SELECT s || ':' || count(*) FROM shards_grow.g_far GROUP BY s"),
                 QString("aa:3000"));
        QCOMPARE(TestDatabase::psql("SELECT s FROM ONLY shards_grow.g_near"), QString("aa"));
        QCOMPARE(test::logLinesOf("shards_grow").size(), 3001);
        QVERIFY(
            TestDatabase::psqlRemote("SELECT max((ctid::text::point)[0]) FROM shards_grow.g_far").toInt() >
            14);
    }

    void rowsOnTheOtherServerNoFindTextMatchesAreNeverRewritten()
    {
        TestDatabase::freshSchema("shards_quiet");
        TestDatabase::psqlRemote("DROP SCHEMA IF EXISTS shards_quiet CASCADE; CREATE SCHEMA shards_quiet;"
                                 "CREATE TABLE shards_quiet.q_far (id int, s text, t text);"
                                 "INSERT INTO shards_quiet.q_far SELECT g, CASE WHEN g % 100 = 0 THEN 'ab' "
                                 "ELSE 'cd' END, 'same' FROM generate_series(1, 1000) g;");
        TestDatabase::psql(
            "CREATE TABLE shards_quiet.q (id int, s text, t text) PARTITION BY RANGE (id);"
            "CREATE FOREIGN TABLE shards_quiet.q_far PARTITION OF shards_quiet.q FOR VALUES FROM "
            "(1) TO (10000) SERVER quarvel_shard OPTIONS (schema_name 'shards_quiet');");
        const QString loaded = TestDatabase::psqlRemote("SELECT DISTINCT xmin FROM shards_quiet.q_far");
        Host host;
        host.tables = {{"shards_quiet", "q"}};
        host.sets = {{"ab", "b"}, {"same", "same"}};
        QVERIFY(PushdownRun().run(host));
        QCOMPARE(host.shown.errorReports(), QStringList());
        // Only the ten rows whose text changes get new versions there.
        QCOMPARE(TestDatabase::psqlRemote("SELECT count(*) FROM shards_quiet.q_far WHERE xmin::text <> '" +
                                          loaded + "'"),
                 QString("10"));
        QCOMPARE(TestDatabase::psqlRemote("SELECT count(*) FROM shards_quiet.q_far WHERE s = 'b'"),
                 QString("10"));
        QCOMPARE(test::logLinesOf("shards_quiet").size(), 1010);
    }

    // A foreign table may reach a partitioned table there, whose partitions number their places each
    // for itself, while postgres_fdw stores a row by its place alone: the row at (0,1) of one partition
    // would be written over the row at (0,1) of the other. The run must leave such a table untouched.
    void foreignTableOverAPartitionedTableThereIsLeftUntouched()
    {
        TestDatabase::freshSchema("shards_nested");
        TestDatabase::psqlRemote(
            "DROP SCHEMA IF EXISTS shards_nested CASCADE; CREATE SCHEMA shards_nested;"
            "CREATE TABLE shards_nested.n (k int, s text) PARTITION BY RANGE (k);"
            "CREATE TABLE shards_nested.n1 PARTITION OF shards_nested.n FOR VALUES FROM (0) "
            "TO (10); CREATE TABLE shards_nested.n2 PARTITION OF shards_nested.n FOR VALUES "
            "FROM (10) TO (20); INSERT INTO shards_nested.n VALUES (1, 'ab'), (11, 'zz');");
        TestDatabase::psql(
            "CREATE TABLE shards_nested.t (k int, s text) PARTITION BY RANGE (k);"
            "CREATE FOREIGN TABLE shards_nested.far PARTITION OF shards_nested.t FOR VALUES FROM "
            "(0) TO (100) SERVER quarvel_shard OPTIONS (schema_name 'shards_nested', "
            "table_name 'n');");
        const QString places =
            "SELECT string_agg(ctid || ':' || k || ':' || s, ' ' ORDER BY k) FROM shards_nested.n";
        QCOMPARE(TestDatabase::psqlRemote(places), QString("(0,1):1:ab (0,1):11:zz"));
        Host host;
        host.tables = {{"shards_nested", "t"}};
        host.sets = {{"ab", "b"}};
        QVERIFY(PushdownRun().run(host));
        QCOMPARE(host.shown.errorReports().size(), 1);
        QVERIFY(host.shown.errorReports().front().contains(
            "Rows of shards_nested.far share their places (ctid) on the other server"));
        QCOMPARE(TestDatabase::psqlRemote(places), QString("(0,1):1:ab (0,1):11:zz"));
        // The record walk too: it stored (1,'b') over (11,'zz') there.
        Host walk;
        walk.tables = host.tables;
        walk.sets = host.sets;
        QVERIFY(ReplaceRun().PushButton1_Click(walk));
        QCOMPARE(walk.shown.errorReports().size(), 1);
        QVERIFY(walk.shown.errorReports().front().contains(
            "Rows of shards_nested.far share their places (ctid) on the other server"));
        QCOMPARE(TestDatabase::psqlRemote(places), QString("(0,1):1:ab (0,1):11:zz"));
    }

    // postgres_fdw reads the other server in REPEATABLE READ: a row a writer there changes while the run
    // waits for it ends the run's statement with a serialization failure, where the local server would
    // read the newer version. The writer's value must be kept all the same, with the replacement on top.
    void concurrentWriterOnTheOtherServerKeepsItsChange()
    {
        TestDatabase::freshSchema("shards_race");
        TestDatabase::psqlRemote(
            "DROP SCHEMA IF EXISTS shards_race CASCADE; CREATE SCHEMA shards_race;"
            "CREATE TABLE shards_race.w_far (id int, s text);"
            "INSERT INTO shards_race.w_far SELECT g, 'ab' FROM generate_series(1, 100) g;");
        TestDatabase::psql(
            "CREATE TABLE shards_race.w (id int, s text) PARTITION BY RANGE (id);"
            "CREATE FOREIGN TABLE shards_race.w_far PARTITION OF shards_race.w FOR VALUES FROM "
            "(1) TO (1000) SERVER quarvel_shard OPTIONS (schema_name 'shards_race');");
        const auto there = TestDatabase::remoteDetails();
        QProcess writer;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("PGPASSWORD", there.password);
        writer.setProcessEnvironment(environment);
        // Another session there changes ten rows and holds them while the run reaches them.
        const QString held =
            QStringLiteral("BEGIN; UPDATE shards_race.w_far SET s = s || ' ab' WHERE id <= 10; "
                           "SELECT pg_sleep(1.5); COMMIT;");
        writer.start("psql", {"-X", "-q", "-v", "ON_ERROR_STOP=1", "-h", there.server, "-p", there.port, "-U",
                              there.user, "-d", there.database, "-c", held});
        QVERIFY(writer.waitForStarted());
        for (int i = 0; i < 100; ++i) {
            if (TestDatabase::psqlRemote(
                    "SELECT count(*) FROM pg_locks l JOIN pg_class c ON c.oid = l.relation "
                    "WHERE c.relname = 'w_far' AND l.mode = 'RowExclusiveLock'") == "1")
                break;
            QThread::msleep(20);
        }
        Host host;
        host.tables = {{"shards_race", "w"}};
        host.sets = {{"ab", "b"}};
        QVERIFY(PushdownRun().run(host));
        QVERIFY(writer.waitForFinished(10000));
        QCOMPARE(writer.exitCode(), 0);
        QCOMPARE(host.shown.errorReports(), QStringList());
        QCOMPARE(TestDatabase::psqlRemote("SELECT s || ':' || count(*) FROM shards_race.w_far GROUP BY s "
                                          "ORDER BY s COLLATE \"C\""),
                 QString("b:90\nb b:10"));
    }

private:
    QTemporaryDir m_temp;
};

QTEST_GUILESS_MAIN(TestShards)
#include "tst_shards.moc"
