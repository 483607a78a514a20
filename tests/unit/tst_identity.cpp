// Application title rule, FileExists, side-file paths and where an installed program finds its side
// files, and the start-up check for the ODBC driver.
#include "core/DriverCheck.h"
#include "core/Files.h"
#include "core/Identity.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using namespace quarvel;

class TestIdentity : public QObject
{
    Q_OBJECT
private slots:
    void titleRule_data()
    {
        QTest::addColumn<QString>("product");
        QTest::addColumn<QString>("title");
        QTest::newRow("no space keeps the whole name") << "Quarvel"
                                                       << "Quarvel";
        QTest::newRow("three words of 30 characters") << "Kestrine Quarvel Data Replacer"
                                                      << "Kestrine Quarvel Data";
        // 41 characters before the last space: cut once more, two words go.
        QTest::newRow("45 characters, 3-character last word")
            << "Abcdefghij Klmnopqrst Uvwxyzabcd Efghijklmno Pqr"
            << "Abcdefghij Klmnopqrst Uvwxyzabcd";
        QTest::newRow("exactly 40 before the last space") << "Abcdefghij Klmnopqrst Uvwxyzabcd Efghijk Pqr"
                                                          << "Abcdefghij Klmnopqrst Uvwxyzabcd Efghijk";
        QTest::newRow("one long word after a cut") << QString(50, u'x') + " y" << QString(50, u'x');
        QTest::newRow("trailing space") << "Quarvel "
                                        << "Quarvel";
        QTest::newRow("empty") << ""
                               << "";
    }
    void titleRule()
    {
        QFETCH(QString, product);
        QFETCH(QString, title);
        QCOMPARE(identity::applicationTitleFor(product), title);
    }

    void productValuesAreTheSystemsOwn()
    {
        QCOMPARE(QString(identity::ProductName), QString("Quarvel"));
        QCOMPARE(QString(identity::CompanyName), QString("Kestrine"));
        QCOMPARE(QString(identity::VersionText), QString("7.00"));
        QCOMPARE(identity::applicationTitle(), QString("Quarvel"));
    }

