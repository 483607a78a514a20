// The preview against the run it foretells: over chained sets, partitions, inheritance, duplicate rows
// without a key, values the columns refuse and types that read back as text, the rows a run leaves
// are exactly the rows the preview said, and the preview itself changes nothing.
#include "db/Connection.h"
#include "db/RecordSet.h"
#include "engine/Preview.h"
#include "tests/support/SetsRunHost.h"
#include "tests/support/TestDatabase.h"

#include <QtTest>

#include <algorithm>

using namespace quarvel;
using namespace quarvel::engine;
using quarvel::test::TestDatabase;

namespace {

const QList<Set> Pairs = {{"a", "b"}, {"b", "cc"}, {"5", "0.005"}, {"x", "xxxxx"}, {"2024", "2025"}};

class Quiet : public PreviewObserver
{
};

// Every record of the table in the walk's order, one text per record.
QList<QStringList> records(const db::Table& table)
{
    db::Connection connection;
    connection.open(TestDatabase::connectionString());
    db::RecordSet walk;
    walk.open(table, connection, db::LockType::ReadOnly);
    QList<QStringList> out;
    for (; !walk.isEOF(); walk.moveNext()) {
        QStringList fields;
        for (int j = 0; j < walk.fieldCount(); ++j)
            fields << walk.value(j).value_or(QStringLiteral("<null>"));
        out << fields;
    }
    return out;
}

QStringList sorted(const QList<QStringList>& rows)
{
    QStringList out;
    for (const QStringList& row : rows)
        out << row.join(u'|');
    std::sort(out.begin(), out.end());
    return out;
}

const QList<db::Table> Tables = {{"tst_preview", "chain"},  {"tst_preview", "parted"},
                                 {"tst_preview", "parent"}, {"tst_preview", "child"},
                                 {"tst_preview", "dups"},   {"tst_preview", "typed"}};

} // namespace

class TestPreview : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QUARVEL_REQUIRE_DB();
        TestDatabase::freshSchema(QStringLiteral("tst_preview"));
        TestDatabase::psql(
            "SET search_path = tst_preview;"
            "CREATE TABLE chain (id int PRIMARY KEY, v text, n numeric(6,2), c varchar(4));"
            "INSERT INTO chain VALUES (1, ' ab ', 5, 'x'), (2, 'bab', 1.5, 'ab'), (3, NULL, NULL, NULL),"
            "  (4, 'nothing', 0, 'zz'), (5, 'a', 2.25, 'b');"
            "CREATE TABLE parted (k int, v text) PARTITION BY RANGE (k);"
            "CREATE TABLE parted_low PARTITION OF parted FOR VALUES FROM (0) TO (10);"
            "CREATE TABLE parted_high PARTITION OF parted FOR VALUES FROM (10) TO (100);"
            "INSERT INTO parted VALUES (1, 'a1'), (5, 'xa'), (15, 'b15'), (50, 'none');"
            "CREATE TABLE parent (v text); CREATE TABLE child (extra text) INHERITS (parent);"
            "INSERT INTO parent VALUES ('pa'), ('px'); INSERT INTO child VALUES ('ca', 'ea'), ('cz', 'ex');"
            "CREATE TABLE dups (v text, w varchar(3));"
            "INSERT INTO dups VALUES ('ab', 'x'), ('ab', 'x'), ('ab', 'x'), ('q', 'a');"
            "CREATE TABLE typed (d date, j jsonb, a int[], t timestamp(0), b boolean, g text GENERATED "
            "ALWAYS "
            "  AS (b::text || 'a') STORED);"
            "INSERT INTO typed VALUES ('2024-05-01', '{\"a\": \"b\"}', '{1,5}', '2024-01-01 10:00:05', true),"
            "  ('2023-01-01', '[\"xa\"]', '{2}', NULL, false)");
    }

    void runLeavesExactlyTheRowsThePreviewSaid()
    {
        QUARVEL_REQUIRE_DB();
        PreviewRequest request;
        request.connectionString = TestDatabase::connectionString();
        for (const db::Table& table : Tables)
            request.tables.append({table, table.displayName()});
        request.pairs = Pairs;
        request.sampleLimit = 1000000;
        QList<QList<QStringList>> expected;
        for (const db::Table& table : Tables)
            expected << records(table);
        const QList<QList<QStringList>> original = expected;
        Quiet quiet;
        const QList<PreviewTable> preview = Preview(request, quiet);
        QCOMPARE(preview.size(), Tables.size());

        long long refused = 0;
        for (qsizetype t = 0; t < Tables.size(); ++t) {
            QVERIFY2(preview[t].failure.isEmpty(), qPrintable(preview[t].failure));
            QCOMPARE(preview[t].records, expected[t].size());
            // The fields' positions by name: the preview names columns, the walk gives fields in order.
            const QList<QStringList> before = expected[t];
            QStringList names;
            {
                db::Connection connection;
                connection.open(TestDatabase::connectionString());
                db::RecordSet walk;
                walk.open(Tables[t], connection, db::LockType::ReadOnly);
                for (int j = 0; j < walk.fieldCount(); ++j)
                    names << walk.fieldName(j);
            }
            for (const PreviewChange& change : preview[t].samples) {
                QCOMPARE(before[change.record - 1][names.indexOf(change.column)],
                         change.oldValue.value_or(QStringLiteral("<null>")));
                expected[t][change.record - 1][names.indexOf(change.column)] = change.newValue;
                refused += change.refusal.isEmpty() ? 0 : 1;
            }
        }
        QVERIFY(refused >= 4); // numeric rounding, varchar length, int[] input, generated column
        // A chain's change is shown against the value before its first pair: "bab", "bbb", "cccccc".
        const auto chained =
            std::find_if(preview[0].samples.cbegin(), preview[0].samples.cend(),
                         [](const PreviewChange& c) { return c.record == 2 && c.column == "v"; });
        QVERIFY(chained != preview[0].samples.cend());
        QCOMPARE(changeText(sampleChange(*chained)), QStringLiteral("[-bab-]{+cccccc+}"));
        // The preview stored nothing.
        for (qsizetype t = 0; t < Tables.size(); ++t)
            QCOMPARE(records(Tables[t]), original[t]);

        test::SetsRunHost host;
        host.tables = Tables;
        host.sets = Pairs;
        ReplaceRun().PushButton1_Click(host);
        for (qsizetype t = 0; t < Tables.size(); ++t)
            QCOMPARE(sorted(records(Tables[t])), sorted(expected[t]));
    }

    void cancelStopsBeforeTheNextRecord()
    {
        QUARVEL_REQUIRE_DB();
        class CancelAfterTwo : public PreviewObserver
        {
        public:
            long long seen = 0;
            void progress(int, int, long long record, long long) override { seen = record; }
            bool cancelled() override { return seen >= 2; }
        } cancel;
        PreviewRequest request;
        request.connectionString = TestDatabase::connectionString();
        request.tables = {{Tables[0], Tables[0].displayName()}, {Tables[4], Tables[4].displayName()}};
        request.pairs = Pairs;
        const QList<PreviewTable> preview = Preview(request, cancel);
        QCOMPARE(preview.size(), 1);
        QCOMPARE(preview[0].records, 2);
    }
};

QTEST_GUILESS_MAIN(TestPreview)
#include "tst_preview.moc"
