// The match and replace rule, and the replacement log's line, place and bytes.
#include "engine/CodePage.h"
#include "engine/Replace.h"
#include "engine/ReplacementLog.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace quarvel::engine;

class TestReplace : public QObject
{
    Q_OBJECT
private slots:
    void matchRule_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("isNull");
        QTest::addColumn<QString>("find");
        QTest::addColumn<bool>("matched");
        QTest::newRow("case differs") << "ABC" << false << "abc" << false;
        QTest::newRow("inside") << "xABCx" << false << "ABC" << true;
        QTest::newRow("null never matches") << "" << true << "a" << false;
        QTest::newRow("empty find never matches") << "abc" << false << "" << false;
        QTest::newRow("empty value") << "" << false << "a" << false;
        QTest::newRow("number text") << "1234" << false << "23" << true;
        QTest::newRow("no locale folding") << "straße" << false << "STRASSE" << false;
        QTest::newRow("decomposed vs composed")
            << QString::fromUtf8("e\xcc\x81") << false << QString::fromUtf8("\xc3\xa9") << false;
        QTest::newRow("surrogate pair") << QString::fromUtf8("a\xf0\x9f\x98\x80z") << false
                                        << QString::fromUtf8("\xf0\x9f\x98\x80") << true;
    }
    void matchRule()
    {
        QFETCH(QString, value);
        QFETCH(bool, isNull);
        QFETCH(QString, find);
        QFETCH(bool, matched);
        const std::optional<QString> v = isNull ? std::nullopt : std::optional<QString>(value);
        QCOMPARE(matches(v, find), matched);
    }

    void replaceRule_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("find");
        QTest::addColumn<QString>("replacement");
        QTest::addColumn<QString>("result");
        QTest::newRow("inserted text not rescanned") << "banana"
                                                     << "a"
                                                     << "aa"
                                                     << "baanaanaa";
        QTest::newRow("no overlap") << "aaa"
                                    << "aa"
                                    << "x"
                                    << "xa";
        QTest::newRow("spaces trimmed from the whole value") << "  xay  "
                                                             << "a"
                                                             << "b"
                                                             << "xby";
        QTest::newRow("empty replacement gives empty, not null") << "x"
                                                                 << "x"
                                                                 << ""
                                                                 << "";
        QTest::newRow("number") << "1234"
                                << "23"
                                << "45"
                                << "1454";
        QTest::newRow("tabs and line breaks stay") << "\t a \r\n"
                                                   << "a"
                                                   << "b"
                                                   << "\t b \r\n";
        QTest::newRow("only U+0020 is trimmed") << QString::fromUtf8("\xc2\xa0"
                                                                     "a ")
                                                << "a"
                                                << "b"
                                                << QString::fromUtf8("\xc2\xa0"
                                                                     "b");
        QTest::newRow("replacement made of spaces") << "xay"
                                                    << "y"
                                                    << "   "
                                                    << "xa";
        QTest::newRow("every occurrence") << "a-a-a-a"
                                          << "a"
                                          << "bc"
                                          << "bc-bc-bc-bc";
        QTest::newRow("replacement contains find") << "ab"
                                                   << "ab"
                                                   << "abab"
                                                   << "abab";
        QTest::newRow("whole value") << "abc"
                                     << "abc"
                                     << ""
                                     << "";
    }
    void replaceRule()
    {
        QFETCH(QString, value);
        QFETCH(QString, find);
        QFETCH(QString, replacement);
        QFETCH(QString, result);
        QCOMPARE(replaceAndTrim(value, find, replacement), result);
    }

    void logLineLayout()
    {
        const QDateTime when(QDate(2026, 12, 7), QTime(21, 5, 9));
        const QString line = logLine(when, "abc", "xyz", "orders", "note");
        QCOMPARE(line,
                 "[" + logTimestamp(when) + "] - abc was replace to xyz at table (orders) and column (note)");
    }

    void timestampIsShortDateSpaceLongTimeWithoutZone()
    {
        QLocale::setDefault(QLocale::c());
        const QDateTime when(QDate(2026, 12, 7), QTime(21, 5, 9));
        const QString stamp = logTimestamp(when);
        QVERIFY2(stamp.startsWith(QLocale::system().toString(when.date(), QLocale::ShortFormat) + " "),
                 qPrintable(stamp));
        QVERIFY2(stamp.contains("21:05:09") || stamp.contains("9:05:09"), qPrintable(stamp));
        QVERIFY2(!stamp.contains("UTC") && !stamp.contains("GMT") && !stamp.endsWith(' '), qPrintable(stamp));
    }

    void logGoesToTempAndIsAppendedInTheCodePage()
    {
        QTemporaryDir dir;
        qputenv("TEMP", dir.path().toLocal8Bit());
        QCOMPARE(logFilePath(), dir.path() + "/backups.log");
        AppendLogLine(QString::fromUtf8("caf\xc3\xa9"));
        AppendLogLine("second");
        QFile file(logFilePath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("caf\xe9\r\nsecond\r\n"));
        qunsetenv("TEMP");
    }

    void withoutTempTheLogGoesToThePlatformTempFolder()
    {
        qunsetenv("TEMP");
        QCOMPARE(logFolder(), QDir::tempPath());
        qputenv("TEMP", "");
        QCOMPARE(logFolder(), QDir::tempPath());
        qunsetenv("TEMP");
    }

    void unwritableLogFolderThrowsNamingThePath()
    {
        qputenv("TEMP", "/nonexistent-quarvel-folder/sub");
        try {
            AppendLogLine("x");
            QFAIL("no failure");
        } catch (const std::runtime_error& e) {
            QVERIFY2(QString(e.what()).contains("/nonexistent-quarvel-folder/sub/backups.log"), e.what());
        }
        qunsetenv("TEMP");
    }
};

QTEST_GUILESS_MAIN(TestReplace)
#include "tst_replace.moc"
