// The Connection window (Form1) and the start-up, against the real test server.
#include "CursorFiles.h"
#include "WindowTestSupport.h"
#include "core/Identity.h"
#include "core/Procedure.h"
#include "settings/SettingsStore.h"
#include "tests/support/ScriptedPrompts.h"
#include "tests/support/TempStore.h"
#include "tests/support/TestDatabase.h"
#include "ui/Appearance.h"
#include "ui/ConnectionWindow.h"
#include "ui/MainWindow.h"
#include "ui/PushButton.h"
#include "ui/ToolWindows.h"
#include "ui/WindowPointer.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QtTest>

#include <stdexcept>

using namespace quarvel;
using namespace quarvel::ui;
using test::ClassicButtonFace;
using test::moveOver;
using test::ScriptedPrompts;
using test::TestDatabase;

namespace {
const QString Success = QStringLiteral("Connection successful.");
const QString Failure = QStringLiteral("Could not connect. Please check with your administrator.");
const QString Absent = QStringLiteral("<never written>");

QString stored(const char* key)
{
    return settings::GetSetting(QLatin1String(key), Absent);
}

void fillBoxes(Form1& form, const db::ConnectionDetails& d)
{
    form.Text1->setText(d.server);
    form.Text2->setText(d.port);
    form.Text3->setText(d.user);
    form.Text4->setText(d.password);
    form.Text5->setText(d.database);
}

db::ConnectionDetails badDetails(const QString& what)
{
    db::ConnectionDetails d = TestDatabase::details();
    if (what == "password")
        d.password = QStringLiteral("not-the-password");
    else if (what == "database")
        d.database = QStringLiteral("no_such_database");
    else if (what == "port")
        d.port = QStringLiteral("1");
    else if (what == "server")
        d.server = QString();
    return d;
}

// The server's clock now, for windowConnections.
QString serverNow()
{
    return TestDatabase::psqlAdmin(QStringLiteral("SELECT clock_timestamp()"));
}

// Connections of the test role that the window opened (psql sessions of the test itself excluded). Only
// those begun since `since`: a program an earlier test left running still holds its own, which happens
// under Wine, where a test ended at its time limit leaves the Windows programs it started running.
int windowConnections(const QString& since)
{
    return TestDatabase::psqlAdmin(
               QStringLiteral("SELECT count(*) FROM pg_stat_activity WHERE usename = '%1' "
                              "AND datname = current_database() AND backend_type = 'client backend' AND "
                              "application_name <> 'psql' "
                              "AND backend_start >= '%2'::timestamptz")
                   .arg(TestDatabase::details().user, since))
        .toInt();
}

// One keystroke that types the character, also outside ASCII (QTest::keyClicks knows only ASCII).
void typeCharacter(QWidget* widget, QChar c)
{
    QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
    QApplication::sendEvent(widget, &press);
    QKeyEvent release(QEvent::KeyRelease, 0, Qt::NoModifier, QString(c));
    QApplication::sendEvent(widget, &release);
}
} // namespace

class TestConnectionWindow : public QObject
{
    Q_OBJECT

    test::TempStore m_store;
    test::WindowSandbox m_sandbox;

private slots:
    void initTestCase() { m_sandbox.install(); }

    void init()
    {
        m_store.reset();
        m_sandbox.reset();
        identity::setApplicationTitle(QStringLiteral("unset"));
    }

    void cleanupTestCase() { m_sandbox.uninstall(); }

    // ---- Start-up

