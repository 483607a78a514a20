// The record set on a table: values in PostgreSQL's own text form, changes checked at once and stored
// on exactly the row version that was read. Every outcome is checked through psql, an independent path.
#include "db/Connection.h"
#include "db/RecordSet.h"
#include "tests/support/TestDatabase.h"

#include <QCryptographicHash>
#include <QProcess>
#include <QThread>
#include <QtTest>

#include <map>
#include <vector>

using namespace quarvel;
using namespace quarvel::db;
using quarvel::test::TestDatabase;

namespace {
const QString Schema = QStringLiteral("tst_recordset");
const QString StaleMessage = QStringLiteral("Row cannot be located for updating. Some values may have been "
                                            "changed since it was last read.");

using Texts = QList<std::optional<QString>>;

QString psql(const QString& sql)
{
    return TestDatabase::psql(QStringLiteral("SET search_path = tst_recordset, public;\n") + sql);
}

// One column's texts (expression over the table) in the given order, read through psql as hex of UTF-8
// so that line breaks and any character survive; a database null reads as nullopt (tested on the text,
// since a composite of nulls IS NULL without being a null).
Texts psqlTexts(const QString& table, const QString& expression, const QString& order = QStringLiteral("id"))
{
    const QString out = psql(QStringLiteral("SELECT CASE WHEN (%1)::text IS NULL THEN 'NULL' ELSE "
                                            "'x' || encode(convert_to((%1)::text, 'UTF8'), 'hex') END "
                                            "FROM %2 ORDER BY %3")
                                 .arg(expression, table, order));
    Texts texts;
    if (out.isEmpty())
        return texts;
    for (const QString& line : out.split(u'\n')) {
        if (line == QStringLiteral("NULL"))
            texts.append(std::nullopt);
        else
            texts.append(QString::fromUtf8(QByteArray::fromHex(line.mid(1).toLatin1())));
    }
    return texts;
}

QString md5Hex(const QString& text)
{
    return QString::fromLatin1(QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Md5).toHex());
}

// A second session holds a lock until the test ends it.
struct LockHolder
{
    QProcess psqlProcess;
    bool holding = false;
    explicit LockHolder(const QString& lockSql)
    {
        const auto d = TestDatabase::details();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("PGPASSWORD", d.password);
        psqlProcess.setProcessEnvironment(env);
        psqlProcess.start("psql",
                          {"-X", "-q", "-h", d.server, "-p", d.port, "-U", d.user, "-d", d.database, "-c",
                           "BEGIN; SET application_name = 'quarvel-lock-holder'; " + lockSql +
                               "; SELECT pg_sleep(120); COMMIT;"});
        for (int i = 0; i < 200; ++i) {
            if (psql("SELECT count(*) FROM pg_stat_activity WHERE application_name = 'quarvel-lock-holder' "
                     "AND datname = current_database() AND wait_event = 'PgSleep'") == "1") {
                holding = true;
                return;
            }
            QThread::msleep(50);
        }
    }
    ~LockHolder()
    {
        TestDatabase::psqlAdmin(
            "SELECT pg_terminate_backend(pid) FROM pg_stat_activity "
            "WHERE application_name = 'quarvel-lock-holder' AND datname = current_database()");
        psqlProcess.waitForFinished(10000);
    }
};

// A connection and a record set open on one table of the test schema; the record set goes first.
struct OpenTable
{
    Connection connection;
    RecordSet records;

    explicit OpenTable(const QString& name, LockType lock = LockType::Optimistic,
                       const QString& schema = Schema, int batchRows = 1)
    {
        connection.open(TestDatabase::connectionString());
        records.setBatchSize(batchRows);
        records.open(Table{schema, name}, connection, lock);
    }
};
} // namespace

