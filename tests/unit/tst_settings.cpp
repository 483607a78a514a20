// The settings store: defaults, empty values, every key, isolation from the real store. On Windows the
// store is the registry key HKEY_CURRENT_USER\Software\Kestrine\Quarvel, holding the same names and texts
// as the .conf file elsewhere; it is read and written there through the registry's own interface too.
#include "settings/SettingsStore.h"
#include "tests/support/TempStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QtTest>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <sys/stat.h>
#endif

#include <optional>

using namespace quarvel;
using namespace quarvel::settings;

namespace {
#ifdef Q_OS_WIN
const wchar_t ProductKey[] = L"Software\\Kestrine\\Quarvel";

const wchar_t* wide(const QString& text)
{
    return reinterpret_cast<const wchar_t*>(text.utf16());
}

// A value as another program reads it: straight from the registry, with its type.
std::optional<QString> registryText(const QString& name, DWORD* type = nullptr)
{
    DWORD kind = 0;
    DWORD size = 0;
    if (RegGetValueW(HKEY_CURRENT_USER, ProductKey, wide(name), RRF_RT_ANY, &kind, nullptr, &size) !=
        ERROR_SUCCESS)
        return std::nullopt;
    QByteArray data(qsizetype(size), '\0');
    if (RegGetValueW(HKEY_CURRENT_USER, ProductKey, wide(name), RRF_RT_ANY, &kind, data.data(), &size) !=
        ERROR_SUCCESS)
        return std::nullopt;
    if (type)
        *type = kind;
    QString text(reinterpret_cast<const QChar*>(data.constData()), qsizetype(size / sizeof(wchar_t)));
    if (text.endsWith(QChar(0)))
        text.chop(1);
    return text;
}

// What another program (or a second copy of Quarvel) writes into the key.
bool writeRegistryText(const QString& name, const QString& text)
{
    const auto bytes = DWORD((text.size() + 1) * sizeof(wchar_t));
    return RegSetKeyValueW(HKEY_CURRENT_USER, ProductKey, wide(name), REG_SZ, text.utf16(), bytes) ==
           ERROR_SUCCESS;
}
#endif

// The files in the program's own folder: a portable program writes nothing beside itself.
QStringList besideTheProgram()
{
    return QDir(QCoreApplication::applicationDirPath())
        .entryList(QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
}
} // namespace

class TestSettings : public QObject
{
    Q_OBJECT
private slots:
    void init() { m_store.reset(); }

    // Elsewhere the tests' store is a file in the temporary folder; on Windows it is the user's registry
    // key (set aside by the test store and put back after).
    void storeLivesWhereThisSystemKeepsIt()
    {
        const QStringList before = besideTheProgram();
        SaveSetting(Key::PostgreSQLServer, "db.example");
#ifdef Q_OS_WIN
        QCOMPARE(storeFileName(), QStringLiteral("\\HKEY_CURRENT_USER\\Software\\Kestrine\\Quarvel"));
        QCOMPARE(registryText("PostgreSQLServer"), std::optional<QString>("db.example"));
        QCOMPARE(QDir(m_store.folder()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
#else
        QVERIFY(storeFileName().startsWith(m_store.folder()));
        QVERIFY(QFile::exists(storeFileName()));
        QVERIFY(storeFileName().contains("Kestrine"));
        QVERIFY(storeFileName().contains("Quarvel"));
#endif
        QCOMPARE(besideTheProgram(), before);
    }

    // The names of the key list, each holding its text as typed, in the .conf file's [General] section
    // or as string values of the registry key.
    void keysAndTextsAreStoredUnderTheirOwnNames_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::newRow("server") << Key::PostgreSQLServer << "db.example";
        QTest::newRow("port") << Key::PostgreSQLPort << "5433";
        QTest::newRow("user") << Key::PostgreSQLUser << "shop";
        QTest::newRow("password") << Key::PostgreSQLPassword << "s3cret";
        QTest::newRow("database") << Key::PostgreSQLDatabase << "shop_db";
        QTest::newRow("find text") << Key::Text1 << "old text";
        QTest::newRow("replacement text") << Key::Text2 << "new text";
        QTest::newRow("tab") << Key::TabControl1 << "1";
        QTest::newRow("separator, a name with a dot") << Key::Form2_Text2 << "->";
    }
    void keysAndTextsAreStoredUnderTheirOwnNames()
    {
        QFETCH(QString, key);
        QFETCH(QString, value);
        SaveSetting(key, value);
#ifdef Q_OS_WIN
        DWORD type = 0;
        QCOMPARE(registryText(key, &type), std::optional<QString>(value));
        QCOMPARE(type, DWORD(REG_SZ));
#else
        QFile file(storeFileName());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = file.readAll().split('\n');
        QCOMPARE(lines.value(0), QByteArray("[General]"));
        QVERIFY2(lines.contains((key + u'=' + value).toUtf8()), lines.join(" / ").constData());
#endif
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
        // A second program reading the store right now sees the value.
#ifdef Q_OS_WIN
        QCOMPARE(registryText("Text1"), std::optional<QString>("typed"));
#else
        QFile file(storeFileName());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.readAll().contains("Text1=typed"));
#endif
    }

    void aValueWrittenByAnotherCopyIsSeen()
    {
        SaveSetting(Key::Text2, "mine");
#ifdef Q_OS_WIN
        QVERIFY(writeRegistryText("Text2", "theirs"));
#else
        QSettings other(storeFileName(), QSettings::IniFormat);
        other.setValue("Text2", "theirs");
        other.sync();
#endif
        QCOMPARE(GetSetting(Key::Text2), QString("theirs"));
    }

    // The store holds the password in clear. Elsewhere the file and its folder are narrowed to their owner;
    // on Windows the password is a value of the user's own hive (HKEY_CURRENT_USER, which Windows keeps
    // from other users) and no file holding it is written anywhere the test can see.
    void storeIsReadableByItsOwnerOnly_data()
    {
        QTest::addColumn<bool>("leftOpen");
        QTest::newRow("new store") << false;
        QTest::newRow("store left readable by others") << true;
    }
    void storeIsReadableByItsOwnerOnly()
    {
#ifdef Q_OS_WIN
        QFETCH(bool, leftOpen);
        const QStringList before = besideTheProgram();
        if (leftOpen)
            SaveSetting(Key::PostgreSQLPassword, "old");
        SaveSetting(Key::PostgreSQLPassword, "secret");
        QVERIFY(storeFileName().startsWith(QStringLiteral("\\HKEY_CURRENT_USER\\")));
        QCOMPARE(registryText("PostgreSQLPassword"), std::optional<QString>("secret"));
        QCOMPARE(QDir(m_store.folder()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
        QCOMPARE(besideTheProgram(), before);
        QCOMPARE(GetSetting(Key::PostgreSQLPassword), QString("secret"));
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
