// The journal and undo against real tables: a run undone puts every value back byte for byte (also
// through partitions, inheritance, duplicate rows without a key and many column types), an undo of the
// undo puts the run back, rows changed since are kept and listed, and a journal that cannot be written
// keeps the run from storing anything; on databases not in UTF-8 the same holds, and a character the
// database cannot hold is refused for its record.
#include "engine/Preview.h"
#include "engine/PushdownRun.h"
#include "engine/Undo.h"
#include "tests/support/SetsRunHost.h"
#include "tests/support/TestDatabase.h"

#include <QTemporaryDir>
#include <QtTest>

#include <sqlite3.h>

using namespace quarvel;
using namespace quarvel::engine;
using quarvel::test::TestDatabase;

namespace {

const QList<Set> Chained = {{"a", "b"}, {"b", "c"}, {"5", "7"}};

using JournaledHost = test::SetsRunHost;

// Every row of the schema's tables with the table that holds it, in a fixed order: equal texts mean equal
// tables, duplicates counted.
QString schemaText(const QString& schema)
{
    return TestDatabase::psql(QStringLiteral("SELECT tst_undo.rows_text('%1')").arg(schema));
}

qint64 newestRun(Journal& journal)
{
    return journal.runs().front().id;
}

} // namespace

class TestUndo : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_folder;

    // A run of the chained sets over the tables, journaled in journal.
    void run(Journal& journal, const QList<db::Table>& tables)
    {
        JournaledHost host;
        host.tables = tables;
        host.sets = Chained;
        host.journaling = &journal;
        ReplaceRun run;
        QVERIFY(run.PushButton1_Click(host));
        QVERIFY2(host.shown.errorReports().isEmpty(),
                 qPrintable(host.shown.errorReports().mid(0, 3).join(u"\n---\n")));
    }