    void firstStartFillsDefaultsAndStoresThem()
    {
        ScriptedPrompts prompts;
        ToolWindows windows(prompts);
        windows.start();
        Form1& form = windows.connectionWindow();
        QVERIFY(form.isVisible());
        QVERIFY(!windows.mainWindow());
        QCOMPARE(form.Text1->text(), QStringLiteral("localhost"));
        QCOMPARE(form.Text2->text(), QStringLiteral("5432"));
        QCOMPARE(form.Text3->text(), QString());
        QCOMPARE(form.Text4->text(), QString());
        QCOMPARE(form.Text5->text(), QString());
        QCOMPARE(stored(settings::Key::PostgreSQLServer), QStringLiteral("localhost"));
        QCOMPARE(stored(settings::Key::PostgreSQLPort), QStringLiteral("5432"));
        // The empty boxes did not change, so nothing was written for them.
        QCOMPARE(stored(settings::Key::PostgreSQLUser), Absent);
        QCOMPARE(stored(settings::Key::PostgreSQLPassword), Absent);
        QCOMPARE(stored(settings::Key::PostgreSQLDatabase), Absent);
        QCOMPARE(form.windowTitle(), QStringLiteral("Quarvel"));
        QVERIFY(!form.windowIcon().isNull());
        QCOMPARE(form.windowIcon().availableSizes().size(), 4);
        QCOMPARE(identity::applicationTitle(), QStringLiteral("Quarvel"));
        QVERIFY(prompts.shown.isEmpty());
    }

    void firstStartFocusesTheServerBoxWithItsTextSelected()
    {
        ScriptedPrompts prompts;
        ToolWindows windows(prompts);
        windows.start();
        Form1& form = windows.connectionWindow();
        form.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        QTRY_COMPARE(QApplication::focusWidget(), form.Text1);
        QCOMPARE(form.Text1->selectedText(), QStringLiteral("localhost"));
        QCOMPARE(form.Text1->selectionStart(), 0);
    }

    void storedDetailsThatConnectOpenTheMainWindow()
    {
        QUARVEL_REQUIRE_DB();
        test::storeConnectionDetails(TestDatabase::details());
        ScriptedPrompts prompts;
        ToolWindows windows(prompts);
        windows.start();
        Form1& form = windows.connectionWindow();
        QVERIFY(windows.mainWindow());
        QVERIFY(windows.mainWindow()->isVisible());
        QCOMPARE(windows.mainWindow()->windowTitle(), QStringLiteral("Quarvel"));
        QVERIFY(!form.isVisible());
        QVERIFY(prompts.shown.isEmpty());
        // The boxes hold the details while hidden; every later connection reads them there.
        QCOMPARE(form.connectionString(), TestDatabase::connectionString());

        // "< Back" shows the Connection window again; "Next >" returns to the same Main window.
        Form2* mainWindow = windows.mainWindow();
        mainWindow->PushButton5->click();
        QVERIFY(form.isVisible());
        QVERIFY(!mainWindow->isVisible());
        form.PushButton3->click();
        QCOMPARE(windows.mainWindow(), mainWindow);
        QVERIFY(mainWindow->isVisible());
        QVERIFY(!form.isVisible());
        QVERIFY(prompts.shown.isEmpty());
    }

    void storedDetailsThatDoNotConnectShowThisWindowSilently_data()
    {
        QTest::addColumn<QString>("wrong");
        QTest::newRow("password") << "password";
        QTest::newRow("database") << "database";
        QTest::newRow("closed port") << "port";
    }

    void storedDetailsThatDoNotConnectShowThisWindowSilently()
    {
        QUARVEL_REQUIRE_DB();
        QFETCH(QString, wrong);
        const db::ConnectionDetails details = badDetails(wrong);
        test::storeConnectionDetails(details);
        ScriptedPrompts prompts;
        ToolWindows windows(prompts);
        windows.start();
        Form1& form = windows.connectionWindow();
        QVERIFY(form.isVisible());
        QVERIFY(!windows.mainWindow());
        QCOMPARE(form.connectionString(), db::BuildConnectionString(details));
        QCOMPARE(form.Text4->text(), details.password);
        QVERIFY(prompts.shown.isEmpty());
    }