    void fileExists_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("exists");
        const QString dir = m_dir.path();
        QTest::newRow("empty path") << QString() << false;
        QTest::newRow("missing file") << dir + "/nothing-here.txt" << false;
        QTest::newRow("missing folder on the way") << dir + "/no/such/file" << false;
        QTest::newRow("existing file") << dir + "/present.txt" << true;
        QTest::newRow("existing folder") << dir << true;
        QTest::newRow("embedded NUL") << dir + QString(QChar(u'\0')) + "/present.txt" << false;
        QTest::newRow("below a file") << dir + "/present.txt/child" << false;
        QTest::newRow("very long name") << dir + "/" + QString(5000, u'a') << false;
    }
    void fileExists()
    {
        QFETCH(QString, path);
        QFETCH(bool, exists);
        QCOMPARE(files::FileExists(path), exists);
    }

    void sideFilePathUsesThePlatformSeparators()
    {
        QCOMPARE(files::sideFilePath("/opt/quarvel", "\\x\\o.cjs"),
                 QDir::toNativeSeparators("/opt/quarvel/x/o.cjs"));
        QCOMPARE(files::sideFilePath("/opt/quarvel", "\\HAND-M.CUR"),
                 QDir::toNativeSeparators("/opt/quarvel/HAND-M.CUR"));
    }

    void programFolderHasNoTrailingSeparator()
    {
        const QString folder = files::programFolder();
        QVERIFY(!folder.isEmpty());
        QVERIFY(!folder.endsWith('/') && !folder.endsWith('\\'));
        QVERIFY(
            QFileInfo(folder + "/" + QFileInfo(QCoreApplication::applicationFilePath()).fileName()).exists());
    }

    void sideFileFolder_data()
    {
        QTest::addColumn<QString>("programFolder");
        QTest::addColumn<QString>("sideFileFolder");
        const QString dir = m_dir.path();
        QTest::newRow("installed in bin with its data folder")
            << dir + "/usr/bin" << QDir::toNativeSeparators(dir + "/usr/share/quarvel");
        QTest::newRow("bin without a data folder") << dir + "/opt/bin" << dir + "/opt/bin";
        QTest::newRow("build tree beside a data folder") << dir + "/usr/app" << dir + "/usr/app";
        QTest::newRow("data folder is a file") << dir + "/odd/bin" << dir + "/odd/bin";
    }
    void sideFileFolder()
    {
        QFETCH(QString, programFolder);
        QFETCH(QString, sideFileFolder);
        QCOMPARE(files::sideFileFolderFor(programFolder), sideFileFolder);
    }

    void missingDriverMessage_data()
    {
        QTest::addColumn<QStringList>("registered");
        QTest::addColumn<bool>("silent");
        QTest::newRow("registered among others")
            << QStringList{"PostgreSQL ANSI", "PostgreSQL Unicode"} << true;
        QTest::newRow("registered in another case") << QStringList{"postgresql unicode"} << true;
        QTest::newRow("only the ANSI driver") << QStringList{"PostgreSQL ANSI"} << false;
#ifdef Q_OS_WIN
        QTest::newRow("the 64-bit psqlODBC's name") << QStringList{"PostgreSQL Unicode(x64)"} << true;
#else
        QTest::newRow("a longer name is another driver") << QStringList{"PostgreSQL Unicode(x64)"} << false;
#endif
        QTest::newRow("another longer name is another driver")
            << QStringList{"PostgreSQL Unicode(x86)"} << false;
        QTest::newRow("no driver at all") << QStringList{} << false;
    }
    void missingDriverMessage()
    {
        QFETCH(QStringList, registered);
        QFETCH(bool, silent);
        QCOMPARE(driver::missingDriverMessage(registered).isEmpty(), silent);
    }

    // Connections name the driver as it is registered; Linux knows one name only.
    void connectionsNameTheRegisteredDriver_data()
    {
        QTest::addColumn<QStringList>("registered");
        QTest::addColumn<QString>("name");
        const QString plain = QStringLiteral("PostgreSQL Unicode");
#ifdef Q_OS_WIN
        const QString x64 = QStringLiteral("PostgreSQL Unicode(x64)");
#else
        const QString& x64 = plain;
#endif
        QTest::newRow("the plain name") << QStringList{"PostgreSQL ANSI", "PostgreSQL Unicode"} << plain;
        QTest::newRow("both names") << QStringList{"PostgreSQL Unicode(x64)", "PostgreSQL Unicode"} << plain;
        QTest::newRow("only the 64-bit psqlODBC's name")
            << QStringList{"PostgreSQL ANSI(x64)", "PostgreSQL Unicode(x64)"} << x64;
        QTest::newRow("the 64-bit name in another case") << QStringList{"postgresql unicode(X64)"} << x64;
        QTest::newRow("another longer name") << QStringList{"PostgreSQL Unicode(x86)"} << plain;
        QTest::newRow("no driver at all") << QStringList{} << plain;
    }
    void connectionsNameTheRegisteredDriver()
    {
        QFETCH(QStringList, registered);
        QFETCH(QString, name);
        QCOMPARE(driver::connectionDriverName(registered), name);
    }

    // The driver manager reads the odbcinst.ini of ODBCSYSINI, set before the first ODBC call. On Windows
    // the list is the system's own (the registry; under Wine, the host's driver manager as the process
    // started), which no test can swap: there the driver the test machine has registered is found.
    void driverManagerWithoutTheDriverNamesThePackage()
    {
#ifdef Q_OS_WIN
        const QStringList registered = driver::registeredDrivers();
        QVERIFY2(registered.contains(QStringLiteral("PostgreSQL Unicode")),
                 qPrintable(registered.join(", ")));
        QCOMPARE(driver::missingDriverMessage(registered), QString());
        // Windows has no apt-get: the driver comes with its own installer.
        QCOMPARE(driver::missingDriverMessage(QStringList{"PostgreSQL ANSI", "Oracle"}),
                 QString("The ODBC driver \"PostgreSQL Unicode\" is not registered on this computer, so "
                         "Quarvel cannot connect to a database.\n\nInstall the PostgreSQL ODBC driver "
                         "(psqlODBC, 64-bit, from postgresql.org), which registers it, and start Quarvel "
                         "again."));
#else
        QCOMPARE(driver::registeredDrivers(), (QStringList{"PostgreSQL ANSI", "Oracle"}));
        QCOMPARE(
            driver::missingDriverMessage(driver::registeredDrivers()),
            QString("The ODBC driver \"PostgreSQL Unicode\" is not registered on this computer, so "
                    "Quarvel cannot connect to a database.\n\nInstall the package odbc-postgresql, which "
                    "registers it (for example with \"sudo apt-get install odbc-postgresql\"), and "
                    "start Quarvel again."));
#endif
    }

    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QFile f(m_dir.path() + "/present.txt");
        QVERIFY(f.open(QIODevice::WriteOnly));

        for (const char* folder :
             {"/usr/bin", "/usr/share/quarvel", "/usr/app", "/opt/bin", "/odd/bin", "/odd/share"})
            QVERIFY(QDir().mkpath(m_dir.path() + folder));
        QFile notAFolder(m_dir.path() + "/odd/share/quarvel");
        QVERIFY(notAFolder.open(QIODevice::WriteOnly));

        QVERIFY(QDir().mkpath(m_dir.path() + "/odbc"));
        QFile ini(m_dir.path() + "/odbc/odbcinst.ini");
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write("[PostgreSQL ANSI]\nDriver=psqlodbca.so\n\n[Oracle]\nDriver=libsqora.so\n");
        ini.close();
        qputenv("ODBCSYSINI", QFile::encodeName(m_dir.path() + "/odbc"));
        qunsetenv("ODBCINSTINI");
    }

private:
    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(TestIdentity)
#include "tst_identity.moc"
