// The Windows program as a user starts it: from its own folder, on the details stored in the registry, to
// the Main window when they connect and to the Connection window when not; the close box (WM_CLOSE) ends
// it. The screenshot hook names the icon and the hand pointer it loaded beside itself.
#include "settings/SettingsStore.h"
#include "tests/support/TempStore.h"
#include "tests/support/TestDatabase.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <windows.h>

using quarvel::test::TestDatabase;

namespace {
// The program under test: the gathered dist/Quarvel.exe when scripts/windows names it, else the build's.
QString program()
{
    const QString named = qEnvironmentVariable("QUARVEL_TEST_PROGRAM");
    return QDir::toNativeSeparators(
        QFileInfo(named.isEmpty() ? QStringLiteral(QUARVEL_PROGRAM) : named).absoluteFilePath());
}

struct ShownWindow
{
    HWND id;
    QString title;
    QSize clientSize;
};

struct Search
{
    DWORD processId;
    QList<ShownWindow> found;
};

BOOL CALLBACK collectWindow(HWND window, LPARAM data)
{
    auto* search = reinterpret_cast<Search*>(data);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != search->processId || !IsWindowVisible(window) || GetWindow(window, GW_OWNER))
        return TRUE;
    wchar_t title[256] = {};
    const int length = GetWindowTextW(window, title, 256);
    RECT client = {};
    GetClientRect(window, &client);
    search->found.append({window, QString::fromWCharArray(title, length),
                          QSize(int(client.right - client.left), int(client.bottom - client.top))});
    return TRUE;
}

// The visible top-level windows the process shows.
QList<ShownWindow> shownWindows(qint64 processId)
{
    Search search{DWORD(processId), {}};
    EnumWindows(collectWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// The program's environment: the windows platform (the tests themselves run offscreen).
QProcessEnvironment programEnvironment()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    return env;
}
} // namespace

class TestProgramWindow : public QObject
{
    Q_OBJECT

    quarvel::test::TempStore m_store;

private slots:
    void initTestCase() { QVERIFY2(QFileInfo::exists(program()), qPrintable(program())); }

    void init() { m_store.reset(); }

    void programStartsAndTheCloseBoxEndsIt_data()
    {
        QTest::addColumn<bool>("connects");
        QTest::addColumn<QSize>("clientSize");
        QTest::newRow("stored details connect: Main window") << true << QSize(536, 554);
        QTest::newRow("stored details do not connect: Connection window") << false << QSize(536, 242);
    }
    void programStartsAndTheCloseBoxEndsIt()
    {
        QUARVEL_REQUIRE_DB();
        QFETCH(bool, connects);
        QFETCH(QSize, clientSize);
        quarvel::db::ConnectionDetails details = TestDatabase::details();
        if (!connects)
            details.password = QStringLiteral("wrong");
        quarvel::test::storeConnectionDetails(details);

        // Started from another folder than its own: it finds its side files beside itself all the same.
        QTemporaryDir elsewhere;
        QProcess process;
        process.setProcessEnvironment(programEnvironment());
        process.setWorkingDirectory(elsewhere.path());
        process.start(program(), {});
        QVERIFY2(process.waitForStarted(10000), qPrintable(process.errorString()));

        QList<ShownWindow> shown;
        QElapsedTimer wait;
        wait.start();
        while (wait.elapsed() < 60000 && process.state() == QProcess::Running) {
            shown = shownWindows(process.processId());
            if (!shown.isEmpty())
                break;
            QTest::qWait(200);
        }
        QVERIFY2(process.state() == QProcess::Running, process.readAllStandardError().constData());
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown.first().title, QStringLiteral("Quarvel"));
        QCOMPARE(shown.first().clientSize, clientSize);

        PostMessageW(shown.first().id, WM_CLOSE, 0, 0);
        const bool ended = process.waitForFinished(20000);
        if (!ended)
            process.kill();
        QVERIFY2(ended, "closing the window did not end the program");
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
        // A portable program writes nothing where it was started.
        QCOMPARE(QDir(elsewhere.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
    }

    void screenshotHookNamesTheIconAndTheHandPointerBesideTheProgram()
    {
        QTemporaryDir folder;
        const QString png = QDir::toNativeSeparators(folder.filePath(QStringLiteral("shot.png")));
        QProcess process;
        QProcessEnvironment env = programEnvironment();
        env.insert(QStringLiteral("QUARVEL_SCREENSHOT"), png);
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(folder.path());
        process.start(program(), {});
        QVERIFY(process.waitForFinished(60000));
        const QString report = QString::fromLocal8Bit(process.readAllStandardOutput());
        QCOMPARE(process.exitCode(), 0);
        const QStringList lines =
            report.split(QRegularExpression(QStringLiteral("\r?\n")), Qt::SkipEmptyParts);
        QVERIFY2(lines.contains(QStringLiteral("window: Quarvel")), qPrintable(report));
        const QString hand = QFileInfo(program()).absolutePath() + QStringLiteral("/HAND-M.CUR");
        QVERIFY2(lines.contains(QStringLiteral("pointer: loaded from ") + QDir::toNativeSeparators(hand)),
                 qPrintable(report));
        const QStringList icon = lines.filter(QRegularExpression(QStringLiteral("^icon: ")));
        QCOMPARE(icon.size(), 1);
        QVERIFY2(icon.first().split(u' ').contains(QStringLiteral("256x256")), qPrintable(icon.first()));
        const QImage image(png);
        QCOMPARE(image.size(), QSize(536, 242));
        QCOMPARE(image.pixelColor(2, 2), QColor(Qt::white));
    }
};

QTEST_GUILESS_MAIN(TestProgramWindow)
#include "tst_programwindow.moc"