    void mainWindowThatFailsAtStartLeavesThisWindowShown()
    {
        QUARVEL_REQUIRE_DB();
        test::storeConnectionDetails(TestDatabase::details());
        ScriptedPrompts prompts;
        Form1 form(prompts);
        form.setMainWindowShower([]() -> QWidget* { throw std::runtime_error("Main window broken"); });
        form.load();
        QVERIFY(form.isVisible());
        QCOMPARE(prompts.errorReports(),
                 QStringList{errorReportText("Main window broken", "Form1.Form_Load", 140)});
    }

    void clearedServerBoxStartsEmptyNextTime()
    {
        {
            ScriptedPrompts prompts;
            ToolWindows windows(prompts);
            windows.start();
            windows.connectionWindow().Text1->clear();
        }
        QCOMPARE(stored(settings::Key::PostgreSQLServer), QString());
        ScriptedPrompts prompts;
        ToolWindows windows(prompts);
        windows.start();
        QCOMPARE(windows.connectionWindow().Text1->text(), QString());
        QCOMPARE(windows.connectionWindow().Text2->text(), QStringLiteral("5432"));
    }

    // ---- The boxes

    void everyChangeIsStored_data()
    {
        QTest::addColumn<int>("box");
        QTest::addColumn<QString>("key");
        QTest::newRow("server") << 1 << settings::Key::PostgreSQLServer;
        QTest::newRow("port") << 2 << settings::Key::PostgreSQLPort;
        QTest::newRow("user") << 3 << settings::Key::PostgreSQLUser;
        QTest::newRow("password") << 4 << settings::Key::PostgreSQLPassword;
        QTest::newRow("database") << 5 << settings::Key::PostgreSQLDatabase;
    }

    void everyChangeIsStored()
    {
        QFETCH(int, box);
        QFETCH(QString, key);
        ScriptedPrompts prompts;
        Form1 form(prompts);
        QLineEdit* edit =
            QList<QLineEdit*>{form.Text1, form.Text2, form.Text3, form.Text4, form.Text5}[box - 1];
        edit->setText(QStringLiteral(" set; by {code} "));
        QCOMPARE(settings::GetSetting(key), QStringLiteral(" set; by {code} "));
        edit->clear();
        QString typed;
        for (const QChar c : QStringLiteral("db-\u00e9\u4e2d")) {
            typeCharacter(edit, c);
            typed += c;
            QCOMPARE(settings::GetSetting(key, Absent), typed);
        }
        QTest::keyClick(edit, Qt::Key_Backspace);
        QCOMPARE(settings::GetSetting(key, Absent), typed.chopped(1));
        QVERIFY(prompts.shown.isEmpty());
    }

    // A folder that cannot exist stands for a store that cannot be written; the registry store of
    // Windows has no such place a test could point it at.
#ifndef Q_OS_WIN
    void storeThatCannotBeWrittenIsReportedOnce()
    {
        // A folder that cannot exist: the store cannot be written there, not even by root.
        settings::useStoreFolder(QStringLiteral("/dev/null/quarvel"));
        ScriptedPrompts prompts;
        Form1 form(prompts);
        form.Text1->setText(QStringLiteral("db1"));
        form.Text2->setText(QStringLiteral("6543"));
        form.Text1->setText(QStringLiteral("db2"));
        settings::useStoreFolder(m_store.folder());
        QCOMPARE(prompts.shown.size(), 1);
        const QString report = prompts.errorReports().value(0);
        QVERIFY2(report.startsWith(QStringLiteral("The settings could not be saved")), qPrintable(report));
        QVERIFY2(report.contains(QStringLiteral("in Morvane2021/08/31.Form1.Text1_Change at line 0\r\n")),
                 qPrintable(report));
        // The box keeps what was typed.
        QCOMPARE(form.Text1->text(), QStringLiteral("db2"));
    }
#endif

    void passwordIsMaskedAndStoredInClear()
    {
        ScriptedPrompts prompts;
        Form1 form(prompts);
        QTest::keyClicks(form.Text4, QStringLiteral("s3cr;t}"));
        QCOMPARE(form.Text4->text(), QStringLiteral("s3cr;t}"));
        QCOMPARE(form.Text4->displayText(), QStringLiteral("*******"));
        QCOMPARE(stored(settings::Key::PostgreSQLPassword), QStringLiteral("s3cr;t}"));
        QCOMPARE(form.Text1->echoMode(), QLineEdit::Normal);
    }

