// The connection string, the silent connection check, connections and their errors, against the real
// server through the real driver.
#include "db/Connection.h"
#include "db/ConnectionState.h"
#include "db/Database.h"
#include "db/RecordSet.h"
#include "db/Transaction.h"
#include "tests/support/TestDatabase.h"

#include <QtTest>

using namespace quarvel;
using namespace quarvel::db;
using quarvel::test::TestDatabase;

namespace {
const QString DriverTail = QStringLiteral("Error while executing the query");
} // namespace

class TestConnection : public QObject
{
    Q_OBJECT
private slots:
    // A statement freed after its connection shows only as the driver manager's refusal to free it.
    void init() { QTest::failOnWarning(QRegularExpression(QStringLiteral("^Freeing an ODBC"))); }

    // clang-format off
    void connectionStringHasTheExactBytes_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("database");
        QTest::addColumn<QString>("expected");
        QTest::newRow("ordinary details") << "db.example" << "5432" << "joe" << "secret" << "shop"
                                          << "Driver={PostgreSQL Unicode};Server=db.example;Port=5432;Uid=joe;"
                                             "Pwd=secret;Database=shop";
        QTest::newRow("empty user and password")
            << "localhost" << "5432" << "" << "" << "d"
            << "Driver={PostgreSQL Unicode};Server=localhost;Port=5432;Uid=;Pwd=;Database=d";
        QTest::newRow("all empty") << "" << "" << "" << "" << ""
                                   << "Driver={PostgreSQL Unicode};Server=;Port=;Uid=;Pwd=;Database=";
        QTest::newRow("not a number, as typed")
            << "h" << "port?" << "u" << "p=q" << "d"
            << "Driver={PostgreSQL Unicode};Server=h;Port=port?;Uid=u;Pwd=p=q;Database=d";
        QTest::newRow("semicolon braced") << "h" << "1" << "u" << "a;b" << "d"
                                          << "Driver={PostgreSQL Unicode};Server=h;Port=1;Uid=u;Pwd={a;b};Database=d";
        QTest::newRow("closing brace doubled")
            << "h" << "1" << "u" << "a}b" << "d"
            << "Driver={PostgreSQL Unicode};Server=h;Port=1;Uid=u;Pwd={a}}b};Database=d";
        QTest::newRow("every special at once")
            << "h" << "1" << "u" << "a;b}c{d" << "d"
            << "Driver={PostgreSQL Unicode};Server=h;Port=1;Uid=u;Pwd={a;b}}c{d};Database=d";
        QTest::newRow("password the driver would decode braced")
            << "h" << "1" << "u" << "a+b%41" << "d"
            << "Driver={PostgreSQL Unicode};Server=h;Port=1;Uid=u;Pwd={a+b%41};Database=d";
        QTest::newRow("braces inside names bare")
            << "h" << "1" << "u{x}" << "p" << "d}"
            << "Driver={PostgreSQL Unicode};Server=h;Port=1;Uid=u{x};Pwd=p;Database=d}";
        QTest::newRow("database beginning with a brace bare")
            << "h" << "1" << "u" << "p" << "{d"
            << "Driver={PostgreSQL Unicode};Server=h;Port=1;Uid=u;Pwd=p;Database={d";
        QTest::newRow("leading and trailing blanks kept")
            << " h" << "1 " << " u " << " p " << " d "
            << "Driver={PostgreSQL Unicode};Server= h;Port=1 ;Uid= u ;Pwd={ p };Database= d ";
        QTest::newRow("inner blank as typed")
            << "h" << "1" << "John Smith" << "p" << "my db"
            << "Driver={PostgreSQL Unicode};Server=h;Port=1;Uid=John Smith;Pwd=p;Database=my db";
    }
    // clang-format on

    void connectionStringHasTheExactBytes()
    {
        QFETCH(QString, server);
        QFETCH(QString, port);
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(QString, database);
        QFETCH(QString, expected);
        QCOMPARE(BuildConnectionString({server, port, user, password, database}).toUtf8(), expected.toUtf8());
    }

    // clang-format off
    void detailThatCannotBePassedIsRefusedNamingIt_data()
    {
        QTest::addColumn<QString>("piece");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("message");
        const QString tail = QStringLiteral("cannot be passed to the PostgreSQL ODBC driver: ");
        QTest::newRow("user with a semicolon") << "user" << "a;b"
            << "The user name \"a;b\" " + tail + "it holds \";\"";
        QTest::newRow("database with a semicolon") << "database" << "shop;Pwd=x"
            << "The database name \"shop;Pwd=x\" " + tail + "it holds \";\"";
        QTest::newRow("server with a semicolon") << "server" << "h;Database=other"
            << "The server \"h;Database=other\" " + tail + "it holds \";\"";
        QTest::newRow("port with a semicolon") << "port" << "5432;x"
            << "The port \"5432;x\" " + tail + "it holds \";\"";
        QTest::newRow("user beginning with a brace") << "user" << "{ab"
            << "The user name \"{ab\" " + tail + "it begins with \"{\"";
        QTest::newRow("server beginning with a brace") << "server" << "{h}"
            << "The server \"{h}\" " + tail + "it begins with \"{\"";
        QTest::newRow("port beginning with a brace") << "port" << "{1}"
            << "The port \"{1}\" " + tail + "it begins with \"{\"";
    }
    // clang-format on
    void detailThatCannotBePassedIsRefusedNamingIt()
    {
        QFETCH(QString, piece);
        QFETCH(QString, value);
        QFETCH(QString, message);
        ConnectionDetails details{"localhost", "5432", "u", "p;{}", "d"};
        (piece == "user"       ? details.user
         : piece == "database" ? details.database
         : piece == "server"   ? details.server
                               : details.port) = value;
        QCOMPARE(connectionDetailsProblem(details), message);
        try {
            BuildConnectionString(details);
            QFAIL("a connection string was built");
        } catch (const std::runtime_error& e) {
            QCOMPARE(QString::fromUtf8(e.what()), message);
        }
        QVERIFY(!CanConnect(details));
    }

    // Each name exists on the server, and the connection must reach exactly it.
    // clang-format off
    void detailsReachTheServerAsTyped_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("database");
        QTest::newRow("closing brace") << "tst_conn}a" << "p" << "tst_conn}a";
        QTest::newRow("opening brace inside") << "tst_conn{a" << "p" << "tst_conn{a";
        QTest::newRow("leading blank") << " tst_conn_lead" << "p" << " tst_conn_lead";
        QTest::newRow("trailing blank") << "tst_conn_trail " << "p" << "tst_conn_trail ";
        QTest::newRow("database beginning with a brace") << "tst_conn_b" << "p" << "{tst_conn_b";
        QTest::newRow("password with plus and percent") << "tst_conn_pw" << "a+b%41c" << "tst_conn_pw";
    }
    // clang-format on
    void detailsReachTheServerAsTyped()
    {
        QUARVEL_REQUIRE_DB();
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(QString, database);
        const auto drop = [&] {
            TestDatabase::psqlAdmin(
                QStringLiteral("DROP DATABASE IF EXISTS %1 WITH (FORCE);").arg(quoteIdentifier(database)));
            TestDatabase::psqlAdmin(QStringLiteral("DROP ROLE IF EXISTS %1;").arg(quoteIdentifier(user)));
        };
        drop();
        TestDatabase::psqlAdmin(
            QStringLiteral("CREATE ROLE %1 LOGIN PASSWORD $pw$%2$pw$;").arg(quoteIdentifier(user), password));
        TestDatabase::psqlAdmin(QStringLiteral("CREATE DATABASE %1 OWNER %2;")
                                    .arg(quoteIdentifier(database), quoteIdentifier(user)));
        ConnectionDetails details = TestDatabase::details();
        details.user = user;
        details.password = password;
        details.database = database;
        QString reached;
        try {
            Connection connection;
            connection.open(BuildConnectionString(details));
            RecordSet who =
                connection.execute(QStringLiteral("SELECT current_user || '|' || current_database()"));
            reached = who.value(0).value_or(QString());
        } catch (const std::exception& e) {
            reached = QString::fromUtf8(e.what());
        }
        drop();
        QCOMPARE(reached, user + u'|' + database);
    }

    void userNameThatCannotBePassedNeverReachesAnotherRole()
    {
        QUARVEL_REQUIRE_DB();
        // Braced, "tst_conn;b" would log in as the role "{tst_conn;b}"; bare, as "tst_conn".
        TestDatabase::psqlAdmin(QStringLiteral(
            "DROP ROLE IF EXISTS \"{tst_conn;b}\"; DROP ROLE IF EXISTS tst_conn;"
            "CREATE ROLE \"{tst_conn;b}\" LOGIN PASSWORD 'p'; CREATE ROLE tst_conn LOGIN PASSWORD 'p';"));
        ConnectionDetails details = TestDatabase::details();
        details.user = QStringLiteral("tst_conn;b");
        details.password = QStringLiteral("p");
        const bool connected = CanConnect(details);
        TestDatabase::psqlAdmin(QStringLiteral("DROP ROLE \"{tst_conn;b}\"; DROP ROLE tst_conn;"));
        QVERIFY(!connected);
    }

    void canConnectIsTrueForTheRightDetails()
    {
        QUARVEL_REQUIRE_DB();
        QVERIFY(CanConnect(TestDatabase::connectionString()));
    }

    // clang-format off
    void canConnectIsFalseForWrongDetails_data()
    {
        QTest::addColumn<QString>("piece");
        QTest::addColumn<QString>("value");
        QTest::newRow("wrong password") << "password" << "not-the-password";
        QTest::newRow("empty password") << "password" << "";
        QTest::newRow("wrong user") << "user" << "nobody_here";
        QTest::newRow("wrong port") << "port" << "1";
        QTest::newRow("port not a number") << "port" << "abc";
        QTest::newRow("wrong database") << "database" << "no_such_database";
        QTest::newRow("wrong server") << "server" << "no-such-host.invalid";
    }
    // clang-format on

    void canConnectIsFalseForWrongDetails()
    {
        QUARVEL_REQUIRE_DB();
        QFETCH(QString, piece);
        QFETCH(QString, value);
        ConnectionDetails details = TestDatabase::details();
        if (piece == "password")
            details.password = value;
        else if (piece == "user")
            details.user = value;
        else if (piece == "port")
            details.port = value;
        else if (piece == "database")
            details.database = value;
        else
            details.server = value;
        QVERIFY(!CanConnect(BuildConnectionString(details)));
    }

    void canConnectIsFalseForAnUnknownDriver()
    {
        QVERIFY(!CanConnect(QStringLiteral("Driver={No Such Driver};Server=localhost")));
        QVERIFY(!CanConnect(QString()));
    }

    void passwordWithSemicolonAndBracesConnects()
    {
        QUARVEL_REQUIRE_DB();
        const QString password = QStringLiteral("a;b}c{d; Uid=postgres");
        TestDatabase::psqlAdmin(QStringLiteral("DROP ROLE IF EXISTS quarvel_semicolon; "
                                               "CREATE ROLE quarvel_semicolon LOGIN PASSWORD $pw$%1$pw$;")
                                    .arg(password));
        ConnectionDetails details = TestDatabase::details();
        details.user = QStringLiteral("quarvel_semicolon");
        details.password = password;
        QVERIFY(CanConnect(BuildConnectionString(details)));

        // The same password pasted without braces does not reach the driver whole.
        const QString unbraced =
            QStringLiteral("Driver={PostgreSQL Unicode};Server=%1;Port=%2;Uid=%3;Pwd=%4;"
                           "Database=%5")
                .arg(details.server, details.port, details.user, password, details.database);
        QVERIFY(!CanConnect(unbraced));

        Connection connection;
        connection.open(BuildConnectionString(details));
        RecordSet who = connection.execute(QStringLiteral("SELECT current_user::text"));
        QCOMPARE(who.value(0).value_or(QString()), QStringLiteral("quarvel_semicolon"));
    }

    void failedOpenKeepsTheServersStateAndMessage()
    {
        QUARVEL_REQUIRE_DB();
        ConnectionDetails details = TestDatabase::details();
        details.password = QStringLiteral("wrong");
        Connection connection;
        try {
            connection.open(BuildConnectionString(details));
            QFAIL("a wrong password opened a connection");
        } catch (const DbError& error) {
            // psqlODBC 13 logs in through libpq and reports a refused login as 08001; older ones as 28P01.
            QVERIFY2(error.sqlState() == QStringLiteral("08001") ||
                         error.sqlState() == QStringLiteral("28P01"),
                     qPrintable(error.sqlState()));
            QVERIFY(error.ruinsTheTable() || error.sqlState() == QStringLiteral("28P01"));
            QVERIFY2(error.message().contains(QStringLiteral("password authentication failed")),
                     qPrintable(error.message()));
            QVERIFY(!error.message().contains(DriverTail));
            QCOMPARE(QString::fromUtf8(error.what()), error.message());
        }
        QVERIFY(!connection.isOpen());
    }

    // clang-format off
    void serverErrorKeepsStateAndMessageWithoutTheDriversTail_data()
    {
        QTest::addColumn<QString>("sql");
        QTest::addColumn<QString>("state");
        QTest::newRow("division by zero") << "SELECT 1/0" << "22012";
        QTest::newRow("missing table") << "SELECT * FROM no_such_table_anywhere" << "42P01";
        QTest::newRow("raise") << "DO $$BEGIN RAISE EXCEPTION 'custom failure: ü 😀'; END$$" << "P0001";
        QTest::newRow("syntax") << "SELEKT 1" << "42601";
    }
    // clang-format on

    void serverErrorKeepsStateAndMessageWithoutTheDriversTail()
    {
        QUARVEL_REQUIRE_DB();
        QFETCH(QString, sql);
        QFETCH(QString, state);
        const QString expected = TestDatabase::serverMessage(sql);
        QVERIFY(!expected.isEmpty());
        Connection connection;
        connection.open(TestDatabase::connectionString());
        try {
            connection.execute(sql);
            QFAIL("the statement did not fail");
        } catch (const DbError& error) {
            QCOMPARE(error.sqlState(), state);
            QVERIFY2(error.message().contains(expected), qPrintable(error.message() + " / " + expected));
            QVERIFY2(!error.message().contains(DriverTail), qPrintable(error.message()));
            QVERIFY2(!error.message().endsWith(u';'), qPrintable(error.message()));
            QVERIFY(!error.message().endsWith(u'\n'));
        }
        // The connection goes on working after a failed statement.
        RecordSet one = connection.execute(QStringLiteral("SELECT 41 + 1"));
        QCOMPARE(one.value(0), std::optional<QString>(QStringLiteral("42")));
    }

    // clang-format off
    void ruinsTheTableForStatesAfterWhichNothingMoreGoes_data()
    {
        QTest::addColumn<QString>("state");
        QTest::addColumn<bool>("ruins");
        QTest::newRow("connection failure") << "08006" << true;
        QTest::newRow("communication link") << "08S01" << true;
        QTest::newRow("admin shutdown") << "57P01" << true;
        QTest::newRow("crash shutdown") << "57P02" << true;
        QTest::newRow("no privilege") << "42501" << true;
        QTest::newRow("read-only transaction") << "25006" << true;
        QTest::newRow("disk full") << "53100" << true;
        QTest::newRow("out of memory") << "53200" << true;
        QTest::newRow("io error") << "58030" << true;
        QTest::newRow("table gone") << "42P01" << true;
        QTest::newRow("column gone") << "42703" << true;
        QTest::newRow("value too long") << "22001" << false;
        QTest::newRow("invalid text") << "22P02" << false;
        QTest::newRow("check violation") << "23514" << false;
        QTest::newRow("unique violation") << "23505" << false;
        QTest::newRow("raise") << "P0001" << false;
        QTest::newRow("statement cancelled") << "57014" << false;
        QTest::newRow("deadlock") << "40P01" << false;
        QTest::newRow("no state") << "" << false;
    }
    // clang-format on

    void ruinsTheTableForStatesAfterWhichNothingMoreGoes()
    {
        QFETCH(QString, state);
        QFETCH(bool, ruins);
        QCOMPARE(DbError(QStringLiteral("m"), state).ruinsTheTable(), ruins);
    }

    void executeGivesAResultOnItsFirstRowWithItsCount()
    {
        QUARVEL_REQUIRE_DB();
        Connection connection;
        connection.open(TestDatabase::connectionString());
        QVERIFY(connection.isOpen());
        RecordSet rows = connection.execute(
            QStringLiteral("SELECT g::text AS n, CASE WHEN g = 2 THEN NULL ELSE 'v' || g END AS label "
                           "FROM generate_series(1, 3) g ORDER BY g"));
        QVERIFY(rows.isOpen());
        QCOMPARE(rows.recordCount(), 3LL);
        QCOMPARE(rows.fieldCount(), 2);
        QCOMPARE(rows.fieldName(0), QStringLiteral("n"));
        QCOMPARE(rows.fieldName(1), QStringLiteral("label"));
        QStringList seen;
        while (!rows.isEOF()) {
            seen << rows.value(0).value_or("?") + u'=' + rows.value(1).value_or("<null>");
            rows.moveNext();
        }
        QCOMPARE(seen, QStringList({"1=v1", "2=<null>", "3=v3"}));
        QVERIFY_THROWS_EXCEPTION(DbError, rows.moveNext());
        QVERIFY_THROWS_EXCEPTION(DbError, rows.value(0));
    }

    void resultOfAQueryIsReadOnly()
    {
        QUARVEL_REQUIRE_DB();
        Connection connection;
        connection.open(TestDatabase::connectionString());
        RecordSet rows = connection.execute(QStringLiteral("SELECT 'x'::text"));
        QVERIFY_THROWS_EXCEPTION(DbError, rows.setValue(0, QStringLiteral("y")));
        QCOMPARE(rows.value(0), std::optional<QString>(QStringLiteral("x")));
    }

    void emptyResultIsAtEndRightAway()
    {
        QUARVEL_REQUIRE_DB();
        Connection connection;
        connection.open(TestDatabase::connectionString());
        RecordSet rows = connection.execute(QStringLiteral("SELECT 1 WHERE false"));
        QVERIFY(rows.isEOF());
        QCOMPARE(rows.recordCount(), 0LL);
        QCOMPARE(rows.fieldCount(), 1);
    }

    void closingTheConnectionClosesItsRecordSets()
    {
        QUARVEL_REQUIRE_DB();
        Connection connection;
        connection.open(TestDatabase::connectionString());
        RecordSet rows = connection.execute(QStringLiteral("SELECT 1"));
        QVERIFY(rows.isOpen());
        connection.close();
        QVERIFY(!connection.isOpen());
        QVERIFY(!rows.isOpen());
        QVERIFY(rows.isEOF());
        QVERIFY_THROWS_EXCEPTION(DbError, rows.recordCount());
        connection.close(); // closing twice does nothing
        QVERIFY_THROWS_EXCEPTION(DbError, connection.execute(QStringLiteral("SELECT 1")));
    }

    void connectionReopensAfterClose()
    {
        QUARVEL_REQUIRE_DB();
        Connection connection;
        connection.open(TestDatabase::connectionString());
        QVERIFY_THROWS_EXCEPTION(DbError, connection.open(TestDatabase::connectionString()));
        connection.close();
        connection.open(TestDatabase::connectionString());
        QCOMPARE(connection.execute(QStringLiteral("SELECT 7")).value(0), std::optional<QString>("7"));
    }

    void releasingAnOpenConnectionEndsTheSession()
    {
        QUARVEL_REQUIRE_DB();
        const QString countSql = QStringLiteral("SELECT count(*) FROM pg_stat_activity WHERE "
                                                "application_name = 'quarvel-release-check' "
                                                "AND datname = current_database()");
        // psql itself never carries that name; only the connection made below does.
        {
            Connection connection;
            connection.open(TestDatabase::connectionString());
            connection.execute(QStringLiteral("SET application_name = 'quarvel-release-check'"));
            QCOMPARE(TestDatabase::psql(countSql), QStringLiteral("1"));
            Connection moved = std::move(connection);
            QVERIFY(moved.isOpen());
            // NOLINTNEXTLINE(bugprone-use-after-move): the moved-from state is what is checked
            QVERIFY(!connection.isOpen());
        }
        for (int i = 0; i < 50 && TestDatabase::psql(countSql) != QStringLiteral("0"); ++i)
            QTest::qWait(100);
        QCOMPARE(TestDatabase::psql(countSql), QStringLiteral("0"));
    }

    // Only what a transaction commits stays, and the connection commits each statement on its own
    // again afterwards, however the transaction ended.
    void transactionKeepsOnlyWhatItCommits_data()
    {
        QTest::addColumn<QString>("ending");
        QTest::addColumn<QString>("kept");
        QTest::newRow("committed") << "commit"
                                   << "1|2";
        QTest::newRow("rolled back") << "rollback"
                                     << "2";
        QTest::newRow("let go uncommitted") << "none"
                                            << "2";
    }

    void transactionKeepsOnlyWhatItCommits()
    {
        QUARVEL_REQUIRE_DB();
        QFETCH(QString, ending);
        QFETCH(QString, kept);
        TestDatabase::freshSchema(QStringLiteral("tst_conn_tx"));
        TestDatabase::psql(QStringLiteral("CREATE TABLE tst_conn_tx.t (v integer)"));
        Connection connection;
        connection.open(TestDatabase::connectionString());
        {
            Transaction transaction(connection.state().shared_from_this(), QStringLiteral("Cannot begin."));
            connection.execute(QStringLiteral("INSERT INTO tst_conn_tx.t VALUES (1)"));
            if (ending == u"commit")
                transaction.commit();
            else if (ending == u"rollback")
                transaction.rollback();
        }
        connection.execute(QStringLiteral("INSERT INTO tst_conn_tx.t VALUES (2)"));
        QCOMPARE(TestDatabase::psql(
                     QStringLiteral("SELECT string_agg(v::text, '|' ORDER BY v) FROM tst_conn_tx.t")),
                 kept);
    }
};

QTEST_GUILESS_MAIN(TestConnection)
#include "tst_connection.moc"