private slots:
    void initTestCase()
    {
        QUARVEL_REQUIRE_DB();
        QVERIFY(m_folder.isValid());
        qputenv("TEMP", m_folder.path().toLocal8Bit());
        TestDatabase::freshSchema(QStringLiteral("tst_undo"));
        TestDatabase::psql(
            "SET search_path = tst_undo;"
            "CREATE TABLE keyed (id text PRIMARY KEY, v text, n numeric(6,2), c varchar(6), j jsonb, a "
            "text[], "
            "  d date, tz timestamptz, u uuid, b bytea, f float8, other text);"
            "INSERT INTO keyed SELECT 'k' || translate(g::text, '57', 'xy'), ' va' || g || ' ', g % 100 + "
            "0.5, 'ab', '{\"k\": \"a b\"}', '{a,\"b,c\"}', "
            "  date '2024-05-01' + g % 30, timestamptz '2024-05-01 10:00+02' + g % 4 * interval '1 minute', "
            "  md5(g::text)::uuid, decode(md5(g::text), 'hex'), g / 4.0, 'o' FROM generate_series(1, 2500) g;"
            "CREATE TABLE parted (k int, v text) PARTITION BY RANGE (k);"
            "CREATE TABLE parted_low PARTITION OF parted FOR VALUES FROM (0) TO (10);"
            "CREATE TABLE parted_high PARTITION OF parted FOR VALUES FROM (10) TO (100);"
            "INSERT INTO parted VALUES (1, 'a1'), (5, 'xa'), (15, 'b15'), (50, 'none'), (55, 'ab');"
            "CREATE TABLE parent (v text); CREATE TABLE child (extra text) INHERITS (parent);"
            "INSERT INTO parent VALUES ('pa'), ('px'); INSERT INTO child VALUES ('ca', 'ea'), ('cz', 'ex');"
            "CREATE TABLE dups (v text, w varchar(3));"
            "INSERT INTO dups VALUES ('ab', 'x'), ('ab', 'x'), ('ab', 'x'), ('q', 'a'), (' a ', NULL);"
            // Each table's rows in their text form, sorted: byte-exact, and duplicates counted.
            "CREATE FUNCTION rows_text(s text) RETURNS text LANGUAGE plpgsql AS $$ DECLARE r record; t text; "
            "  out text := ''; BEGIN FOR r IN SELECT c.oid::regclass AS name FROM pg_class c JOIN "
            "pg_namespace n "
            "  ON n.oid = c.relnamespace WHERE n.nspname = s AND c.relkind = 'r' ORDER BY c.relname LOOP "
            "  EXECUTE format('SELECT string_agg(x::text, E''\\n'' ORDER BY x::text) FROM ONLY %s x', "
            "r.name) INTO t; "
            "  out := out || r.name || E'\\n' || coalesce(t, '') || E'\\n'; END LOOP; RETURN out; END $$;");
    }

    void undoPutsEveryValueBackAndTheUndoCanBeUndone()
    {
        QUARVEL_REQUIRE_DB();
        Journal journal(m_folder.filePath(QStringLiteral("all.sqlite3")));
        const QString before = schemaText(QStringLiteral("tst_undo"));
        run(journal, {{"tst_undo", "keyed"},
                      {"tst_undo", "parted"},
                      {"tst_undo", "parent"},
                      {"tst_undo", "child"},
                      {"tst_undo", "dups"}});
        const QString afterRun = schemaText(QStringLiteral("tst_undo"));
        QVERIFY(afterRun != before);
        const qint64 runId = newestRun(journal);
        const JournalRun made = journal.run(runId);
        QVERIFY(made.ended.isValid());
        QCOMPARE(made.tables.size(), 5);
        QCOMPARE(made.pairs.size(), Chained.size());
        QCOMPARE(made.engine, QString(RecordWalkEngine));
        // Every keyed row changes (v holds "a"); so does every row of the others holding a, b or 5.
        QCOMPARE(made.records, 2500 + 5 + 1 + 1 + 5);

        const UndoReport undone = undoRun(journal, runId, TestDatabase::connectionString());
        QCOMPARE(undone.listed, QStringList());
        QCOMPARE(undone.restored, made.records);
        QCOMPARE(schemaText(QStringLiteral("tst_undo")), before);
        QCOMPARE(journal.run(runId).undoneBy, undone.undoRun);
        QVERIFY(!undoRefusal(journal.run(runId), TestDatabase::connectionString()).isEmpty());

        const UndoReport redone = undoRun(journal, undone.undoRun, TestDatabase::connectionString());
        QCOMPARE(redone.listed, QStringList());
        QCOMPARE(redone.restored, made.records);
        QCOMPARE(schemaText(QStringLiteral("tst_undo")), afterRun);
        QVERIFY(undoRun(journal, redone.undoRun, TestDatabase::connectionString()).restored == made.records);
        QCOMPARE(schemaText(QStringLiteral("tst_undo")), before);
    }

    // The pairs changed while the record walk runs (here between a record's two fields): the journal keeps
    // both lists, and each stored change points at the list it was made with.
    void pairsChangedDuringTheRunAreKeptWithTheChangesThatUsedThem()
    {
        QUARVEL_REQUIRE_DB();
        TestDatabase::psql("SET search_path = tst_undo; DROP TABLE IF EXISTS retyped;"
                           "CREATE TABLE retyped (id int PRIMARY KEY, v text, w text);"
                           "INSERT INTO retyped VALUES (1, 'a', 'a'), (2, 'a', 'a'), (3, 'a', 'a');");
        const QString path = m_folder.filePath(QStringLiteral("retyped.sqlite3"));
        Journal journal(path);
        struct : JournaledHost
        {
            int fields = 0;
            void processEvents() override
            {
                if (++fields == 6) // the second record's w: its v was changed before
                    sets[0].replacement = QStringLiteral("c");
            }
        } host;
        host.tables = {{"tst_undo", "retyped"}};
        host.sets = {{"a", "b"}};
        host.journaling = &journal;
        QVERIFY(ReplaceRun().PushButton1_Click(host));
        QCOMPARE(TestDatabase::psql("SELECT string_agg(v || w, ' ' ORDER BY id) FROM tst_undo.retyped"),
                 QStringLiteral("bb bc cc"));
        QCOMPARE(journal.run(newestRun(journal)).pairsRan,
                 (std::vector<RunPairs>{{{"a", "b"}}, {{"a", "c"}}}));
        sqlite3* db = nullptr;
        QCOMPARE(sqlite3_open(QFile::encodeName(path).constData(), &db), SQLITE_OK);
        sqlite3_stmt* q = nullptr;
        QCOMPARE(sqlite3_prepare_v2(db,
                                    "SELECT group_concat(n, ' ') FROM (SELECT c.new || '<' || p.pairs || "
                                    "count(*) AS n FROM changes c JOIN run_pairs p ON p.id = c.pairs GROUP "
                                    "BY c.new, p.pairs ORDER BY n)",
                                    -1, &q, nullptr),
                 SQLITE_OK);
        QCOMPARE(sqlite3_step(q), SQLITE_ROW);
        const QString used = QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(q, 0)));
        sqlite3_finalize(q);
        sqlite3_close(db);
        QCOMPARE(used, QStringLiteral(R"(b<[["a","b"]]3 c<[["a","c"]]3)"));
    }

    // A journal written before runs named their engine (or kept their selection) opens with its runs and
    // names the engine of new ones.
    void journalFromBeforeEnginesWereNamedOpens()
    {
        const QString path = m_folder.filePath(QStringLiteral("before-engines.sqlite3"));
        sqlite3* old = nullptr;
        QCOMPARE(sqlite3_open(QFile::encodeName(path).constData(), &old), SQLITE_OK);
        const int made = sqlite3_exec(
            old,
            "CREATE TABLE runs(id INTEGER PRIMARY KEY, undoes INTEGER REFERENCES runs(id), started TEXT NOT "
            "NULL, "
            "ended TEXT, server TEXT NOT NULL, port TEXT NOT NULL, database TEXT NOT NULL, user TEXT NOT "
            "NULL, "
            "tables TEXT NOT NULL, pairs TEXT NOT NULL);"
            "INSERT INTO runs VALUES (1, NULL, '2026-01-02T03:04:05.000Z', NULL, 'h', '5432', 'd', 'u', "
            "'[\"s.t\"]', '[[\"a\",\"b\"]]')",
            nullptr, nullptr, nullptr);
        sqlite3_close(old);
        QCOMPARE(made, SQLITE_OK);
        Journal journal(path);
        QCOMPARE(journal.run(1).pairs, (RunPairs{{"a", "b"}}));
        QCOMPARE(journal.run(1).engine, QString());
        const qint64 id = journal.beginRun({"h", "5432", "d", "u"}, {"s.t"}, {{"a", "b"}}, 0, ServerEngine);
        QCOMPARE(journal.run(id).engine, QString(ServerEngine));
        // Nor did it keep what runs took: every column of the tables it names, and new runs keep theirs.
        QVERIFY(journal.run(1).choice.isEmpty());
        RunChoice choice{{}, {{"s.t", {"v", "w"}}}};
        choice.patterns.tables = QStringList{"s.*"};
        choice.patterns.excludedColumns = QStringList{"\"Id\""};
        QCOMPARE(journal.run(journal.beginRun({}, {"s.t"}, {}, 0, ServerEngine, choice)).choice, choice);
    }

    void rowsChangedSinceAreKeptAndListed()
    {
        QUARVEL_REQUIRE_DB();
        TestDatabase::psql("SET search_path = tst_undo; DROP TABLE IF EXISTS edited, loose;"
                           "CREATE TABLE edited (id int PRIMARY KEY, v text, other text);"
                           "INSERT INTO edited VALUES (1, 'a1', 'o'), (2, 'a2', 'o'), (3, 'a3', 'o');"
                           "CREATE TABLE loose (v text, other text);"
                           "INSERT INTO loose VALUES ('a', '1'), ('a', '2'), ('xa', '3');");
        Journal journal(m_folder.filePath(QStringLiteral("since.sqlite3")));
        run(journal, {{"tst_undo", "edited"}, {"tst_undo", "loose"}});
        // Another session: the field the run changed (kept), another column (the row moves: found by key),
        // a row deleted, and a row of a table without a key moved by an update of another column.
        TestDatabase::psql("SET search_path = tst_undo; UPDATE edited SET v = 'mine' WHERE id = 1;"
                           "UPDATE edited SET other = 'moved' WHERE id = 2; DELETE FROM edited WHERE id = 3;"
                           "UPDATE loose SET other = 'moved' WHERE other = '2';");
        // The count asked before the undo: the same answer, and nothing written anywhere.
        const QString edited = schemaText(QStringLiteral("tst_undo"));
        const UndoReport counted = countUndo(journal, newestRun(journal), TestDatabase::connectionString());
        QCOMPARE(schemaText(QStringLiteral("tst_undo")), edited);
        QCOMPARE(journal.runs().size(), size_t(1));
        const UndoReport report = undoRun(journal, newestRun(journal), TestDatabase::connectionString());
        QCOMPARE(counted.listed, report.listed);
        QCOMPARE(counted.restored, report.restored);
        QVERIFY2(report.restored == 3, qPrintable(report.listed.join(u"\n")));
        QCOMPARE(report.changedSince, 1);
        QCOMPARE(report.missing, 2);
        QCOMPARE(report.listed.size(), 3);
        QVERIFY2(
            report.listed.filter(QStringLiteral("key (id)=(1): changed since the run, kept: v")).size() == 1,
            qPrintable(report.listed.join(u'\n')));
        QVERIFY(report.listed.filter(QStringLiteral("key (id)=(3): no longer there")).size() == 1);
        QVERIFY(report.listed.filter(QStringLiteral("no primary key")).size() == 1);
        QCOMPARE(TestDatabase::psql("SELECT string_agg(id || ' ' || v || ' ' || other, ',' ORDER BY id) FROM "
                                    "tst_undo.edited"),
                 QStringLiteral("1 mine o,2 a2 moved"));
        QCOMPARE(TestDatabase::psql(
                     "SELECT string_agg(v || ' ' || other, ',' ORDER BY other) FROM tst_undo.loose"),
                 QStringLiteral("a 1,xa 3,c moved"));
    }

    // The run moved every key one along (k7 to k8 first, k1 to k2 last, the only order it could); put back
    // in the journal's order each key but the last is still held by the row that had it next.
    void keysMovedAlongAChainAllGoBack_data()
    {
        QTest::addColumn<bool>("onServer");
        QTest::addColumn<bool>("firstKeyTaken"); // by another session, after the run
        QTest::addColumn<long long>("restored");
        QTest::addColumn<QString>("after");
        const QString back = QStringLiteral("k1:a k2:b k3:c k4:d k5:e k6:f k7:g");
        QTest::newRow("record walk") << false << false << 7LL << back;
        QTest::newRow("server engine") << true << false << 7LL << back;
        // k1 is wanted first, and each key is wanted by the row that holds the next: none can go back.
        QTest::newRow("its first key taken since")
            << false << true << 0LL << QStringLiteral("k1: k2:a k3:b k4:c k5:d k6:e k7:f k8:g");
    }

    void keysMovedAlongAChainAllGoBack()
    {
        QUARVEL_REQUIRE_DB();
        QFETCH(bool, onServer);
        QFETCH(bool, firstKeyTaken);
        QFETCH(long long, restored);
        QFETCH(QString, after);
        TestDatabase::psql(
            "SET search_path = tst_undo; DROP TABLE IF EXISTS chain;"
            "CREATE TABLE chain (k text PRIMARY KEY, n text);"
            "INSERT INTO chain SELECT 'k' || g, chr(96 + g) FROM generate_series(7, 1, -1) g;");
        const auto keys = [] {
            return TestDatabase::psql("SELECT string_agg(k || ':' || n, ' ' ORDER BY n) FROM tst_undo.chain");
        };
        Journal journal(m_folder.filePath(QStringLiteral("chain.sqlite3")));
        JournaledHost host;
        host.tables = {{"tst_undo", "chain"}};
        for (int k = 7; k > 0; --k)
            host.sets.append({QString::number(k), QString::number(k + 1)});
        host.journaling = &journal;
        if (onServer)
            QVERIFY(PushdownRun().run(host));
        else
            QVERIFY(ReplaceRun().PushButton1_Click(host));
        QCOMPARE(keys(), QStringLiteral("k2:a k3:b k4:c k5:d k6:e k7:f k8:g"));
        if (firstKeyTaken)
            TestDatabase::psql("INSERT INTO tst_undo.chain VALUES ('k1', '')");

        const UndoReport report = undoRun(journal, newestRun(journal), TestDatabase::connectionString());
        QCOMPARE(report.restored, restored);
        QCOMPARE(report.failed, 7 - restored);
        QCOMPARE(report.listed
                     .filter(QStringLiteral(": not put back: ERROR: duplicate key value violates "
                                            "unique constraint \"chain_pkey\""))
                     .size(),
                 7 - restored);
        QCOMPARE(keys(), after);
    }

    void killedRunCountsOnlyTheChangesThatReachedTheDatabase()
    {
        Journal journal(m_folder.filePath(QStringLiteral("killed.sqlite3")));
        const qint64 id =
            journal.beginRun({}, {QStringLiteral("s.t")}, {{QStringLiteral("a"), QStringLiteral("b")}});
        const std::unique_ptr<db::StoreJournal> recorder = journal.recorder(id);
        db::JournaledRecord record;
        record.record = 1;
        record.columns = {QStringLiteral("v")};
        record.oldValues = {QStringLiteral("a")};
        record.newValues = {QStringLiteral("b")};
        recorder->storing({QStringLiteral("s"), QStringLiteral("t")}, {}, QStringLiteral("100"),
                          {record, record});
        recorder->stored(true);
        // Killed between its store and the commit's answer: the server alone knows.
        recorder->storing({QStringLiteral("s"), QStringLiteral("t")}, {}, QStringLiteral("101"), {record});
        const JournalRun run = journal.run(id);
        QVERIFY(!run.ended.isValid());
        QCOMPARE(run.records, 2);
        QCOMPARE(run.undecided, 1);
    }

    // Stores and their records come back in the order they were put on record, the records in parts no
    // larger than asked (a record larger on its own comes alone), however many stores a run has.
    void journalIsReadBackInPartsInTheOrderItWasWritten()
    {
        Journal journal(m_folder.filePath(QStringLiteral("parts.sqlite3")));
        const qint64 id =
            journal.beginRun({}, {QStringLiteral("s.t")}, {{QStringLiteral("a"), QStringLiteral("b")}});
        const std::unique_ptr<db::StoreJournal> recorder = journal.recorder(id);
        QStringList written;
        const int sizes[] = {2000, 0, 1000}; // of the first field's old text
        for (int store = 1; store <= 70; ++store) {
            std::vector<db::JournaledRecord> records(3);
            for (int i = 0; i < 3; ++i) {
                records[i].columns = {QStringLiteral("v"), QStringLiteral("w")};
                records[i].oldValues = {QString(sizes[i], u'a'), std::nullopt};
                records[i].newValues = {QString::number(store), QStringLiteral("c")};
                written << QStringLiteral("%1 %2 null %3 c").arg(3 * store - 2 + i).arg(sizes[i]).arg(store);
            }
            recorder->storing({QStringLiteral("s"), QStringLiteral("t")}, {}, QString::number(store),
                              records);
            recorder->stored(true);
        }
        QStringList read;
        QString parts;
        journal.forEachStore(id, [&](const JournalStore& store) {
            JournalRows part;
            for (qint64 after = 0; !(part = journal.storeRows(store.id, after, 3, 1000)).rows.empty();
                 after = part.entries.back()) {
                parts += QString::number(part.rows.size());
                for (const db::RestoreRow& row : part.rows)
                    read << QStringLiteral("%1 %2 %3 %4 %5")
                                .arg(row.record)
                                .arg(row.fields[0].value->size())
                                .arg(row.fields[1].value ? QStringLiteral("text") : QStringLiteral("null"),
                                     row.fields[0].expected, row.fields[1].expected);
            }
        });
        QCOMPARE(read, written);
        QCOMPARE(parts, QStringLiteral("12").repeated(70));
    }

    void databasesNotInUtf8AreReadWrittenAndUndoneByteForByte_data()
    {
        QTest::addColumn<QString>("encoding");
        QTest::addColumn<QString>("unheld"); // a character the encoding has no place for
        QTest::addColumn<QString>("eAcute"); // how it stores "é"
        QTest::newRow("LATIN1") << "LATIN1"
                                << "€"
                                << "e9";
        QTest::newRow("WIN1252") << "WIN1252"
                                 << "あ"
                                 << "e9";
        QTest::newRow("EUC_JP") << "EUC_JP"
                                << "€"
                                << "8fabb1";
        // The server keeps bytes past ASCII as they come, without meaning: no character past ASCII goes in.
        QTest::newRow("SQL_ASCII") << "SQL_ASCII"
                                   << "é"
                                   << "c3a9";
    }

    void databasesNotInUtf8AreReadWrittenAndUndoneByteForByte()
    {
        QUARVEL_REQUIRE_DB();
        QFETCH(QString, encoding);
        QFETCH(QString, unheld);
        QFETCH(QString, eAcute);
        const QString connect = QStringLiteral("\\c tst_undo_encoded\n");
        TestDatabase::psqlAdmin(
            QStringLiteral("DROP DATABASE IF EXISTS tst_undo_encoded;"
                           "CREATE DATABASE tst_undo_encoded ENCODING '%1' LC_COLLATE 'C' "
                           "LC_CTYPE 'C' TEMPLATE template0 OWNER %2;")
                .arg(encoding, TestDatabase::details().user));
        auto dropped =
            qScopeGuard([] { TestDatabase::psqlAdmin("DROP DATABASE IF EXISTS tst_undo_encoded"); });
        TestDatabase::psql(connect + "CREATE TABLE t (id int PRIMARY KEY, v text);"
                                     "INSERT INTO t VALUES (1, 'abc'), (2, 'abcé'), (3, 'zzz');");
        const auto bytes = [&] {
            return TestDatabase::psql(connect +
                                      "SELECT string_agg(encode(convert_to(v, "
                                      "current_setting('server_encoding')), 'hex'), ',' ORDER BY id) "
                                      "FROM t");
        };
        const QString before = QStringLiteral("616263,616263") + eAcute + QStringLiteral(",7a7a7a");
        QCOMPARE(bytes(), before);
        db::ConnectionDetails details = TestDatabase::details();
        details.database = QStringLiteral("tst_undo_encoded");
        const QList<Set> pairs = {{"b", "B"}, {"zzz", unheld}};
        const QString refusal = QStringLiteral("has no equivalent in encoding \"%1\"").arg(encoding);

        for (const bool onServer : {false, true}) {
            PreviewObserver quiet;
            const QList<PreviewTable> preview = Preview(
                {db::BuildConnectionString(details), {{{"public", "t"}, "t"}}, pairs, 10, onServer}, quiet);
            QCOMPARE(preview.size(), 1);
            QVERIFY2(preview[0].failure.isEmpty(), qPrintable(preview[0].failure));
            QCOMPARE(preview[0].changedRecords, 2);
            QCOMPARE(preview[0].samples.size(), 3);
            QVERIFY2(preview[0].samples[2].refusal.contains(refusal),
                     qPrintable(preview[0].samples[2].refusal));
            QVERIFY(preview[0].samples[2].row.endsWith(QStringLiteral("key (id)=(3)")));
        }

        class EncodedHost : public JournaledHost
        {
        public:
            QString connection;
            QString connectionString() override { return connection; }
        } host;
        host.connection = db::BuildConnectionString(details);
        host.tables = {{"public", "t"}};
        host.sets = pairs;
        Journal journal(m_folder.filePath(encoding + QStringLiteral(".sqlite3")));
        host.journaling = &journal;
        ReplaceRun run;
        QVERIFY(run.PushButton1_Click(host));
        QCOMPARE(bytes(), QStringLiteral("614263,614263") + eAcute + QStringLiteral(",7a7a7a"));
        const QStringList refused = host.shown.errorReports();
        QCOMPARE(refused.size(), 1);
        QVERIFY2(refused[0].contains(refusal), qPrintable(refused[0]));

        const UndoReport undone = undoRun(journal, newestRun(journal), db::BuildConnectionString(details));
        QCOMPARE(undone.restored, 2);
        QCOMPARE(bytes(), before);
    }

    void journalThatCannotBeWrittenStoresNothing_data()
    {
        QTest::addColumn<bool>("onServer");
        QTest::newRow("record walk") << false;
        // Its batches are put on record beside the next batch's statement.
        QTest::newRow("server engine") << true;
    }

    void journalThatCannotBeWrittenStoresNothing()
    {
        QUARVEL_REQUIRE_DB();
        QFETCH(bool, onServer);
        TestDatabase::psql(
            "SET search_path = tst_undo; DROP TABLE IF EXISTS kept, later;"
            "CREATE TABLE kept (v text); INSERT INTO kept SELECT 'a' || g FROM generate_series(1, 1500) g;"
            "CREATE TABLE later (v text); INSERT INTO later VALUES ('a');");
        const QString before = schemaText(QStringLiteral("tst_undo"));
        Journal journal(m_folder.filePath(QStringLiteral("full.sqlite3")));
        journal.failNextWrites(true);
        JournaledHost host;
        host.tables = {{"tst_undo", "kept"}, {"tst_undo", "later"}};
        host.sets = Chained;
        host.journaling = &journal;
        QFile::remove(logFilePath());
        if (onServer) {
            PushdownRun run;
            run.setBatchRows(100);
            QVERIFY(run.run(host));
        } else {
            ReplaceRun run;
            QVERIFY(run.PushButton1_Click(host));
        }
        QCOMPARE(schemaText(QStringLiteral("tst_undo")), before);
        const QStringList reports = host.shown.errorReports();
        QCOMPARE(reports.size(), 1);
        // The batch the journal refused is in the log, as a refused record is; no batch after it is.
        if (onServer)
            QVERIFY(test::logLinesOf(QStringLiteral("tst_undo")).size() < 1500);
        QVERIFY2(reports.front().contains(
                     QStringLiteral("The journal of old values could not be written (database or "
                                    "disk is full)")),
                 qPrintable(reports.front()));
    }

    void journalAndItsCompanionsAreMadeTheUsersAlone()
    {
#ifdef Q_OS_WIN
        QSKIP("Windows keeps the journal to its user by the profile folder's access list, not by mode bits");
#endif
        const QString path = m_folder.filePath(QStringLiteral("open.sqlite3"));
        const QStringList files{path, path + "-wal", path + "-shm"};
        for (const QString& name : files)
            QVERIFY(QFile(name).open(QIODevice::WriteOnly) &&
                    QFile::setPermissions(name, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
        Journal journal(path); // kept open: SQLite removes the -wal and -shm at the last close
        journal.beginRun({}, {}, {});
        for (const QString& name : files)
            QCOMPARE(QFile::permissions(name) & ~(QFile::ReadUser | QFile::WriteUser),
                     QFile::ReadOwner | QFile::WriteOwner);
    }

    void journalThatCannotBeOpenedLeavesTheRunUnstarted()
    {
        QUARVEL_REQUIRE_DB();
        const QString before = schemaText(QStringLiteral("tst_undo"));
        class Unopenable : public JournaledHost
        {
            Journal* journal() override
            {
                return &m_journal.emplace(QStringLiteral("/dev/null/journal.sqlite3"));
            }
            std::optional<Journal> m_journal;
        } host;
        host.tables = {{"tst_undo", "later"}};
        host.sets = Chained;
        ReplaceRun run;
        QVERIFY(run.PushButton1_Click(host));
        QCOMPARE(schemaText(QStringLiteral("tst_undo")), before);
        QCOMPARE(host.shown.messages().size(), 1);
        QVERIFY(host.shown.messages().front().startsWith(
            QStringLiteral("The journal of old values cannot be written")));
    }
};

QTEST_GUILESS_MAIN(TestUndo)
#include "tst_undo.moc"
