// The table catalogue: user tables only, each with its schema, a partitioned table once, sorted as the
// table list shows them, one event pass per name. And "Test Connection": its session stands as long as
// the test does, and a failure is told in one fixed text that names only a detail the driver refuses.
#include "db/Connection.h"
#include "db/Database.h"
#include "db/RecordSet.h"
#include "tests/support/TestDatabase.h"

#include <QtTest>

#include <stdexcept>

using namespace quarvel;
using namespace quarvel::db;
using quarvel::test::TestDatabase;

namespace {
// Records what FillTableList does, in order: "events" for each pass, the display name for each append.
class RecordingSink : public TableListSink
{
public:
    void processEvents() override { calls << QStringLiteral("events"); }
    void appendTable(const Table& table) override
    {
        if (failAt >= 0 && tables.size() == failAt)
            throw std::runtime_error("the list is full");
        calls << table.displayName();
        tables << table;
    }

    QStringList calls;
    QList<Table> tables;
    qsizetype failAt = -1;
};

bool isOurs(const Table& table)
{
    return table.schema.startsWith(QStringLiteral("tst_cat_")) ||
           table.name.startsWith(QStringLiteral("tst_cat_"));
}
} // namespace

class TestCatalogue : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QUARVEL_REQUIRE_DB();
        TestDatabase::freshSchema(QStringLiteral("tst_cat_one"));
        TestDatabase::freshSchema(QStringLiteral("tst_cat_two"));
        TestDatabase::psql(QStringLiteral(
            "CREATE TABLE tst_cat_one.same (a integer); CREATE TABLE tst_cat_two.same (b text);"
            "CREATE TABLE tst_cat_one.parted (id integer) PARTITION BY RANGE (id);"
            "CREATE TABLE tst_cat_one.parted_low PARTITION OF tst_cat_one.parted FOR VALUES FROM (0) TO (10);"
            "CREATE TABLE tst_cat_one.parted_high PARTITION OF tst_cat_one.parted FOR VALUES FROM (10) TO "
            "(100)"
            "  PARTITION BY RANGE (id);"
            "CREATE TABLE tst_cat_one.parted_high_a PARTITION OF tst_cat_one.parted_high FOR VALUES FROM "
            "(10) TO (50);"
            "CREATE TABLE tst_cat_one.heir (id integer);"
            "CREATE TABLE tst_cat_one.heir_child (extra text) INHERITS (tst_cat_one.heir);"
            "CREATE TABLE tst_cat_one.\"UpperCase\" (a integer);"
            "CREATE TABLE tst_cat_one.\"we\"\"ird; name\" (a integer);"
            "CREATE VIEW tst_cat_one.a_view AS SELECT 1 AS one;"
            "CREATE MATERIALIZED VIEW tst_cat_one.a_matview AS SELECT 1 AS one;"
            "CREATE SEQUENCE tst_cat_one.a_sequence;"
            "DROP TABLE IF EXISTS public.tst_cat_public; CREATE TABLE public.tst_cat_public (a integer);"));
    }

    void cleanupTestCase()
    {
        if (TestDatabase::available())
            TestDatabase::psql(QStringLiteral("DROP TABLE IF EXISTS public.tst_cat_public;"));
    }

    void listsUserTablesOnceEachWithTheirSchemaSortedByDisplayName()
    {
        QUARVEL_REQUIRE_DB();
        // Another session's temporary table must not be listed.
        Connection other;
        other.open(TestDatabase::connectionString());
        other.execute(QStringLiteral("CREATE TEMP TABLE tst_cat_temporary (a integer)"));

        RecordingSink sink;
        FillTableList(TestDatabase::connectionString(), sink);

        QList<Table> ours;
        for (const Table& table : sink.tables)
            if (isOurs(table))
                ours << table;
        // In code point order of the display names: upper case before lower case, "one." before
        // "public" before "two.".
        const QList<Table> expected = {
            {"tst_cat_one", "UpperCase"}, {"tst_cat_one", "heir"}, {"tst_cat_one", "heir_child"},
            {"tst_cat_one", "parted"},    {"tst_cat_one", "same"}, {"tst_cat_one", "we\"ird; name"},
            {"public", "tst_cat_public"}, {"tst_cat_two", "same"},
        };
        QCOMPARE(ours, expected);

        for (qsizetype i = 1; i < sink.tables.size(); ++i)
            QVERIFY2(sink.tables[i - 1].displayName() <= sink.tables[i].displayName(),
                     qPrintable(sink.tables[i - 1].displayName() + " > " + sink.tables[i].displayName()));
        for (const Table& table : sink.tables) {
            QVERIFY2(!table.schema.startsWith(QStringLiteral("pg_")), qPrintable(table.displayName()));
            QVERIFY2(table.schema != QStringLiteral("information_schema"), qPrintable(table.displayName()));
            QVERIFY2(table.name != QStringLiteral("tst_cat_temporary"), qPrintable(table.displayName()));
        }
        // Every user table of the database is there: as many as the server counts.
        QCOMPARE(QString::number(sink.tables.size()),
                 TestDatabase::psql(QStringLiteral(
                     "SELECT count(*) FROM pg_tables t JOIN pg_class c ON c.oid = "
                     "(quote_ident(t.schemaname) || '.' || quote_ident(t.tablename))::regclass "
                     "WHERE t.schemaname NOT IN ('pg_catalog', 'information_schema') "
                     "AND t.schemaname NOT LIKE 'pg\\_temp\\_%' AND NOT c.relispartition")));
    }

    void processesEventsOnceBeforeEachName()
    {
        QUARVEL_REQUIRE_DB();
        RecordingSink sink;
        FillTableList(TestDatabase::connectionString(), sink);
        QVERIFY(sink.tables.size() >= 8);
        QCOMPARE(sink.calls.size(), 2 * sink.tables.size());
        for (qsizetype i = 0; i < sink.tables.size(); ++i) {
            QCOMPARE(sink.calls[2 * i], QStringLiteral("events"));
            QCOMPARE(sink.calls[2 * i + 1], sink.tables[i].displayName());
        }
    }

    // With standard_conforming_strings off a backslash in a literal is an escape, so a pattern that
    // relied on one would treat "pgsales" as one of the server's own schemas.
    void schemaBeginningWithPgIsListedWhateverTheStringSetting()
    {
        QUARVEL_REQUIRE_DB();
        const QString role = quoteIdentifier(TestDatabase::details().user);
        // For this program's database only: a role-wide setting would reach the tests running beside it.
        const QString database = quoteIdentifier(TestDatabase::details().database);
        TestDatabase::freshSchema(QStringLiteral("pgsales"));
        TestDatabase::psql(QStringLiteral("CREATE TABLE pgsales.tst_cat_sales (a integer);"));
        TestDatabase::psqlAdmin(
            QStringLiteral("ALTER ROLE %1 IN DATABASE %2 SET standard_conforming_strings = off;")
                .arg(role, database));
        struct Restore
        {
            QString role;
            QString database;
            ~Restore()
            {
                try {
                    TestDatabase::psqlAdmin(
                        QStringLiteral("ALTER ROLE %1 IN DATABASE %2 RESET standard_conforming_strings;")
                            .arg(role, database));
                    TestDatabase::psql(QStringLiteral("DROP SCHEMA pgsales CASCADE;"));
                } catch (...) {
                }
            }
        } restore{role, database};
        QCOMPARE(TestDatabase::psql(QStringLiteral("SHOW standard_conforming_strings")),
                 QStringLiteral("off"));

        RecordingSink sink;
        FillTableList(TestDatabase::connectionString(), sink);
        QVERIFY2(sink.tables.contains(Table{"pgsales", "tst_cat_sales"}), qPrintable(sink.calls.join(u',')));
        for (const Table& table : sink.tables)
            QVERIFY2(!table.schema.startsWith(QStringLiteral("pg_")) &&
                         table.schema != QStringLiteral("information_schema"),
                     qPrintable(table.displayName()));
    }

    void databaseWithoutTablesGivesAnEmptyList()
    {
        QUARVEL_REQUIRE_DB();
        TestDatabase::psqlAdmin(QStringLiteral("DROP DATABASE IF EXISTS tst_cat_empty;"));
        TestDatabase::psqlAdmin(QStringLiteral("CREATE DATABASE tst_cat_empty OWNER %1;")
                                    .arg(quoteIdentifier(TestDatabase::details().user)));
        ConnectionDetails details = TestDatabase::details();
        details.database = QStringLiteral("tst_cat_empty");
        RecordingSink sink;
        FillTableList(BuildConnectionString(details), sink);
        QVERIFY2(sink.calls.isEmpty(), qPrintable(sink.calls.join(u',')));
        TestDatabase::psqlAdmin(QStringLiteral("DROP DATABASE tst_cat_empty;"));
    }

    void refusedConnectionFailsWithNothingAppended()
    {
        QUARVEL_REQUIRE_DB();
        ConnectionDetails details = TestDatabase::details();
        details.password = QStringLiteral("wrong");
        RecordingSink sink;
        QVERIFY_THROWS_EXCEPTION(DbError, FillTableList(BuildConnectionString(details), sink));
        QVERIFY(sink.calls.isEmpty());
    }

    void connectionTestHoldsItsSessionUntilItGoes()
    {
        QUARVEL_REQUIRE_DB();
        const QString sessions =
            QStringLiteral("SELECT count(*) FROM pg_stat_activity "
                           "WHERE usename = current_user AND datname = current_database() "
                           "AND pid <> pg_backend_pid()");
        const int before = TestDatabase::psql(sessions).toInt();
        {
            ConnectionTest test(TestDatabase::details());
            QVERIFY(!test.isOpen());
            test.open();
            QVERIFY(test.isOpen());
            QCOMPARE(TestDatabase::psql(sessions).toInt(), before + 1);
        }
        for (int i = 0; i < 50 && TestDatabase::psql(sessions).toInt() != before; ++i)
            QTest::qWait(100);
        QCOMPARE(TestDatabase::psql(sessions).toInt(), before);
    }

    void connectionTestFailureNamesOnlyADetailTheDriverRefuses_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("message");
        const QString advice = QStringLiteral("Could not connect. Please check with your administrator.");
        QTest::newRow("wrong password") << QString() << "wrong" << advice;
        QTest::newRow("user name with a semicolon")
            << "a;b" << QString()
            << advice + "\r\n\r\nThe user name \"a;b\" cannot be passed to the PostgreSQL ODBC driver: it "
                        "holds \";\"";
    }

    void connectionTestFailureNamesOnlyADetailTheDriverRefuses()
    {
        QUARVEL_REQUIRE_DB();
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(QString, message);
        ConnectionDetails details = TestDatabase::details();
        if (!user.isEmpty())
            details.user = user;
        if (!password.isEmpty())
            details.password = password;
        ConnectionTest test(details);
        QVERIFY_THROWS_EXCEPTION(std::exception, test.open());
        QVERIFY(!test.isOpen());
        QCOMPARE(ConnectionTest::failureMessage(details), message);
    }

    void failureWhileFillingKeepsTheNamesAppendedSoFar()
    {
        QUARVEL_REQUIRE_DB();
        RecordingSink sink;
        sink.failAt = 2;
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, FillTableList(TestDatabase::connectionString(), sink));
        QCOMPARE(sink.tables.size(), 2);
    }
};

QTEST_GUILESS_MAIN(TestCatalogue)
#include "tst_catalogue.moc"