    void passwordStaysMaskedUnderTheSkin()
    {
        QVERIFY(test::writeFile(m_sandbox.sideFiles.filePath("x/o.cjs"), "QLineEdit { background: #eef; }"));
        ScriptedPrompts prompts;
        Form1 form(prompts);
        form.Form_Load();
        QVERIFY(!form.styleSheet().isEmpty());
        form.Text4->setText(QStringLiteral("abc"));
        QCOMPARE(form.Text4->displayText(), QStringLiteral("***"));
    }

    void boxesTakeLongTextWithoutLimit()
    {
        ScriptedPrompts prompts;
        Form1 form(prompts);
        const QString longText(40000, QChar(u'x'));
        form.Text5->setText(longText);
        QCOMPARE(form.Text5->text().size(), 40000);
        QCOMPARE(stored(settings::Key::PostgreSQLDatabase).size(), 40000);
    }

    void connectionStringIsMadeOfTheBoxes()
    {
        ScriptedPrompts prompts;
        Form1 form(prompts);
        const db::ConnectionDetails details{"db.example", "6543", "anna", "p;w{}", " spaced "};
        fillBoxes(form, details);
        const db::ConnectionDetails read = form.connectionDetails();
        QCOMPARE(read.server, details.server);
        QCOMPARE(read.port, details.port);
        QCOMPARE(read.user, details.user);
        QCOMPARE(read.password, details.password);
        QCOMPARE(read.database, details.database);
        QCOMPARE(form.connectionString(), db::BuildConnectionString(details));
    }

