// The settings store: defaults, empty values, every key, isolation from the real store.
#include "settings/SettingsStore.h"
#include "tests/support/TempStore.h"

#include <QFile>
#include <QProcess>
#include <QtTest>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

using namespace quarvel;
using namespace quarvel::settings;

class TestSettings : public QObject
{
    Q_OBJECT
private slots:
    void init() { m_store.reset(); }

    void storeLivesInTheTemporaryFolder()
    {
        SaveSetting(Key::PostgreSQLServer, "db.example");
        QVERIFY(storeFileName().startsWith(m_store.folder()));
        QVERIFY(QFile::exists(storeFileName()));
        QVERIFY(storeFileName().contains("Kestrine"));
        QVERIFY(storeFileName().contains("Quarvel"));
    }

    void neverWrittenKeyReadsTheCallersDefault()
    {
        QCOMPARE(GetSetting(Key::PostgreSQLServer, Default::PostgreSQLServer), QString("localhost"));
        QCOMPARE(GetSetting(Key::PostgreSQLPort, Default::PostgreSQLPort), QString("5432"));
        QCOMPARE(GetSetting(Key::PostgreSQLUser), QString());
        QCOMPARE(GetSetting(Key::TabControl1, Default::TabControl1), QString("0"));
        QCOMPARE(GetSetting(Key::Form2_Text2, Default::Form2_Text2), QString("::"));
    }

    void storedEmptyTextReadsBackEmpty()
    {
        SaveSetting(Key::PostgreSQLServer, "");
        QCOMPARE(GetSetting(Key::PostgreSQLServer, Default::PostgreSQLServer), QString(""));
        SaveSetting(Key::Form2_Text2, QString());
        QCOMPARE(GetSetting(Key::Form2_Text2, Default::Form2_Text2), QString(""));
    }

    void everyKeyRoundTrips_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        const char* keys[] = {
            Key::PostgreSQLServer,   Key::PostgreSQLPort, Key::PostgreSQLUser, Key::PostgreSQLPassword,
            Key::PostgreSQLDatabase, Key::Text1,          Key::Text2,          Key::TabControl1,
            Key::Form2_Text2};
        const QStringList values = {"plain",
                                    "  blanks kept  ",
                                    "semi;colon=and{braces}",
                                    "line\r\nbreak",
                                    "@Variant(not really)",
                                    "back\\slash / and \"quotes\" and #hash",
                                    "Ünïcödé 😀 𝄞",
                                    "[section]",
                                    "abc,def"};
        for (const char* key : keys)
            for (int i = 0; i < values.size(); ++i)
                QTest::addRow("%s #%d", key, i) << QString(key) << values[i];
    }
    void everyKeyRoundTrips()
    {
        QFETCH(QString, key);
        QFETCH(QString, value);
        SaveSetting(key, value);
        QCOMPARE(GetSetting(key, "default"), value);
    }

    void portIsStoredAsTyped()
    {
        SaveSetting(Key::PostgreSQLPort, "54a32 ");
        QCOMPARE(GetSetting(Key::PostgreSQLPort, Default::PostgreSQLPort), QString("54a32 "));
    }

    void aWriteIsOnDiskBeforeSaveReturns()
    {
        SaveSetting(Key::Text1, "typed");
        // A second program reading the file right now sees the value.
        QFile file(storeFileName());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.readAll().contains("Text1=typed"));
    }

    void aValueWrittenByAnotherCopyIsSeen()
    {
        SaveSetting(Key::Text2, "mine");
        QSettings other(storeFileName(), QSettings::IniFormat);
        other.setValue("Text2", "theirs");
        other.sync();
        QCOMPARE(GetSetting(Key::Text2), QString("theirs"));
    }

    // The store holds the password in clear.
    void storeIsReadableByItsOwnerOnly_data()
    {
        QTest::addColumn<bool>("leftOpen");
        QTest::newRow("new store") << false;
        QTest::newRow("store left readable by others") << true;
    }
    void storeIsReadableByItsOwnerOnly()
    {
#ifdef Q_OS_WIN
        QSKIP("the store is the registry");
#else
        QFETCH(bool, leftOpen);
        const QByteArray file = QFile::encodeName(storeFileName());
        const QByteArray folder = QFile::encodeName(QFileInfo(storeFileName()).absolutePath());
        if (leftOpen) {
            SaveSetting(Key::PostgreSQLPassword, "old");
            QCOMPARE(::chmod(file.constData(), 0644), 0);
            QCOMPARE(::chmod(folder.constData(), 0755), 0);
        }
        SaveSetting(Key::PostgreSQLPassword, "secret");
        struct stat info = {};
        QCOMPARE(::stat(file.constData(), &info), 0);
        QCOMPARE(info.st_mode & 07777, mode_t(0600));
        QCOMPARE(::stat(folder.constData(), &info), 0);
        QCOMPARE(info.st_mode & 07777, mode_t(0700));
        QCOMPARE(GetSetting(Key::PostgreSQLPassword), QString("secret"));
#endif
    }

private:
    test::TempStore m_store;
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