class TestRecordSet : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QUARVEL_REQUIRE_DB();
        TestDatabase::freshSchema(Schema);
        psql(QStringLiteral("CREATE TYPE mood AS ENUM ('sad', 'ok', 'happy');"
                            "CREATE DOMAIN positive AS integer CHECK (VALUE > 0);"
                            "CREATE DOMAIN short_code AS varchar(3);"
                            "CREATE DOMAIN label AS text;"
                            "CREATE TYPE pair AS (name text, at timestamptz);"
                            "CREATE DOMAIN price AS numeric(5,2);"
                            "CREATE TYPE fixed AS (a numeric(5,2)); CREATE TYPE stamped AS (t timestamp(0));"
                            "CREATE TYPE prices AS RANGE (subtype = price);"));
    }

    // A statement freed after its connection shows only as the driver manager's refusal to free it.
    void init() { QTest::failOnWarning(QRegularExpression(QStringLiteral("^Freeing an ODBC"))); }

    // clang-format off
    void everyTypeReadsAsItsOwnTextAndStoresBackUnchanged_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QStringList>("literals");
        QTest::newRow("integer") << "integer" << QStringList{"0", "-2147483648", "2147483647"};
        QTest::newRow("bigint and smallint") << "bigint" << QStringList{"-9223372036854775808", "42"};
        QTest::newRow("smallint") << "smallint" << QStringList{"-32768", "7"};
        QTest::newRow("numeric") << "numeric"
                                 << QStringList{"1234.5600", "-0.000001", "'NaN'", "1e30", "0"};
        QTest::newRow("numeric with scale") << "numeric(7,2)" << QStringList{"1.50", "-99999.99"};
        QTest::newRow("double") << "double precision"
                                << QStringList{"'Infinity'", "'-Infinity'", "'-0'", "'NaN'", "0.1", "1.5e-300",
                                               "123456789.123456789"};
        QTest::newRow("real") << "real" << QStringList{"3.14", "'-0'", "'Infinity'", "1e-30"};
        QTest::newRow("boolean") << "boolean" << QStringList{"true", "false"};
        QTest::newRow("date") << "date"
                              << QStringList{"'2024-02-29'", "'0044-03-15 BC'", "'infinity'", "'-infinity'",
                                             "'0001-01-01'"};
        QTest::newRow("timestamp") << "timestamp"
                                   << QStringList{"'2024-01-02 03:04:05.123456'", "'infinity'", "'-infinity'",
                                                  "'1999-12-31 23:59:59 BC'"};
        QTest::newRow("timestamptz") << "timestamptz"
                                     << QStringList{"'2024-01-02 03:04:05.5+02'", "'infinity'",
                                                    "'1900-06-30 12:00:00-05:30'", "'0044-03-15 12:00 BC'"};
        QTest::newRow("time and timetz") << "timetz" << QStringList{"'23:59:59.999999+14'", "'00:00:00-12'"};
        QTest::newRow("interval") << "interval"
                                  << QStringList{"'1 year 2 mons 3 days 04:05:06.7'", "'-00:00:01'",
                                                 "'-1 days +02:00:00'", "'0'"};
        QTest::newRow("uuid") << "uuid"
                              << QStringList{"'A0EEBC99-9C0B-4EF8-BB6D-6BB9BD380A11'",
                                             "'00000000-0000-0000-0000-000000000000'"};
        QTest::newRow("bytea") << "bytea" << QStringList{"'\\x00ff41'", "''", "'\\x5c27'"};
        QTest::newRow("json keeps its spelling") << "json" << QStringList{"'{\"b\": 1,   \"a\" : [1,2]}'", "'null'"};
        QTest::newRow("jsonb") << "jsonb" << QStringList{"'{\"b\": 1, \"a\": [1, 2, {\"é\": \"😀\"}]}'", "'[]'"};
        QTest::newRow("integer array") << "integer[]" << QStringList{"'{1,2,NULL}'", "'{}'", "'{{1,2},{3,4}}'"};
        QTest::newRow("text array") << "text[]" << QStringList{"'{\"a b\",\"c,d\",NULL,\"\\\\\\\"q\"}'"};
        QTest::newRow("enum") << "mood" << QStringList{"'sad'", "'happy'"};
        QTest::newRow("domain") << "positive" << QStringList{"1", "2147483647"};
        QTest::newRow("domain over varchar(3)") << "short_code" << QStringList{"'abc'", "''"};
        QTest::newRow("money") << "money" << QStringList{"1234.56", "-0.01"};
        QTest::newRow("inet") << "inet" << QStringList{"'192.168.0.1/24'", "'::1'", "'10.0.0.1'"};
        QTest::newRow("char(n) padded") << "char(5)" << QStringList{"'ab'", "'abcde'", "''"};
        QTest::newRow("varchar(n)") << "varchar(4)" << QStringList{"'abcd'", "'😀😀😀😀'"};
        QTest::newRow("bit(n)") << "bit(4)" << QStringList{"B'1010'", "B'0000'"};
        QTest::newRow("varbit") << "bit varying(8)" << QStringList{"B'1'", "B''"};
        QTest::newRow("text with line breaks") << "text"
                                               << QStringList{"E'line\\r\\nbreak\\ttab'", "E'  blanks  '",
                                                              "'back\\slash ''quote'' \"dq\" ? $1'"};
        QTest::newRow("composite") << "pair"
                                   << QStringList{"ROW('a, \"b\"', '2024-01-01 00:00+00')", "ROW(NULL, NULL)"};
        QTest::newRow("range") << "tstzrange" << QStringList{"'[2024-01-01 00:00+00,infinity)'", "'empty'"};
        QTest::newRow("integer range") << "int4range" << QStringList{"'(1,5]'", "'(,)'"};
        QTest::newRow("tsvector") << "tsvector" << QStringList{"'a fat cat:3 ''s'''"};
        QTest::newRow("point") << "point" << QStringList{"'(1.5,-2)'"};
        QTest::newRow("cidr") << "cidr" << QStringList{"'10.1.0.0/16'", "'2001:db8::/32'"};
        QTest::newRow("time") << "time(3)" << QStringList{"'23:59:59.123'", "'24:00:00'"};
        QTest::newRow("single character") << "\"char\"" << QStringList{"'x'", "''"};
        QTest::newRow("domain over text") << "label" << QStringList{"'labelled'"};
        QTest::newRow("enum array") << "mood[]" << QStringList{"'{sad,happy}'"};
        QTest::newRow("xml") << "xml" << QStringList{"'<a b=\"1\">t &amp; u</a>'"};
    }
    // clang-format on

    void everyTypeReadsAsItsOwnTextAndStoresBackUnchanged()
    {
        QUARVEL_REQUIRE_DB();
        QFETCH(QString, type);
        QFETCH(QStringList, literals);
        QString rows;
        for (int i = 0; i < literals.size(); ++i)
            rows += QStringLiteral("(%1, %2),").arg(i + 1).arg(literals[i]);
        rows += QStringLiteral("(%1, NULL)").arg(literals.size() + 1);
        psql(QStringLiteral("DROP TABLE IF EXISTS round_trip; CREATE TABLE round_trip (id integer, v %1);"
                            "INSERT INTO round_trip VALUES %2;")
                 .arg(type, rows));
        const Texts before = psqlTexts("round_trip", "v");
        const Texts versionsBefore = psqlTexts("round_trip", "xmin");
        QCOMPARE(before.size(), literals.size() + 1);

        std::map<int, std::optional<QString>> read;
        {
            OpenTable t("round_trip");
            QCOMPARE(t.records.recordCount(), qint64(literals.size() + 1));
            QCOMPARE(t.records.fieldCount(), 2);
            while (!t.records.isEOF()) {
                const std::optional<QString> v = t.records.value(1);
                read[t.records.value(0).value_or("0").toInt()] = v;
                if (v)
                    t.records.setValue(1, *v);
                t.records.moveNext();
            }
        }
        Texts readInOrder;
        for (const auto& entry : read)
            readInOrder.append(entry.second);
        QCOMPARE(readInOrder, before);

        QCOMPARE(psqlTexts("round_trip", "v"), before);
        // Every non-null row was really written (a new row version), the null one left alone.
        const Texts versionsAfter = psqlTexts("round_trip", "xmin");
        for (int i = 0; i < before.size(); ++i)
            QCOMPARE(versionsAfter[i] != versionsBefore[i], before[i].has_value());
    }

    void changedValueIsStoredAndVisibleToOthers()
    {
        QUARVEL_REQUIRE_DB();
        psql(
            "DROP TABLE IF EXISTS change; CREATE TABLE change (id integer PRIMARY KEY, name text, n numeric);"
            "INSERT INTO change VALUES (1, 'old one', 10), (2, 'old two', 20);");
        OpenTable t("change");
        QCOMPARE(t.records.value(0), std::optional<QString>("1"));
        t.records.setValue(1, QStringLiteral("new one ✓ 😀"));
        t.records.setValue(2, QStringLiteral("1454"));
        QCOMPARE(t.records.value(1), std::optional<QString>(QStringLiteral("new one ✓ 😀")));
        // Not stored before the record is left.
        QCOMPARE(psqlTexts("change", "name"), Texts({QString("old one"), QString("old two")}));
        t.records.moveNext();
        QCOMPARE(psqlTexts("change", "name"), Texts({QStringLiteral("new one ✓ 😀"), QString("old two")}));
        QCOMPARE(psqlTexts("change", "n"), Texts({QString("1454"), QString("20")}));
        t.records.moveNext();
        QVERIFY(t.records.isEOF());
    }

    // clang-format off
    void rowChangedByOthersSinceReadIsRefused_data()
    {
        QTest::addColumn<QString>("otherChange");
        QTest::addColumn<Texts>("expected");
        QTest::newRow("changed") << "UPDATE stale SET v = 'theirs' WHERE id = 1"
                                 << Texts{QString("theirs"), QString("ours two")};
        QTest::newRow("changed to the same text") << "UPDATE stale SET v = v WHERE id = 1"
                                                  << Texts{QString("mine"), QString("ours two")};
        QTest::newRow("deleted") << "DELETE FROM stale WHERE id = 1" << Texts{QString("ours two")};
        // The walk's snapshot keeps VACUUM from freeing the deleted row's place, so no new row can
        // take it while the table is walked.
        QTest::newRow("deleted, vacuumed and a row added")
            << "DELETE FROM stale WHERE id = 1; VACUUM stale; INSERT INTO stale VALUES (3, 'newcomer');"
               "SELECT ctid = '(0,1)' FROM stale WHERE id = 3"
            << Texts{QString("ours two"), QString("newcomer")};
    }
    // clang-format on

    void rowChangedByOthersSinceReadIsRefused()
    {
        QUARVEL_REQUIRE_DB();
        QFETCH(QString, otherChange);
        QFETCH(Texts, expected);
        psql("DROP TABLE IF EXISTS stale; CREATE TABLE stale (id integer, v text);"
             "INSERT INTO stale VALUES (1, 'mine'), (2, 'two');");
        OpenTable t("stale");
        const QString otherOutput = psql(otherChange);
        if (!otherOutput.isEmpty())
            QCOMPARE(otherOutput, QStringLiteral("f")); // the place was not taken
        t.records.setValue(1, QStringLiteral("ours"));
        try {
            t.records.moveNext();
            QFAIL("a row changed by another connection was overwritten");
        } catch (const DbError& error) {
            QCOMPARE(error.message(), StaleMessage);
            QVERIFY(!error.ruinsTheTable());
        }
        // The move went on to the next record, which still takes changes.
        QVERIFY(!t.records.isEOF());
        QCOMPARE(t.records.value(0), std::optional<QString>("2"));
        t.records.setValue(1, QStringLiteral("ours two"));
        t.records.moveNext();
        QVERIFY(t.records.isEOF());
        QCOMPARE(psqlTexts("stale", "v"), expected);
    }

    void identicalRowsWithoutKeyAreEachUpdatedOnce()
    {
        QUARVEL_REQUIRE_DB();
        psql("DROP TABLE IF EXISTS twins; CREATE TABLE twins (v text, n integer);"
             "INSERT INTO twins VALUES ('same', 1), ('same', 1);");
        OpenTable t("twins");
        QCOMPARE(t.records.recordCount(), 2LL);
        t.records.setValue(0, QStringLiteral("first"));
        t.records.moveNext();
        QCOMPARE(psql("SELECT string_agg(v, ',' ORDER BY v) FROM twins"), QStringLiteral("first,same"));
        t.records.setValue(0, QStringLiteral("second"));
        t.records.moveNext();
        QVERIFY(t.records.isEOF());
        QCOMPARE(psql("SELECT string_agg(v, ',' ORDER BY v) FROM twins"), QStringLiteral("first,second"));
    }

    // clang-format off
    void textTheColumnCannotTakeIsRefusedAtOnceAndOtherChangesStay_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("good");
        QTest::addColumn<QString>("bad");
        QTest::addColumn<QString>("state");
        QTest::newRow("varchar(3) too long") << "varchar(3)" << "abc" << "abcd" << "22001";
        QTest::newRow("varchar(3) too long by a wide character") << "varchar(3)" << "abc" << "ab😀é" << "22001";
        QTest::newRow("char(3) too long") << "char(3)" << "abc" << "abcd" << "22001";
        QTest::newRow("bit(3) too long") << "bit(3)" << "101" << "1011" << "22026";
        QTest::newRow("bit(3) too short") << "bit(3)" << "101" << "10" << "22026";
        QTest::newRow("varbit(3) too long") << "bit varying(3)" << "1" << "1011" << "22001";
        QTest::newRow("domain over varchar(3)") << "tst_recordset.short_code" << "abc" << "abcd" << "22001";
        QTest::newRow("array of varchar(3)") << "varchar(3)[]" << "{abc}" << "{ab,abcd}" << "22001";
        QTest::newRow("numeric overflow") << "numeric(3,1)" << "12.5" << "123.4" << "22003";
        QTest::newRow("not an integer") << "integer" << "12" << "12x" << "22P02";
        QTest::newRow("integer out of range") << "integer" << "12" << "99999999999" << "22003";
        QTest::newRow("not a date") << "date" << "2024-01-01" << "someday" << "22007";
        QTest::newRow("not a boolean") << "boolean" << "true" << "maybe" << "22P02";
        QTest::newRow("not in the enum") << "tst_recordset.mood" << "ok" << "meh" << "22P02";
        QTest::newRow("domain check") << "tst_recordset.positive" << "5" << "-1" << "23514";
        QTest::newRow("not a uuid") << "uuid" << "a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11" << "nope" << "22P02";
        QTest::newRow("not json") << "json" << "{}" << "{bad" << "22P02";
        QTest::newRow("not bytea") << "bytea" << "\\x00" << "\\xZZ" << "22023";
    }
    // clang-format on

    void textTheColumnCannotTakeIsRefusedAtOnceAndOtherChangesStay()
    {
        QUARVEL_REQUIRE_DB();
        QFETCH(QString, type);
        QFETCH(QString, good);
        QFETCH(QString, bad);
        QFETCH(QString, state);
        psql(QStringLiteral("DROP TABLE IF EXISTS refuse; CREATE TABLE refuse (id integer, c %1, other text);"
                            "INSERT INTO refuse VALUES (1, $q$%2$q$, 'old');")
                 .arg(type, good));
        const Texts before = psqlTexts("refuse", "c");
        const QString expected =
            TestDatabase::serverMessage(QStringLiteral("CREATE TEMP TABLE probe (c %1);"
                                                       "INSERT INTO probe VALUES ($q$%2$q$);")
                                            .arg(type, bad));
        QVERIFY(!expected.isEmpty());

        OpenTable t("refuse");
        t.records.setValue(2, QStringLiteral("changed"));
        try {
            t.records.setValue(1, bad);
            QFAIL("the column took a text it cannot hold");
        } catch (const DbError& error) {
            QCOMPARE(error.sqlState(), state);
            QVERIFY2(error.message().contains(expected), qPrintable(error.message() + " / " + expected));
        }
        QCOMPARE(t.records.value(1), before.first());
        QCOMPARE(t.records.value(2), std::optional<QString>("changed"));
        t.records.moveNext();
        QCOMPARE(psqlTexts("refuse", "c"), before);
        QCOMPARE(psqlTexts("refuse", "other"), Texts({QString("changed")}));
    }

    // clang-format off
    void textAtTheColumnsLimitIsStoredWhole_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("stored");
        QTest::newRow("varchar(3) full") << "varchar(3)" << "xyz" << "xyz";
        QTest::newRow("varchar(3) of characters outside the BMP") << "varchar(3)" << "😀𝄞😀" << "😀𝄞😀";
        QTest::newRow("char(3) short, padded") << "char(3)" << "a" << "a";
        QTest::newRow("bit(3)") << "bit(3)" << "011" << "011";
        QTest::newRow("domain over varchar(3)") << "short_code" << "q😀q" << "q😀q";
        QTest::newRow("array of char(2)") << "char(2)[]" << "{ab,c}" << "{ab,\"c \"}";
        // The type's own spelling of an equal value is no change.
        QTest::newRow("numeric padded to its scale") << "numeric(5,2)" << "1.5" << "1.50";
        QTest::newRow("jsonb spacing") << "jsonb" << "{\"a\":1}" << "{\"a\": 1}";
        QTest::newRow("timestamp(0) whole second") << "timestamp(0)" << "2024-01-02 03:04:05.000"
                                                   << "2024-01-02 03:04:05";
        QTest::newRow("\"char\" one byte") << "\"char\"" << "y" << "y";
        QTest::newRow("name of 63 bytes") << "name" << QString(63, u'n') << QString(63, u'n');
        QTest::newRow("money in its own spelling") << "money" << "1.2" << "$1.20";
        QTest::newRow("timestamp with a seventh zero") << "timestamp" << "2024-01-02 03:04:05.1234560"
                                                       << "2024-01-02 03:04:05.123456";
        QTest::newRow("jsonb keys in its order") << "jsonb" << "{\"b\":1,\"a\":{\"b\":2}}" << "{\"a\": {\"b\": 2}, \"b\": 1}";
    }
    // clang-format on

    void textAtTheColumnsLimitIsStoredWhole()
    {
        QUARVEL_REQUIRE_DB();
        QFETCH(QString, type);
        QFETCH(QString, value);
        QFETCH(QString, stored);
        psql(QStringLiteral("DROP TABLE IF EXISTS limits; CREATE TABLE limits (id integer, c %1);"
                            "INSERT INTO limits VALUES (1, NULL);")
                 .arg(type));
        OpenTable t("limits");
        t.records.setValue(1, value);
        t.records.moveNext();
        QCOMPARE(psqlTexts("limits", "c"), Texts({stored}));
    }

    // clang-format off
    void textTheColumnWouldRoundOrCutIsRefused_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("message");
        QTest::newRow("numeric scale") << "numeric(7,2)" << "1.50" << "1.505" << "numeric(7,2) would store 1.505 as 1.51";
        QTest::newRow("timestamp(0)") << "timestamp(0)" << "2024-01-02 03:04:05" << "2024-01-02 03:04:05.7"
            << "timestamp(0) without time zone would store 2024-01-02 03:04:05.7 as 2024-01-02 03:04:06";
        QTest::newRow("time(0)") << "time(0)" << "03:04:05" << "03:04:05.7"
                                 << "time(0) without time zone would store 03:04:05.7 as 03:04:06";
        QTest::newRow("interval year to month drops the days")
            << "interval year to month" << "1 year" << "1 year 3 days"
            << "interval year to month would store 1 year 3 days as 1 year";
        QTest::newRow("interval second(0)") << "interval second(0)" << "00:00:05" << "00:00:05.7"
                                            << "interval second(0) would store 00:00:05.7 as 00:00:06";
        QTest::newRow("array elements") << "numeric(4,1)[]" << "{1.5}" << "{1.55}"
                                        << "numeric(4,1)[] would store {1.55} as {1.6}";
        QTest::newRow("domain over numeric(5,2)") << "tst_recordset.price" << "1.50" << "1.505"
                                                  << "tst_recordset.price would store 1.505 as 1.51";
        QTest::newRow("\"char\" keeps one byte") << "\"char\"" << "x" << "yz" << "\"char\" would store yz as y";
        QTest::newRow("\"char\" keeps half a character") << "\"char\"" << "q" << "é"
                                                          << "\"char\" would store é as \\303";
        QTest::newRow("name cut at 63 bytes") << "name" << "n" << QString(64, u'n')
            << QStringLiteral("name would store %1 as %2").arg(QString(64, u'n'), QString(63, u'n'));
        // The same inside arrays, composites and ranges, however deep.
        QTest::newRow("composite with a numeric(5,2)") << "tst_recordset.fixed" << "(1.25)" << "(1.255)"
                                                        << "tst_recordset.fixed would store (1.255) as (1.26)";
        QTest::newRow("array of a domain") << "tst_recordset.price[]" << "{1.25}" << "{1.255}"
                                           << "tst_recordset.price[] would store {1.255} as {1.26}";
        QTest::newRow("range of a domain") << "tst_recordset.prices" << "[1.25,3.00)" << "[1.255,3)"
                                           << "tst_recordset.prices would store [1.255,3) as [1.26,3.00)";
        QTest::newRow("\"char\"[]") << "\"char\"[]" << "{x}" << "{yz}" << "\"char\"[] would store {yz} as {y}";
        QTest::newRow("name[]") << "name[]" << "{n}" << QString("{%1}").arg(QString(64, u'n'))
            << QStringLiteral("name[] would store {%1} as {%2}").arg(QString(64, u'n'), QString(63, u'n'));
        QTest::newRow("composite with a timestamp(0)") << "tst_recordset.stamped" << "(\"2024-01-02 03:04:05\")"
            << "(\"2024-01-02 03:04:05.7\")"
            << "tst_recordset.stamped would store (\"2024-01-02 03:04:05.7\") as (\"2024-01-02 03:04:06\")";
        // Types that round or collapse without a modifier.
        QTest::newRow("money to the cent") << "money" << "$1.25" << "$1.255" << "money would store $1.255 as $1.26";
        QTest::newRow("timestamp's seventh digit") << "timestamp" << "2024-01-02 03:04:05"
            << "2024-01-02 03:04:05.1234567"
            << "timestamp without time zone would store 2024-01-02 03:04:05.1234567 as 2024-01-02 03:04:05.123457";
        QTest::newRow("interval's seventh digit") << "interval" << "00:00:05" << "00:00:05.1234567"
            << "interval would store 00:00:05.1234567 as 00:00:05.123457";
        QTest::newRow("jsonb keys that become one") << "jsonb" << "{\"a\": 1, \"b\": 2}"
            << "{\"a\": 1, \"\\u0061\": 2}" << "jsonb would store {\"a\": 1, \"\\u0061\": 2} as {\"a\": 2}";
    }
    // clang-format on

    void textTheColumnWouldRoundOrCutIsRefused()
    {
        QUARVEL_REQUIRE_DB();
        QFETCH(QString, type);
        QFETCH(QString, before);
        QFETCH(QString, text);
        QFETCH(QString, message);
        psql(QStringLiteral("DROP TABLE IF EXISTS rounds; CREATE TABLE rounds (c %1, other text);"
                            "INSERT INTO rounds VALUES ($q$%2$q$, 'old');")
                 .arg(type, before));
        OpenTable t("rounds");
        t.records.setValue(1, QStringLiteral("new"));
        try {
            t.records.setValue(0, text);
            QFAIL("the column took a text it would store as something else");
        } catch (const DbError& error) {
            QCOMPARE(error.message(), message);
            QVERIFY(!error.ruinsTheTable());
        }
        t.records.moveNext();
        QCOMPARE(psqlTexts("rounds", "c", "1"), Texts({before}));
        QCOMPARE(psqlTexts("rounds", "other", "1"), Texts({QString("new")}));
    }

    // clang-format off
    void rowTheServerSkipsWithoutAnErrorSaysWhy_data()
    {
        QTest::addColumn<QString>("setUp");
        QTest::addColumn<QString>("why");
        QTest::newRow("trigger returning no row")
            << "CREATE FUNCTION skip_one() RETURNS trigger LANGUAGE plpgsql AS "
               "$f$BEGIN IF OLD.id = 1 THEN RETURN NULL; END IF; RETURN NEW; END$f$;"
               "CREATE TRIGGER \"skip it\" BEFORE UPDATE ON skipped FOR EACH ROW EXECUTE FUNCTION skip_one();"
            << ": a BEFORE UPDATE trigger (\"skip it\") returned no row.";
        QTest::newRow("rule doing nothing instead")
            << "CREATE RULE keep_one AS ON UPDATE TO skipped WHERE OLD.id = 1 DO INSTEAD NOTHING;"
            << ": a DO INSTEAD rule (\"keep_one\") replaced the update.";
        QTest::newRow("policy hiding the row from updates")
            << "ALTER TABLE skipped ENABLE ROW LEVEL SECURITY; ALTER TABLE skipped FORCE ROW LEVEL SECURITY;"
               "CREATE POLICY see ON skipped FOR SELECT USING (true);"
               "CREATE POLICY change ON skipped FOR UPDATE USING (id <> 1);"
            << ": a row-level security policy does not let this user update the row.";
    }
    // clang-format on

    void rowTheServerSkipsWithoutAnErrorSaysWhy()
    {
        QUARVEL_REQUIRE_DB();
        QFETCH(QString, setUp);
        QFETCH(QString, why);
        psql("DROP TABLE IF EXISTS skipped; DROP FUNCTION IF EXISTS skip_one();"
             "CREATE TABLE skipped (id integer, v text); INSERT INTO skipped VALUES (1, 'a'), (2, 'b');" +
             setUp);
        OpenTable t("skipped");
        t.records.setValue(1, QStringLiteral("A"));
        try {
            t.records.moveNext();
            QFAIL("a skipped update passed for stored");
        } catch (const DbError& error) {
            QCOMPARE(error.message(),
                     "The row is still as it was read, but the server changed nothing and gave no error" +
                         why);
            QVERIFY(!error.ruinsTheTable());
        }
        t.records.setValue(1, QStringLiteral("B"));
        t.records.moveNext();
        QCOMPARE(psql("SELECT string_agg(v, ',' ORDER BY id) FROM skipped"), QStringLiteral("a,B"));
    }

    void lockHeldByAnotherSessionEndsTheWait()
    {
        QUARVEL_REQUIRE_DB();
        psql("DROP TABLE IF EXISTS held; CREATE TABLE held (id integer, v text);"
             "INSERT INTO held VALUES (1, 'a'), (2, 'b'), (3, 'c');");
        Connection connection;
        connection.open(TestDatabase::connectionString());
        RecordSet records;
        records.setLockTimeout(300);
        records.open(Table{Schema, "held"}, connection);
        {
            // A row held by an open transaction: that row is refused with the server's message, the
            // next is stored.
            LockHolder holder("SELECT * FROM tst_recordset.held WHERE id = 1 FOR UPDATE");
            QVERIFY(holder.holding);
            records.setValue(1, QStringLiteral("A"));
            try {
                records.moveNext();
                QFAIL("a store waited through a held row");
            } catch (const DbError& error) {
                QCOMPARE(error.sqlState(), QStringLiteral("55P03"));
                QVERIFY(!error.ruinsTheTable());
            }
            records.setValue(1, QStringLiteral("B"));
            records.moveNext();
        }
        {
            // The whole table locked by another session: the table is left at the first row that waits.
            LockHolder holder("LOCK TABLE tst_recordset.held IN EXCLUSIVE MODE");
            QVERIFY(holder.holding);
            records.setValue(1, QStringLiteral("C"));
            try {
                records.moveNext();
                QFAIL("a store waited through a locked table");
            } catch (const DbError& error) {
                QCOMPARE(error.sqlState(), QStringLiteral("55P03"));
                QVERIFY2(error.ruinsTheTable(), qPrintable(error.message()));
                QVERIFY2(error.message().contains("is locked by another session"),
                         qPrintable(error.message()));
            }
            records.close();
        }
        QCOMPARE(psql("SELECT string_agg(v, ',' ORDER BY id) FROM held"), QStringLiteral("a,B,c"));
        // A table locked whole before it is opened: the open gives up.
        LockHolder holder("LOCK TABLE tst_recordset.held IN ACCESS EXCLUSIVE MODE");
        QVERIFY(holder.holding);
        try {
            records.open(Table{Schema, "held"}, connection);
            QFAIL("an open waited through a locked table");
        } catch (const DbError& error) {
            QCOMPARE(error.sqlState(), QStringLiteral("55P03"));
        }
    }

    void roleThatMayNotCallTheInputFunctionStillGetsTheCheck()
    {
        QUARVEL_REQUIRE_DB();
        psql("DROP TABLE IF EXISTS no_input; CREATE TABLE no_input (n integer, w text); "
             "INSERT INTO no_input VALUES (1, 'a');");
        const QString revoke =
            QStringLiteral("REVOKE EXECUTE ON FUNCTION pg_catalog.int4in(cstring) FROM PUBLIC;");
        const QString grant =
            QStringLiteral("GRANT EXECUTE ON FUNCTION pg_catalog.int4in(cstring) TO PUBLIC;");
        TestDatabase::psqlAdmin(revoke);
        struct Regrant
        {
            QString sql;
            ~Regrant() { TestDatabase::psqlAdmin(sql); }
        } regrant{grant};
        OpenTable t("no_input");
        t.records.setValue(1, QStringLiteral("b"));
        try {
            t.records.setValue(0, QStringLiteral("12x"));
            QFAIL("a text that is no integer was taken");
        } catch (const DbError& error) {
            QCOMPARE(error.sqlState(), QStringLiteral("22P02"));
        }
        t.records.setValue(0, QStringLiteral("12"));
        t.records.moveNext();
        QCOMPARE(psql("SELECT n || w FROM no_input"), QStringLiteral("12b"));
    }

    void textHoldingNulIsRefusedRatherThanCut()
    {
        QUARVEL_REQUIRE_DB();
        psql(QStringLiteral("DROP TABLE IF EXISTS nul; CREATE TABLE nul (id integer, c text, other text);"
                            "INSERT INTO nul VALUES (1, 'old', 'old');"));
        OpenTable t("nul");
        t.records.setValue(2, QStringLiteral("changed"));
        try {
            t.records.setValue(1, QStringLiteral("a") + QChar(u'\0') + QStringLiteral("b"));
            QFAIL("a text with a NUL was taken (the driver would store only \"a\")");
        } catch (const DbError& error) {
            QCOMPARE(error.sqlState(), QStringLiteral("22021"));
            QVERIFY2(error.message().contains("0x00"), qPrintable(error.message()));
        }
        t.records.moveNext();
        QCOMPARE(psqlTexts("nul", "c"), Texts({QString("old")}));
        QCOMPARE(psqlTexts("nul", "other"), Texts({QString("changed")}));
    }

    void generatedAndIdentityAlwaysColumnsAreRefusedAtOnce()
    {
        QUARVEL_REQUIRE_DB();
        // PostgreSQL 18 also computes a generated column on reading (attgenerated 'v', not 's').
        const bool virtualColumns = psql("SHOW server_version_num").toInt() >= 180000;
        psql(QStringLiteral("DROP TABLE IF EXISTS generated; CREATE TABLE generated ("
                            "id integer GENERATED ALWAYS AS IDENTITY, n integer, "
                            "doubled integer GENERATED ALWAYS AS (n * 2) STORED, "
                            "numbered integer GENERATED BY DEFAULT AS IDENTITY, note text%1);"
                            "INSERT INTO generated (n, note) VALUES (1, 'x');")
                 .arg(virtualColumns ? ", tripled integer GENERATED ALWAYS AS (n * 3) VIRTUAL" : ""));
        OpenTable t("generated");
        QCOMPARE(t.records.fieldCount(), virtualColumns ? 6 : 5);
        for (int field : virtualColumns ? std::vector{0, 2, 5} : std::vector{0, 2}) {
            try {
                t.records.setValue(field, QStringLiteral("99"));
                QFAIL("a generated column took a value");
            } catch (const DbError& error) {
                QCOMPARE(error.sqlState(), QStringLiteral("428C9"));
                QVERIFY2(error.message().contains(u'"' + t.records.fieldName(field) + u'"'),
                         qPrintable(error.message()));
            }
        }
        t.records.setValue(1, QStringLiteral("5"));
        t.records.setValue(3, QStringLiteral("77"));
        t.records.moveNext();
        QCOMPARE(psql("SELECT id || ',' || n || ',' || doubled || ',' || numbered FROM generated"),
                 QStringLiteral("1,5,10,77"));
    }

    void tenMegabyteValueAndCharactersOutsideTheBmpAreReadAndStoredWhole()
    {
        QUARVEL_REQUIRE_DB();
        psql("DROP TABLE IF EXISTS big; CREATE TABLE big (id integer, v text);"
             "INSERT INTO big VALUES (1, repeat('x', 10 * 1024 * 1024) || '😀'),"
             "(2, repeat('😀𝄞é', 100000)), (3, '𐍈');");
        const QStringList lengths = psql("SELECT length(v) FROM big ORDER BY id").split(u'\n');
        const QStringList sums = psql("SELECT md5(v) FROM big ORDER BY id").split(u'\n');
        OpenTable t("big");
        for (int row = 0; row < 3; ++row) {
            QVERIFY(!t.records.isEOF());
            const QString value = t.records.value(1).value_or(QString());
            QCOMPARE(qint64(value.toUcs4().size()), lengths[row].toLongLong());
            QCOMPARE(md5Hex(value), sums[row]);
            t.records.moveNext();
        }
        QVERIFY(t.records.isEOF());
        t.records.close();

        const QString huge = QString(qsizetype(10) * 1024 * 1024, u'y') + QStringLiteral("𝄞 end");
        t.records.open(Table{Schema, "big"}, t.connection);
        t.records.setValue(1, huge);
        t.records.moveNext();
        QCOMPARE(psql("SELECT length(v) || ' ' || md5(v) FROM big WHERE id = 1"),
                 QStringLiteral("%1 %2").arg(huge.toUcs4().size()).arg(md5Hex(huge)));
    }

    void nullAndEmptyStayDistinct()
    {
        QUARVEL_REQUIRE_DB();
        psql("DROP TABLE IF EXISTS blanks; CREATE TABLE blanks (id integer, v text);"
             "INSERT INTO blanks VALUES (1, NULL), (2, ''), (3, 'x'), (4, 'y');");
        OpenTable t("blanks");
        QCOMPARE(t.records.value(1), std::optional<QString>());
        t.records.moveNext();
        QVERIFY(t.records.value(1).has_value());
        QCOMPARE(*t.records.value(1), QString());
        t.records.moveNext();
        QCOMPARE(t.records.value(1), std::optional<QString>("x"));
        t.records.setValue(1, QString()); // a null QString is the empty text, never a database null
        QVERIFY(t.records.value(1).has_value());
        t.records.moveNext();
        t.records.setValue(1, QStringLiteral(""));
        t.records.moveNext();
        QCOMPARE(psql("SELECT string_agg(id || ':' || coalesce('[' || v || ']', 'null'), ' ' ORDER BY id) "
                      "FROM blanks"),
                 QStringLiteral("1:null 2:[] 3:[] 4:[]"));
    }

    void recordSetIsReusableAfterClose()
    {
        QUARVEL_REQUIRE_DB();
        psql("DROP TABLE IF EXISTS first_table; CREATE TABLE first_table (a text);"
             "INSERT INTO first_table VALUES ('a1'), ('a2');"
             "DROP TABLE IF EXISTS second_table; CREATE TABLE second_table (x integer, y text, z date);"
             "INSERT INTO second_table VALUES (1, 'b', '2020-01-01');");
        Connection connection;
        connection.open(TestDatabase::connectionString());
        RecordSet records;
        QVERIFY(!records.isOpen());
        records.open(Table{Schema, "first_table"}, connection);
        QVERIFY_THROWS_EXCEPTION(DbError, records.open(Table{Schema, "first_table"}, connection));
        QCOMPARE(records.fieldCount(), 1);
        QCOMPARE(records.recordCount(), 2LL);
        records.setValue(0, QStringLiteral("dropped at close"));
        records.close();
        QVERIFY(!records.isOpen());
        QVERIFY(records.isEOF());
        QVERIFY_THROWS_EXCEPTION(DbError, records.fieldCount());
        QVERIFY_THROWS_EXCEPTION(DbError, records.value(0));
        QCOMPARE(psql("SELECT string_agg(a, ',' ORDER BY a) FROM first_table"), QStringLiteral("a1,a2"));

        records.open(Table{Schema, "second_table"}, connection);
        QCOMPARE(records.fieldCount(), 3);
        QCOMPARE(records.fieldName(2), QStringLiteral("z"));
        QCOMPARE(records.recordCount(), 1LL);
        QCOMPARE(records.value(2), std::optional<QString>("2020-01-01"));
        records.setValue(1, QStringLiteral("changed"));
        records.moveNext();
        records.close();
        QCOMPARE(psql("SELECT y FROM second_table"), QStringLiteral("changed"));

        // Moved record sets keep their state; the moved-from one is closed.
        records.open(Table{Schema, "first_table"}, connection);
        RecordSet moved = std::move(records);
        QVERIFY(moved.isOpen());
        // NOLINTNEXTLINE(bugprone-use-after-move): the moved-from state is what is checked
        QVERIFY(!records.isOpen());
        QCOMPARE(moved.value(0), std::optional<QString>("a1"));
    }

    void recordSetOpenWhenItsConnectionGoesIsClosedWithIt()
    {
        QUARVEL_REQUIRE_DB();
        psql("DROP TABLE IF EXISTS outlived; CREATE TABLE outlived (id integer PRIMARY KEY, v varchar(3));"
             "INSERT INTO outlived VALUES (1, 'a'), (2, 'b');");
        RecordSet records;
        {
            Connection connection;
            connection.open(TestDatabase::connectionString());
            records.open(Table{Schema, "outlived"}, connection);
            records.setValue(1, QStringLiteral("x")); // a statement of its own on the connection
        }
        QVERIFY(!records.isOpen());
        QVERIFY(records.isEOF());
        QVERIFY_THROWS_EXCEPTION(DbError, records.value(0));
        // Its reading transaction went too: nothing holds the table any more, and nothing was stored.
        QCOMPARE(psql("BEGIN; SET LOCAL lock_timeout = 1000; LOCK TABLE outlived IN ACCESS EXCLUSIVE MODE;"
                      "SELECT string_agg(v, ',' ORDER BY id) FROM outlived; COMMIT;"),
                 QStringLiteral("a,b"));
    }

    void fieldsAreThoseOfSelectStarWithoutTheRowIdentity()
    {
        QUARVEL_REQUIRE_DB();
        psql("DROP TABLE IF EXISTS shape; CREATE TABLE shape (id integer, gone text, \"Mixed Case\" text, "
             "\"wh?at\" text, \"qu\"\"ote;\" text, \"ünï😀\" text);"
             "ALTER TABLE shape DROP COLUMN gone;"
             "INSERT INTO shape VALUES (1, 'm', 'w', 'q', 'u');");
        const QStringList expected = psql("SELECT string_agg(column_name, '|' ORDER BY ordinal_position) "
                                          "FROM information_schema.columns "
                                          "WHERE table_schema = 'tst_recordset' AND table_name = 'shape'")
                                         .split(u'|');
        OpenTable t("shape");
        QStringList names;
        for (int j = 0; j < t.records.fieldCount(); ++j)
            names << t.records.fieldName(j);
        QCOMPARE(names, expected);
        QVERIFY_THROWS_EXCEPTION(DbError, t.records.fieldName(names.size()));
        QVERIFY_THROWS_EXCEPTION(DbError, t.records.value(-1));
        // Names that look like parameter markers or SQL do not disturb the stored statement.
        t.records.setValue(2, QStringLiteral("w2?"));
        t.records.setValue(3, QStringLiteral("q2;"));
        t.records.moveNext();
        QCOMPARE(psql("SELECT \"wh?at\" || ' ' || \"qu\"\"ote;\" FROM shape"), QStringLiteral("w2? q2;"));
    }

    // clang-format off
    void tableWhoseNameNeedsQuotingOpens_data()
    {
        QTest::addColumn<QString>("schema");
        QTest::addColumn<QString>("name");
        QTest::newRow("upper case") << Schema << "MixedCase";
        QTest::newRow("blank and quote and semicolon") << Schema << "we\"ird; name";
        QTest::newRow("schema that needs quoting") << "Tst Other\"Schema" << "t";
        QTest::newRow("reserved word") << Schema << "select";
    }
    // clang-format on

    void tableWhoseNameNeedsQuotingOpens()
    {
        QUARVEL_REQUIRE_DB();
        QFETCH(QString, schema);
        QFETCH(QString, name);
        const QString qualified = Table{schema, name}.qualifiedName();
        if (schema != Schema)
            TestDatabase::freshSchema(schema);
        psql(
            QStringLiteral("DROP TABLE IF EXISTS %1; CREATE TABLE %1 (v text); INSERT INTO %1 VALUES ('in');")
                .arg(qualified));
        OpenTable t(name, LockType::Optimistic, schema);
        QCOMPARE(t.records.value(0), std::optional<QString>("in"));
        t.records.setValue(0, QStringLiteral("out"));
        t.records.moveNext();
        QCOMPARE(psql(QStringLiteral("SELECT v FROM %1").arg(qualified)), QStringLiteral("out"));
    }

    void missingTableOrViewCannotBeOpened()
    {
        QUARVEL_REQUIRE_DB();
        psql("DROP VIEW IF EXISTS a_view; CREATE VIEW a_view AS SELECT 1 AS one;");
        Connection connection;
        connection.open(TestDatabase::connectionString());
        RecordSet records;
        try {
            records.open(Table{Schema, "no_such_table"}, connection);
            QFAIL("a missing table opened");
        } catch (const DbError& error) {
            QCOMPARE(error.sqlState(), QStringLiteral("42P01"));
            QVERIFY(error.message().contains(QStringLiteral("no_such_table")));
        }
        QVERIFY(!records.isOpen());
        QVERIFY(records.isEOF());
        QVERIFY_THROWS_EXCEPTION(DbError, records.open(Table{Schema, "a_view"}, connection));
        QVERIFY(!records.isOpen());
        Connection closed;
        QVERIFY_THROWS_EXCEPTION(DbError, records.open(Table{Schema, "a_view"}, closed));
    }

    void tableWithoutRowsIsAtEndRightAway()
    {
        QUARVEL_REQUIRE_DB();
        psql("DROP TABLE IF EXISTS empty; CREATE TABLE empty (a text, b integer);");
        OpenTable t("empty");
        QVERIFY(t.records.isEOF());
        QCOMPARE(t.records.recordCount(), 0LL);
        QCOMPARE(t.records.fieldCount(), 2);
        QVERIFY_THROWS_EXCEPTION(DbError, t.records.value(0));
        QVERIFY_THROWS_EXCEPTION(DbError, t.records.setValue(0, "x"));
        QVERIFY_THROWS_EXCEPTION(DbError, t.records.moveNext());
    }

    void readOnlyRecordSetRefusesChanges()
    {
        QUARVEL_REQUIRE_DB();
        psql("DROP TABLE IF EXISTS read_only; CREATE TABLE read_only (a text); INSERT INTO read_only VALUES "
             "('r');");
        OpenTable t("read_only", LockType::ReadOnly);
        QVERIFY_THROWS_EXCEPTION(DbError, t.records.setValue(0, "w"));
        t.records.moveNext();
        QCOMPARE(psql("SELECT a FROM read_only"), QStringLiteral("r"));
    }

    void failedStoreStillAdvancesAndDropsThatRecordsChanges()
    {
        QUARVEL_REQUIRE_DB();
        psql("DROP TABLE IF EXISTS guarded; CREATE TABLE guarded (id integer, v text CHECK (v <> 'bad'), w "
             "text);"
             "INSERT INTO guarded VALUES (1, 'a', 'a'), (2, 'b', 'b');");
        const QString expected =
            TestDatabase::serverMessage("UPDATE tst_recordset.guarded SET v = 'bad' WHERE id = 1");
        QVERIFY(!expected.isEmpty());
        OpenTable t("guarded");
        t.records.setValue(2, QStringLiteral("w changed"));
        t.records.setValue(1, QStringLiteral("bad"));
        try {
            t.records.moveNext();
            QFAIL("a value against a check constraint was stored");
        } catch (const DbError& error) {
            QCOMPARE(error.sqlState(), QStringLiteral("23514"));
            QVERIFY2(error.message().contains(expected), qPrintable(error.message()));
        }
        QCOMPARE(t.records.value(0), std::optional<QString>("2"));
        t.records.setValue(1, QStringLiteral("good"));
        t.records.moveNext();
        QVERIFY(t.records.isEOF());
        QCOMPARE(psql("SELECT string_agg(v || '/' || w, ' ' ORDER BY id) FROM guarded"),
                 QStringLiteral("a/a good/b"));
    }

    void lostConnectionRuinsTheTable()
    {
        QUARVEL_REQUIRE_DB();
        psql("DROP TABLE IF EXISTS lost; CREATE TABLE lost (v text); INSERT INTO lost VALUES ('a'), ('b');");
        OpenTable t("lost");
        t.connection.execute(QStringLiteral("SET application_name = 'quarvel-lost-connection'"));
        t.records.setValue(0, QStringLiteral("changed"));
        TestDatabase::psqlAdmin(QStringLiteral("SELECT pg_terminate_backend(pid) FROM pg_stat_activity "
                                               "WHERE application_name = 'quarvel-lost-connection' "
                                               "AND datname = current_database()"));
        try {
            t.records.moveNext();
            QFAIL("a change was stored over a lost connection");
        } catch (const DbError& error) {
            QVERIFY2(error.ruinsTheTable(), qPrintable(error.sqlState() + u' ' + error.message()));
            // The server's reason, not the driver's refusal to fetch afterwards.
            QVERIFY2(!error.message().contains(QStringLiteral("SQLFetch")), qPrintable(error.message()));
        }
        // The rows come on a reading connection of their own; nothing more can be stored.
        QVERIFY(!t.records.isEOF());
        t.records.setValue(0, QStringLiteral("changed too"));
        QVERIFY_THROWS_EXCEPTION(DbError, t.records.moveNext());
        QCOMPARE(psql("SELECT string_agg(v, ',' ORDER BY v) FROM lost"), QStringLiteral("a,b"));
    }

    void roleWithoutUpdatePrivilegeRuinsTheTable()
    {
        QUARVEL_REQUIRE_DB();
        psql("DROP TABLE IF EXISTS guarded_rows; CREATE TABLE guarded_rows (v text);"
             "INSERT INTO guarded_rows VALUES ('a'), ('b');");
        TestDatabase::psqlAdmin(
            QStringLiteral("DO $$BEGIN IF EXISTS (SELECT FROM pg_roles WHERE rolname = "
                           "'quarvel_reader') THEN EXECUTE 'DROP OWNED BY quarvel_reader'; "
                           "EXECUTE 'DROP ROLE quarvel_reader'; END IF; END$$;"));
        TestDatabase::psqlAdmin(
            QStringLiteral("CREATE ROLE quarvel_reader LOGIN PASSWORD 'reader-pw';"
                           "GRANT USAGE ON SCHEMA tst_recordset TO quarvel_reader;"
                           "GRANT SELECT ON tst_recordset.guarded_rows TO quarvel_reader;"));
        ConnectionDetails details = TestDatabase::details();
        details.user = QStringLiteral("quarvel_reader");
        details.password = QStringLiteral("reader-pw");
        Connection connection;
        connection.open(BuildConnectionString(details));
        RecordSet records;
        records.open(Table{Schema, "guarded_rows"}, connection);
        records.setValue(0, QStringLiteral("changed"));
        try {
            records.moveNext();
            QFAIL("a role without the privilege changed a row");
        } catch (const DbError& error) {
            QCOMPARE(error.sqlState(), QStringLiteral("42501"));
            QVERIFY(error.ruinsTheTable());
        }
        QCOMPARE(records.value(0), std::optional<QString>("b"));
        QCOMPARE(psql("SELECT string_agg(v, ',' ORDER BY v) FROM guarded_rows"), QStringLiteral("a,b"));
    }

    void openedTableIsASnapshot()
    {
        QUARVEL_REQUIRE_DB();
        psql("DROP TABLE IF EXISTS snap; CREATE TABLE snap (id integer, v text);"
             "INSERT INTO snap SELECT g, 'v' || g FROM generate_series(1, 3) g;");
        OpenTable t("snap");
        psql("INSERT INTO snap VALUES (4, 'added later');");
        int seen = 0;
        while (!t.records.isEOF()) {
            ++seen;
            t.records.setValue(1, t.records.value(1).value_or(QString()) + u'+');
            t.records.moveNext();
        }
        QCOMPARE(seen, 3);
        QCOMPARE(psql("SELECT string_agg(v, ',' ORDER BY id) FROM snap"),
                 QStringLiteral("v1+,v2+,v3+,added later"));
    }

    void partitionedTableIsReadThroughItsParentAndEachRowStoredInItsPartition()
    {
        QUARVEL_REQUIRE_DB();
        psql("DROP TABLE IF EXISTS parted; CREATE TABLE parted (id integer, v text) PARTITION BY LIST (id);"
             "CREATE TABLE parted_a PARTITION OF parted FOR VALUES IN (1);"
             "CREATE TABLE parted_b PARTITION OF parted FOR VALUES IN (2);"
             "INSERT INTO parted VALUES (1, 'one'), (2, 'two');");
        // Both rows have the same place and version, each in its own partition.
        QCOMPARE(psql("SELECT count(DISTINCT (ctid::text, xmin::text)) FROM parted"), QStringLiteral("1"));
        OpenTable t("parted");
        QCOMPARE(t.records.recordCount(), 2LL);
        QCOMPARE(t.records.fieldCount(), 2);
        while (!t.records.isEOF()) {
            if (t.records.value(0) == std::optional<QString>("2"))
                t.records.setValue(1, QStringLiteral("TWO"));
            t.records.moveNext();
        }
        QCOMPARE(psql("SELECT string_agg(v, ',' ORDER BY id) FROM parted"), QStringLiteral("one,TWO"));
    }

    void rowWhosePartitionKeyChangesMovesToItsNewPartition()
    {
        QUARVEL_REQUIRE_DB();
        psql("DROP TABLE IF EXISTS moving; CREATE TABLE moving (k text, v text) PARTITION BY LIST (k);"
             "CREATE TABLE moving_a PARTITION OF moving FOR VALUES IN ('a');"
             "CREATE TABLE moving_b PARTITION OF moving FOR VALUES IN ('b');"
             "INSERT INTO moving VALUES ('a', 'x'), ('a', 'y');");
        OpenTable t("moving");
        t.records.setValue(1, QStringLiteral("X"));
        t.records.moveNext();
        t.records.setValue(0, QStringLiteral("b"));
        t.records.moveNext();
        QVERIFY(t.records.isEOF());
        QCOMPARE(psql("SELECT string_agg(tableoid::regclass || ':' || v, ',' ORDER BY v) FROM moving"),
                 QStringLiteral("moving_a:X,moving_b:y"));
    }

    void inheritanceParentAndChildAreReadEachOnTheirOwn()
    {
        QUARVEL_REQUIRE_DB();
        psql("DROP TABLE IF EXISTS heir CASCADE; CREATE TABLE heir (id integer, v text);"
             "CREATE TABLE heir_child (extra text) INHERITS (heir);"
             "BEGIN; INSERT INTO heir VALUES (1, 'parent'); INSERT INTO heir_child VALUES (2, 'child', 'e'); "
             "COMMIT;");
        QCOMPARE(psql("SELECT count(DISTINCT (ctid::text, xmin::text)) FROM heir"), QStringLiteral("1"));
        {
            OpenTable t("heir");
            QCOMPARE(t.records.recordCount(), 1LL);
            QCOMPARE(t.records.fieldCount(), 2);
            t.records.setValue(1, QStringLiteral("PARENT"));
            t.records.moveNext();
            QVERIFY(t.records.isEOF());
        }
        {
            OpenTable t("heir_child");
            QCOMPARE(t.records.recordCount(), 1LL);
            QCOMPARE(t.records.fieldCount(), 3);
            QCOMPARE(t.records.value(1), std::optional<QString>("child"));
            t.records.setValue(2, QStringLiteral("E"));
            t.records.moveNext();
        }
        QCOMPARE(psql("SELECT string_agg(v || '/' || coalesce(extra, '-'), ',' ORDER BY id) FROM heir_child"),
                 QStringLiteral("child/E"));
        QCOMPARE(psql("SELECT string_agg(v, ',' ORDER BY id) FROM heir"), QStringLiteral("PARENT,child"));
    }

    // Records are stored a batch at a time: each lands on its own row, mixed sets of changed fields
    // each in their own batch, a short last batch too, and rows left alone are not rewritten.
    void batchesStoreEveryRecordOnItsOwnRow()
    {
        QUARVEL_REQUIRE_DB();
        psql("DROP TABLE IF EXISTS batched; CREATE TABLE batched (id integer PRIMARY KEY, a text, b text, n "
             "integer);"
             "INSERT INTO batched SELECT g, 'a' || g, 'b' || g, g FROM generate_series(1, 2500) g;");
        const QString untouchedBefore = psql("SELECT string_agg(xmin::text, ',' ORDER BY id) FROM batched "
                                             "WHERE id % 3 = 2 AND id % 5 <> 0");
        OpenTable t("batched", LockType::Optimistic, Schema, 1000);
        RecordSet& records = t.records;
        while (!records.isEOF()) {
            const int id = records.value(0)->toInt();
            if (id % 3 != 2)
                records.setValue(1, "A" + QString::number(id) + " \"q\" \\ {x,y}");
            if (id % 3 == 1)
                records.setValue(2, QStringLiteral("B%1").arg(id));
            if (id % 5 == 0)
                records.setValue(3, QString::number(-id));
            records.moveNext();
        }
        records.flush();
        QVERIFY(records.takeFailures().empty());
        QVERIFY(records.storeCounts().batches >= 5);
        QCOMPARE(records.storeCounts().rowsAlone, 0LL);
        records.close();
        QCOMPARE(psql("SELECT count(*) FROM batched WHERE a = CASE WHEN id % 3 <> 2 THEN 'A' || id || ' "
                      "\"q\" \\ {x,y}' "
                      "ELSE 'a' || id END AND b = CASE WHEN id % 3 = 1 THEN 'B' || id ELSE 'b' || id END "
                      "AND n = CASE WHEN id % 5 = 0 THEN -id ELSE id END"),
                 QStringLiteral("2500"));
        QCOMPARE(psql("SELECT string_agg(xmin::text, ',' ORDER BY id) FROM batched WHERE id % 3 = 2 AND id % "
                      "5 <> 0"),
                 untouchedBefore);
    }

    // clang-format off
    void batchedRecordsChangedByOthersAreRefusedAndTheOthersStored_data()
    {
        QTest::addColumn<QString>("otherChange");
        QTest::addColumn<QString>("expected");
        QTest::newRow("updated") << "UPDATE stale_batch SET v = 'theirs' WHERE id IN (2, 4)"
                                 << "1:ours,2:theirs,3:ours,4:theirs,5:ours,6:ours";
        QTest::newRow("updated to the same text") << "UPDATE stale_batch SET v = v WHERE id IN (2, 4)"
                                                  << "1:ours,2:v,3:ours,4:v,5:ours,6:ours";
        QTest::newRow("deleted") << "DELETE FROM stale_batch WHERE id IN (2, 4)" << "1:ours,3:ours,5:ours,6:ours";
    }
    // clang-format on

    void batchedRecordsChangedByOthersAreRefusedAndTheOthersStored()
    {
        QUARVEL_REQUIRE_DB();
        QFETCH(QString, otherChange);
        QFETCH(QString, expected);
        psql("DROP TABLE IF EXISTS stale_batch; CREATE TABLE stale_batch (id integer PRIMARY KEY, v text);"
             "INSERT INTO stale_batch SELECT g, 'v' FROM generate_series(1, 6) g;");
        OpenTable t("stale_batch", LockType::Optimistic, Schema, 10);
        RecordSet& records = t.records;
        psql(otherChange);
        while (!records.isEOF()) {
            records.setValue(1, QStringLiteral("ours"));
            records.moveNext();
        }
        records.flush();
        const std::vector<StoreFailure> failures = records.takeFailures();
        QCOMPARE(failures.size(), size_t(2));
        QCOMPARE(failures[0].row,
                 QStringLiteral("record at (0,2) in tst_recordset.stale_batch, key (id)=(2)"));
        QCOMPARE(failures[1].row,
                 QStringLiteral("record at (0,4) in tst_recordset.stale_batch, key (id)=(4)"));
        for (const StoreFailure& failure : failures) {
            QCOMPARE(failure.error.message(), StaleMessage);
            QVERIFY(!failure.error.ruinsTheTable());
        }
        QCOMPARE(records.storeCounts().batches, 1LL);
        QCOMPARE(psql("SELECT string_agg(id || ':' || v, ',' ORDER BY id) FROM stale_batch"), expected);
    }

    // clang-format off
    void batchTheServerRefusesIsStoredRowByRow_data()
    {
        QTest::addColumn<QString>("constraint");
        QTest::addColumn<QString>("refused");
        QTest::addColumn<QString>("state");
        QTest::newRow("check") << "CHECK (a <> 'bad')" << "bad" << "23514";
        QTest::newRow("unique") << "UNIQUE (a)" << "a3" << "23505";
        QTest::newRow("length") << "CHECK (length(a) < 4)" << "long" << "23514";
    }
    // clang-format on

    void batchTheServerRefusesIsStoredRowByRow()
    {
        QUARVEL_REQUIRE_DB();
        QFETCH(QString, constraint);
        QFETCH(QString, refused);
        QFETCH(QString, state);
        psql("DROP TABLE IF EXISTS refused_batch; CREATE TABLE refused_batch (id integer PRIMARY KEY, a "
             "text, b text, " +
             constraint +
             "); INSERT INTO refused_batch VALUES (1, 'a1', 'b1'), (2, 'a2', 'b2'), (3, 'a3', 'b3');");
        OpenTable t("refused_batch", LockType::Optimistic, Schema, 10);
        RecordSet& records = t.records;
        // The third record keeps its a, so a unique a stays taken while the second is stored.
        for (const QString& a : {QStringLiteral("x1"), refused, QStringLiteral("a3")}) {
            records.setValue(1, a);
            records.setValue(2, QStringLiteral("changed"));
            records.moveNext();
        }
        records.flush();
        const std::vector<StoreFailure> failures = records.takeFailures();
        QCOMPARE(failures.size(), size_t(1));
        QCOMPARE(failures[0].record, 2LL);
        QCOMPARE(failures[0].error.sqlState(), state);
        QCOMPARE(records.storeCounts().rowsAlone, 3LL);
        // The refused record keeps every field; its batch-mates are stored.
        QCOMPARE(psql("SELECT string_agg(id || ':' || a || ':' || b, ',' ORDER BY id) FROM refused_batch"),
                 QStringLiteral("1:x1:changed,2:a2:b2,3:a3:changed"));
    }

    void batchesCarryAnyTextWhole()
    {
        QUARVEL_REQUIRE_DB();
        const QStringList texts{"\"",
                                "\\",
                                "\\\"",
                                "NULL",
                                "",
                                "{}",
                                "{a,b}",
                                "a,b",
                                " lead",
                                "x\n\ty",
                                "😀𝄞",
                                QString(5000, u'é'),
                                "'); DROP TABLE x; --",
                                QString(qsizetype(10) * 1024 * 1024, u'z')};
        psql("DROP TABLE IF EXISTS carried; CREATE TABLE carried (id integer, v text, w varchar);"
             "INSERT INTO carried SELECT g, 'old', 'old' FROM generate_series(1, " +
             QString::number(texts.size()) + ") g;");
        OpenTable t("carried", LockType::Optimistic, Schema, 1000);
        RecordSet& records = t.records;
        for (const QString& text : texts) {
            records.setValue(1, text);
            records.setValue(2, text);
            records.moveNext();
        }
        records.flush();
        QVERIFY(records.takeFailures().empty());
        QCOMPARE(records.storeCounts().rowsAlone, 1LL); // the 10 MB text goes alone
        Texts expected;
        for (const QString& text : texts)
            expected.append(text);
        QCOMPARE(psqlTexts("carried", "v", "id"), expected);
        QCOMPARE(psqlTexts("carried", "w", "id"), expected);
    }

    void partitionedTableIsStoredInBatchesThroughEachPartition()
    {
        QUARVEL_REQUIRE_DB();
        psql("DROP TABLE IF EXISTS parted_batch; CREATE TABLE parted_batch (k text, v text) PARTITION BY "
             "LIST (k);"
             "CREATE TABLE parted_batch_a PARTITION OF parted_batch FOR VALUES IN ('a');"
             "CREATE TABLE parted_batch_b PARTITION OF parted_batch FOR VALUES IN ('b');"
             "INSERT INTO parted_batch VALUES ('a', '1'), ('b', '1'), ('a', '2'), ('b', '3');");
        // One statement loaded them: the second rows of both partitions share place and version.
        QCOMPARE(psql("SELECT count(DISTINCT (ctid::text, xmin::text)) FROM parted_batch"),
                 QStringLiteral("2"));
        OpenTable t("parted_batch", LockType::Optimistic, Schema, 10);
        RecordSet& records = t.records;
        while (!records.isEOF()) {
            if (records.value(1) != std::optional<QString>("1"))
                records.setValue(0, QStringLiteral("b")); // moves from a to b, or stays in b
            records.setValue(1, records.value(1).value_or(QString()) + u'+');
            records.moveNext();
        }
        records.flush();
        QVERIFY(records.takeFailures().empty());
        // The two rows whose key changes go together through the parent; each partition's one other
        // record is a batch of one, stored alone.
        QCOMPARE(records.storeCounts().batches, 1LL);
        QCOMPARE(records.storeCounts().rowsAlone, 2LL);
        QCOMPARE(
            psql(
                "SELECT string_agg(tableoid::regclass || ':' || v, ',' ORDER BY tableoid::regclass::text, v) "
                "FROM parted_batch"),
            QStringLiteral("parted_batch_a:1+,parted_batch_b:1+,parted_batch_b:2+,parted_batch_b:3+"));
    }

    void sameFieldSetTwiceStoresTheLastText()
    {
        QUARVEL_REQUIRE_DB();
        psql("DROP TABLE IF EXISTS chain; CREATE TABLE chain (v text); INSERT INTO chain VALUES ('a');");
        OpenTable t("chain");
        t.records.setValue(0, QStringLiteral("b"));
        QCOMPARE(t.records.value(0), std::optional<QString>("b"));
        t.records.setValue(0, QStringLiteral("c"));
        QCOMPARE(t.records.value(0), std::optional<QString>("c"));
        t.records.moveNext();
        QCOMPARE(psql("SELECT v FROM chain"), QStringLiteral("c"));
    }
};

QTEST_GUILESS_MAIN(TestRecordSet)
#include "tst_recordset.moc"