    void tabbingGoesThroughBoxesThenButtonsSelectingText()
    {
        ScriptedPrompts prompts;
        Form1 form(prompts);
        form.load();
        form.Text3->setText(QStringLiteral("anna"));
        form.Text4->setText(QStringLiteral("pw"));
        form.Text5->setText(QStringLiteral("shop"));
        form.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        QTRY_COMPARE(QApplication::focusWidget(), form.Text1);
        const QList<QWidget*> order = {form.Text2,       form.Text3,       form.Text4,       form.Text5,
                                       form.PushButton5, form.PushButton1, form.PushButton3, form.Text1};
        for (QWidget* next : order) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), next);
            if (auto* box = qobject_cast<QLineEdit*>(next)) {
                QCOMPARE(box->selectionStart(), 0);
                QCOMPARE(box->selectionLength(), int(box->text().size()));
            }
        }
        QCOMPARE(form.Frame1->focusPolicy(), Qt::NoFocus);
        QCOMPARE(form.Label2->focusPolicy(), Qt::NoFocus);
    }

    void focusByProgramAlsoSelectsTheWholeText()
    {
        ScriptedPrompts prompts;
        Form1 form(prompts);
        form.show();
        form.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        form.Text3->setText(QStringLiteral("someone"));
        form.Text3->setCursorPosition(2);
        form.Text3->setFocus(Qt::OtherFocusReason);
        QCOMPARE(form.Text3->selectedText(), QStringLiteral("someone"));
    }

    // ---- Buttons

    void testConnectionSucceedsUnderTheHourglass()
    {
        QUARVEL_REQUIRE_DB();
        ScriptedPrompts prompts;
        Form1 form(prompts);
        fillBoxes(form, TestDatabase::details());
        form.show();
        int modeDuring = -1;
        Qt::CursorShape shapeDuring = Qt::ArrowCursor;
        int connectionsDuring = -1;
        const QString started = serverNow();
        prompts.onShown = [&](const test::Shown&) {
            modeDuring = form.pointer().mode();
            shapeDuring = form.cursor().shape();
            connectionsDuring = windowConnections(started);
        };
        QSignalSpy modes(&form.pointer(), &WindowPointer::modeChanged);
        QTest::mouseClick(form.PushButton5, Qt::LeftButton);
        QCOMPARE(prompts.messages(), QStringList{Success});
        QVERIFY(prompts.errorReports().isEmpty());
        QCOMPARE(modeDuring, int(Hourglass));
        QCOMPARE(shapeDuring, Qt::WaitCursor);
        QCOMPARE(connectionsDuring, 1);
        QCOMPARE(form.pointer().mode(), int(DefaultPointer));
        QCOMPARE(modes.count(), 2);
        QCOMPARE(modes.at(0).first().toInt(), int(Hourglass));
        // Nothing of the test remains.
        QTRY_COMPARE_WITH_TIMEOUT(windowConnections(started), 0, 5000);
    }

    void testConnectionFailsWithTheOneMessage_data()
    {
        QTest::addColumn<QString>("wrong");
        QTest::newRow("password") << "password";
        QTest::newRow("database") << "database";
        QTest::newRow("closed port") << "port";
        QTest::newRow("empty server") << "server";
    }

    void testConnectionFailsWithTheOneMessage()
    {
        QUARVEL_REQUIRE_DB();
        QFETCH(QString, wrong);
        ScriptedPrompts prompts;
        Form1 form(prompts);
        fillBoxes(form, badDetails(wrong));
        int modeDuring = -1;
        prompts.onShown = [&](const test::Shown&) { modeDuring = form.pointer().mode(); };
        form.PushButton5->click();
        // Only the fixed text: never the driver's own.
        QCOMPARE(prompts.shown.size(), 1);
        QCOMPARE(prompts.messages(), QStringList{Failure});
        QCOMPARE(modeDuring, int(Hourglass));
        QCOMPARE(form.pointer().mode(), int(DefaultPointer));
        QCOMPARE(form.cursor().shape(), Qt::ArrowCursor);
    }

    void testConnectionLeavesACustomPointerModeAtDefault()
    {
        QUARVEL_REQUIRE_DB();
        ScriptedPrompts prompts;
        Form1 form(prompts);
        fillBoxes(form, TestDatabase::details());
        moveOver(form.PushButton5);
        QCOMPARE(form.pointer().mode(), int(CustomPointer));
        form.PushButton5->click();
        QCOMPARE(form.pointer().mode(), int(DefaultPointer));
    }

    void nextWithDetailsThatConnectHandsOver()
    {
        QUARVEL_REQUIRE_DB();
        ScriptedPrompts prompts;
        Form1 form(prompts);
        QWidget mainWindow;
        int shown = 0;
        form.setMainWindowShower([&] {
            ++shown;
            mainWindow.show();
            return &mainWindow;
        });
        form.show();
        fillBoxes(form, TestDatabase::details());
        QSignalSpy modes(&form.pointer(), &WindowPointer::modeChanged);
        form.PushButton3->click();
        QCOMPARE(shown, 1);
        QVERIFY(mainWindow.isVisible());
        QVERIFY(!form.isVisible());
        QCOMPARE(modes.count(), 0); // no hourglass for "Next >"
        QVERIFY(prompts.shown.isEmpty());
    }

    void nextWithDetailsThatDoNotConnectDoesNothing()
    {
        QUARVEL_REQUIRE_DB();
        ScriptedPrompts prompts;
        Form1 form(prompts);
        int shown = 0;
        form.setMainWindowShower([&]() -> QWidget* {
            ++shown;
            return nullptr;
        });
        form.show();
        fillBoxes(form, badDetails("password"));
        QSignalSpy modes(&form.pointer(), &WindowPointer::modeChanged);
        form.PushButton3->click();
        QCOMPARE(shown, 0);
        QVERIFY(form.isVisible());
        QCOMPARE(modes.count(), 0);
        QVERIFY(prompts.shown.isEmpty());
    }

    void nextKeepsThisWindowWhenTheMainWindowFails()
    {
        QUARVEL_REQUIRE_DB();
        ScriptedPrompts prompts;
        Form1 form(prompts);
        form.setMainWindowShower([]() -> QWidget* { throw std::runtime_error("Table list failed"); });
        form.show();
        fillBoxes(form, TestDatabase::details());
        form.PushButton3->click();
        QVERIFY(form.isVisible());
        QCOMPARE(prompts.errorReports(),
                 QStringList{errorReportText("Table list failed", "Form1.PushButton3_Click", 102)});
    }

    void helpShowsTheAdvice()
    {
        ScriptedPrompts prompts;
        Form1 form(prompts);
        form.PushButton1->click();
        form.PushButton1->click();
        const QString advice =
            "If you can not connect, please try downloading pgAdmin III. If you can not connect with that "
            "software, you know the login information you are providing here is incorrect.\r\n\r\n"
            "https://www.pgadmin.org/download/";
        QCOMPARE(prompts.messages(), (QStringList{advice, advice}));
        QCOMPARE(prompts.shown.size(), 2);
    }

    // ---- Pointer

    void hoverOverTheConnectionWindow_data()
    {
        const QStringList sets = {"PushButton1", "PushButton3", "PushButton5"};
        const QStringList resets = {"Form1", "Text1", "Text2", "Text3", "Text4", "Text5", "Frame1"};
        const QStringList none = {"Label1", "Label2", "Label3", "Label4", "Label6"};
        test::addHoverRows(sets, resets, none);
    }

    void hoverOverTheConnectionWindow()
    {
        QFETCH(QString, control);
        QFETCH(int, from);
        QFETCH(int, to);
        ScriptedPrompts prompts;
        Form1 form(prompts);
        QWidget* target = control == "Form1" ? &form : form.findChild<QWidget*>(control);
        QVERIFY(target);
        form.pointer().setMode(from);
        moveOver(target);
        QCOMPARE(form.pointer().mode(), to);
    }

    void handCursorFile_data()
    {
        QTest::addColumn<QByteArray>("bytes"); // empty: no file
        QTest::addColumn<bool>("loaded");
        QTest::addColumn<bool>("reported");
        QTest::newRow("missing") << QByteArray() << false << false;
        QTest::newRow("cursor with hot spot") << test::cursorFileBytes(32, 3, 4) << true << false;
        QTest::newRow("not a cursor") << QByteArray("not a cursor at all") << false << true;
    }

    void handCursorFile()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, loaded);
        QFETCH(bool, reported);
        const QString path = m_sandbox.sideFiles.filePath("HAND-M.CUR");
        if (!bytes.isEmpty())
            QVERIFY(test::writeFile(path, bytes));
        ScriptedPrompts prompts;
        ToolWindows windows(prompts);
        windows.start();
        Form1& form = windows.connectionWindow();
        QCOMPARE(form.pointer().hasCustomCursor(), loaded);
        if (loaded) {
            QCOMPARE(form.pointer().customCursor().hotSpot(), QPoint(3, 4));
            moveOver(form.PushButton1);
            QCOMPARE(form.cursor().shape(), Qt::BitmapCursor);
            QCOMPARE(form.cursor().hotSpot(), QPoint(3, 4));
        } else {
            moveOver(form.PushButton1);
            QCOMPARE(form.cursor().shape(), Qt::PointingHandCursor);
        }
        if (reported) {
            QCOMPARE(prompts.errorReports(),
                     QStringList{errorReportText(test::notACursorFile(path), "Form1.Form_Load", 126)});
        } else {
            QVERIFY(prompts.shown.isEmpty());
        }
        // The load went on: the boxes are filled either way.
        QCOMPARE(form.Text1->text(), QStringLiteral("localhost"));
    }

    // ---- Skin and colours

    void withoutSkinTheWindowIsWhite()
    {
        ScriptedPrompts prompts;
        ToolWindows windows(prompts);
        windows.start();
        Form1& form = windows.connectionWindow();
        QCOMPARE(backColor(&form), QColor(Qt::white));
        QCOMPARE(backColor(form.Frame1), QColor(Qt::white));
        for (QLabel* label : {form.Label1, form.Label2, form.Label3, form.Label4, form.Label6}) {
            QCOMPARE(backColor(label), QColor(Qt::white));
            QVERIFY(label->autoFillBackground());
        }
        QVERIFY(form.styleSheet().isEmpty());
        QVERIFY(prompts.shown.isEmpty());
    }

    void withSkinTheWindowTakesButtonFaceAndTheSkin()
    {
        const QByteArray sheet = "QGroupBox { border: 1px solid #446; margin-top: 8px; }\n"
                                 "QPushButton { background: #dde; }\n";
        QVERIFY(test::writeFile(m_sandbox.sideFiles.filePath("x/o.cjs"), sheet));
        ScriptedPrompts prompts;
        ToolWindows windows(prompts);
        windows.start();
        Form1& form = windows.connectionWindow();
        QCOMPARE(backColor(&form), ClassicButtonFace);
        QCOMPARE(backColor(form.Frame1), ClassicButtonFace);
        for (QLabel* label : {form.Label1, form.Label2, form.Label3, form.Label4, form.Label6})
            QCOMPARE(backColor(label), ClassicButtonFace);
        QCOMPARE(form.styleSheet(), QString::fromUtf8(sheet));
        QCOMPARE(form.SkinFramework1.appliedWindow(), static_cast<QWidget*>(&form));
        QCOMPARE(form.size(), QSize(536, 242));
        QVERIFY(prompts.shown.isEmpty());
    }

    void brokenSkinIsReportedAndTheLoadGoesOn()
    {
        const QString path = m_sandbox.sideFiles.filePath("x/o.cjs");
        QVERIFY(test::writeFile(path, "QPushButton { background: #dde;\n"));
        ScriptedPrompts prompts;
        ToolWindows windows(prompts);
        windows.start();
        Form1& form = windows.connectionWindow();
        const QString description =
            QStringLiteral("The skin file %1 is not a valid skin: the brace opened on line 1 is not closed.")
                .arg(QDir::toNativeSeparators(path));
        QCOMPARE(prompts.errorReports(), QStringList{errorReportText(description, "Form1.Form_Load", 100)});
        QVERIFY(form.styleSheet().isEmpty());
        QCOMPARE(form.windowTitle(), QStringLiteral("Quarvel"));
        QCOMPARE(form.Text1->text(), QStringLiteral("localhost"));
        QVERIFY(form.isVisible());
    }

    // ---- Design

    void controlsSitWhereTheLayoutPutsThem()
    {
        ScriptedPrompts prompts;
        Form1 form(prompts);
        QCOMPARE(form.size(), QSize(536, 242));
        QCOMPARE(form.minimumSize(), form.maximumSize());
        QVERIFY(!(form.windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(form.windowFlags() & Qt::WindowMinimizeButtonHint);
        struct Expected
        {
            QWidget* control;
            QWidget* parent;
            QRect pixels;
            QString caption;
        };
        const QList<Expected> expected = {
            {form.Frame1, &form, {8, 8, 520, 189}, "PostgreSQL Database"},
            {form.Label2, form.Frame1, {16, 27, 73, 17}, "Server:"},
            {form.Text1, form.Frame1, {88, 24, 305, 22}, ""},
            {form.Label3, form.Frame1, {400, 27, 33, 17}, "Port:"},
            {form.Text2, form.Frame1, {431, 24, 73, 22}, ""},
            {form.Label1, form.Frame1, {16, 59, 73, 17}, "Username:"},
            {form.Text3, form.Frame1, {88, 56, 417, 22}, ""},
            {form.Label4, form.Frame1, {16, 91, 73, 17}, "Password:"},
            {form.Text4, form.Frame1, {88, 88, 417, 22}, ""},
            {form.Label6, form.Frame1, {16, 123, 73, 17}, "Database:"},
            {form.Text5, form.Frame1, {88, 120, 417, 22}, ""},
            {form.PushButton5, form.Frame1, {16, 152, 240, 27}, "Test Connection"},
            {form.PushButton1, form.Frame1, {264, 152, 240, 27}, "Help"},
            {form.PushButton3, &form, {8, 206, 520, 27}, "Next >"},
        };
        for (const Expected& e : expected) {
            QCOMPARE(e.control->parentWidget(), e.parent);
            QCOMPARE(e.control->geometry(), e.pixels);
            if (auto* label = qobject_cast<QLabel*>(e.control))
                QCOMPARE(label->text(), e.caption);
            else if (auto* button = qobject_cast<QPushButton*>(e.control))
                QCOMPARE(button->text(), e.caption);
            else if (auto* frame = qobject_cast<QGroupBox*>(e.control))
                QCOMPARE(frame->title(), e.caption);
            const QFont font = e.control->font();
            QCOMPARE(font.family(), QStringLiteral("Arial"));
            QVERIFY(font.bold());
            QCOMPARE(font.pointSizeF(), qobject_cast<QPushButton*>(e.control) ? 11.25 : 9.0);
        }
        QCOMPARE(form.font().pointSizeF(), 9.0);
        QVERIFY(!form.font().bold());
    }

    void labelsNameTheirBoxes_data()
    {
        QTest::addColumn<QString>("box");
        QTest::addColumn<QString>("name");
        QTest::newRow("server") << "Text1"
                                << "Server:";
        QTest::newRow("port") << "Text2"
                              << "Port:";
        QTest::newRow("user") << "Text3"
                              << "Username:";
        QTest::newRow("password") << "Text4"
                                  << "Password:";
        QTest::newRow("database") << "Text5"
                                  << "Database:";
    }

    void labelsNameTheirBoxes()
    {
        QFETCH(QString, box);
        QFETCH(QString, name);
        ScriptedPrompts prompts;
        Form1 form(prompts);
        auto* edit = form.findChild<QLineEdit*>(box);
        QVERIFY(edit);
        const QLabel* label = test::labelOf(form, edit);
        QVERIFY(label);
        QCOMPARE(label->text(), name);
        QCOMPARE(test::accessibleName(edit), name);
    }

    void windowIsCentredWhenFirstShown()
    {
        ScriptedPrompts prompts;
        Form1 form(prompts);
        form.move(0, 0);
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        const QRect area = form.screen()->availableGeometry();
        QVERIFY(qAbs(form.frameGeometry().center().x() - area.center().x()) <= 1);
        QVERIFY(qAbs(form.frameGeometry().center().y() - area.center().y()) <= 1);
        // Moved by the user, hidden and shown again: it stays where it was put.
        form.move(10, 20);
        form.hide();
        form.show();
        QCOMPARE(form.pos(), QPoint(10, 20));
    }

    // ---- End

    void closingEitherWindowEndsTheTool()
    {
        ScriptedPrompts prompts;
        ToolWindows windows(prompts);
        windows.start();
        windows.connectionWindow().close();
        QCOMPARE(m_sandbox.ends, 1);
        Form2 mainWindow(prompts, windows.connectionWindow());
        mainWindow.show();
        mainWindow.close();
        QCOMPARE(m_sandbox.ends, 2);
        QVERIFY(prompts.shown.isEmpty());
    }

    void closingTheMainWindowEndsTheToolWhileThisWindowIsHidden()
    {
        QUARVEL_REQUIRE_DB();
        test::storeConnectionDetails(TestDatabase::details());
        ScriptedPrompts prompts;
        ToolWindows windows(prompts);
        windows.start();
        QVERIFY(windows.mainWindow() && windows.mainWindow()->isVisible());
        windows.mainWindow()->close();
        QCOMPARE(m_sandbox.ends, 1);
    }
};

QTEST_MAIN(TestConnectionWindow)
#include "tst_connectionwindow.moc"
