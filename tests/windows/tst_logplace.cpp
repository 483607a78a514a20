// Where the replacement log goes on Windows: the folder TEMP names, as Windows writes it (backslashes, a
// drive letter), and without TEMP a folder of the user's own profile, never one that every user shares.
#include "engine/ReplacementLog.h"

#include <QDir>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

using namespace quarvel::engine;

namespace {
// Sets an environment variable for one test (a null value unsets it) and puts the old value back.
class ScopedEnvironment
{
public:
    ScopedEnvironment(const char* name, const QByteArray& value)
        : m_name(name), m_wasSet(qEnvironmentVariableIsSet(name)), m_old(qgetenv(name))
    {
        if (value.isNull())
            qunsetenv(name);
        else
            qputenv(name, value);
    }
    ~ScopedEnvironment()
    {
        if (m_wasSet)
            qputenv(m_name, m_old);
        else
            qunsetenv(m_name);
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    const char* m_name;
    bool m_wasSet;
    QByteArray m_old;
};

QByteArray contentsOf(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll()
                                          : QByteArray("<cannot read ") + path.toUtf8() + '>';
}
} // namespace

class TestLogPlace : public QObject
{
    Q_OBJECT
private slots:
    // The unset-TEMP case writes into the profile; test mode keeps that away from the user's real folder.
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void tempAsWindowsWritesItHoldsTheLog_data()
    {
        QTest::addColumn<QString>("suffix");
        QTest::newRow("backslash path") << "";
        QTest::newRow("backslash path ending in a backslash") << "\\";
    }
    void tempAsWindowsWritesItHoldsTheLog()
    {
        QFETCH(QString, suffix);
        QTemporaryDir dir;
        const QString native = QDir::toNativeSeparators(dir.path());
        QVERIFY2(native.contains(u'\\') && native.at(1) == u':', qPrintable(native));
        const QString temp = native + suffix;
        ScopedEnvironment variable("TEMP", temp.toLocal8Bit());

        QCOMPARE(logFolder(), temp);
        QCOMPARE(QFileInfo(logFilePath()).absoluteFilePath(),
                 QFileInfo(dir.filePath("backups.log")).absoluteFilePath());
        QVERIFY2(!logFilePath().contains(u'/'), qPrintable(logFilePath())); // messages show it as TEMP has it
        AppendLogLine(QString::fromUtf8("caf\xc3\xa9 \xe2\x82\xac"));
        AppendLogLine(QStringLiteral("C:\\data\\2024 second"));
        // Read back through the path as Windows writes it, not through the log's own helpers.
        QCOMPARE(contentsOf(native + QStringLiteral("\\backups.log")),
                 QByteArray("caf\xe9 \x80\r\nC:\\data\\2024 second\r\n"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList{"backups.log"});
    }

    // Windows always sets TEMP; when a service or a script does not, the log must still not go where every
    // user can read it (C:\Windows\Temp, the program's folder) but into the user's own profile.
    void withoutTempTheLogGoesIntoTheUsersProfile_data()
    {
        QTest::addColumn<QByteArray>("temp");
        QTest::newRow("TEMP unset") << QByteArray();
        QTest::newRow("TEMP empty") << QByteArray("");
    }
    void withoutTempTheLogGoesIntoTheUsersProfile()
    {
        QFETCH(QByteArray, temp);
        ScopedEnvironment variable("TEMP", temp);
        const QString localAppData = QDir::fromNativeSeparators(qEnvironmentVariable("LOCALAPPDATA"));
        QVERIFY2(!localAppData.isEmpty(), "LOCALAPPDATA is not set");
        // Test mode puts Qt's per-user folders under qttest.
        const QString expected = localAppData + QStringLiteral("/qttest/cache/Quarvel");
        QCOMPARE(QDir::fromNativeSeparators(logFolder()), expected);
        QVERIFY2(!logFilePath().contains(u'/'), qPrintable(logFilePath()));
        QCOMPARE(QFileInfo(logFilePath()).absoluteFilePath(), expected + QStringLiteral("/backups.log"));
        QFile::remove(logFilePath());
        AppendLogLine(QStringLiteral("x"));
        QCOMPARE(contentsOf(expected + QStringLiteral("/backups.log")), QByteArray("x\r\n"));
        QVERIFY(QFile::remove(logFilePath()));
    }

    void logInAFolderThatCannotBeWrittenThrowsNamingThePath()
    {
        QTemporaryDir dir;
        // A TEMP that names a file: nothing can be created below it.
        const QString blocker = QDir::toNativeSeparators(dir.filePath("not-a-folder"));
        QFile file(blocker);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        ScopedEnvironment variable("TEMP", blocker.toLocal8Bit());
        try {
            AppendLogLine(QStringLiteral("x"));
            QFAIL("no failure");
        } catch (const std::runtime_error& e) {
            const QString message = QString::fromLocal8Bit(e.what());
            QVERIFY2(
                message.startsWith(QStringLiteral("Cannot open the replacement log ") + logFilePath() + ": "),
                e.what());
        }
        QCOMPARE(QFileInfo(blocker).size(), 0);
    }

    void logThatIsAFolderIsRefused()
    {
        QTemporaryDir dir;
        ScopedEnvironment variable("TEMP", QDir::toNativeSeparators(dir.path()).toLocal8Bit());
        QVERIFY(QDir(dir.path()).mkdir(QLatin1String(LogFileName)));
        try {
            AppendLogLine(QStringLiteral("x"));
            QFAIL("no failure");
        } catch (const std::runtime_error& e) {
            QCOMPARE(QString::fromLocal8Bit(e.what()), QStringLiteral("Cannot open the replacement log ") +
                                                           logFilePath() + ": it is not a regular file");
        }
    }
};

QTEST_GUILESS_MAIN(TestLogPlace)
#include "tst_logplace.moc"
