// Holds `Form1`, the Connection window.
#include "ui/ConnectionWindow.h"

#include "core/Identity.h"
#include "core/Procedure.h"
#include "core/Prompts.h"
#include "db/Database.h"
#include "settings/SettingsStore.h"
#include "ui/Appearance.h"
#include "ui/ControlTable.h"
#include "ui/Controls.h"
#include "ui/EndOfTool.h"
#include "ui/PushButton.h"
#include "ui/WindowPointer.h"

#include <QCloseEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>

#include <optional>

namespace quarvel::ui {

namespace {

// Client area of the window, in twips.
constexpr int ClientWidth = 8040;
constexpr int ClientHeight = 3630;

const QString HelpAddress = QStringLiteral("https://www.pgadmin.org/download/");

} // namespace

Form1::Form1(Prompts& prompts, QWidget* parent)
    : QWidget(parent), m_prompts(prompts), m_settings(prompts, QStringLiteral("Form1"))
{
    centreOnFirstShowing(*this);
    setObjectName(QStringLiteral("Form1"));
    makeFixedWindow(*this, twipsSize(ClientWidth, ClientHeight));
    setFont(arialFont(WindowFontSize));

    // Places inside Frame1 are relative to the frame. The keyboard goes through the five boxes, "Test
    // Connection", "Help", "Next >"; the labels name the boxes for assistive tools.
    const ControlRow<Form1> controls[] = {
        {.control = Frame1,
         .name = "Frame1",
         .place = {120, 120, 7800, 2830},
         .caption = "PostgreSQL Database"},
        {.control = Label2,
         .name = "Label2",
         .place = {240, 405, 1095, 255},
         .caption = "Server:",
         .parent = Frame1,
         .buddy = Text1},
        {.control = Text1,
         .name = "Text1",
         .place = {1320, 360, 4575, 330},
         .parent = Frame1,
         .tab = 0,
         .handler = &Form1::Text1_Change},
        {.control = Label3,
         .name = "Label3",
         .place = {6000, 405, 495, 255},
         .caption = "Port:",
         .parent = Frame1,
         .buddy = Text2},
        {.control = Text2,
         .name = "Text2",
         .place = {6465, 360, 1095, 330},
         .parent = Frame1,
         .tab = 1,
         .handler = &Form1::Text2_Change},
        {.control = Label1,
         .name = "Label1",
         .place = {240, 885, 1095, 255},
         .caption = "Username:",
         .parent = Frame1,
         .buddy = Text3},
        {.control = Text3,
         .name = "Text3",
         .place = {1320, 840, 6255, 330},
         .parent = Frame1,
         .tab = 2,
         .handler = &Form1::Text3_Change},
        {.control = Label4,
         .name = "Label4",
         .place = {240, 1365, 1095, 255},
         .caption = "Password:",
         .parent = Frame1,
         .buddy = Text4},
        {.control = Text4,
         .name = "Text4",
         .place = {1320, 1320, 6255, 330},
         .parent = Frame1,
         .tab = 3,
         .handler = &Form1::Text4_Change},
        {.control = Label6,
         .name = "Label6",
         .place = {240, 1845, 1095, 255},
         .caption = "Database:",
         .parent = Frame1,
         .buddy = Text5},
        {.control = Text5,
         .name = "Text5",
         .place = {1320, 1800, 6255, 330},
         .parent = Frame1,
         .tab = 4,
         .handler = &Form1::Text5_Change},
        {.control = PushButton5,
         .name = "PushButton5",
         .place = {240, 2280, 3600, 400},
         .caption = "Test Connection",
         .parent = Frame1,
         .tab = 5,
         .handler = &Form1::PushButton5_Click},
        {.control = PushButton1,
         .name = "PushButton1",
         .place = {3960, 2280, 3600, 405},
         .caption = "Help",
         .parent = Frame1,
         .tab = 6,
         .handler = &Form1::PushButton1_Click},
        {.control = PushButton3,
         .name = "PushButton3",
         .place = {120, 3090, 7800, 405},
         .caption = "Next >",
         .tab = 7,
         .handler = &Form1::PushButton3_Click},
    };
    buildControls(*this, TextWeight::Bold, controls);

    Text4->setEchoMode(QLineEdit::Password);
    Text4->setStyleSheet(QStringLiteral("QLineEdit { lineedit-password-character: 42; }"));
    Text1->setFocus();
    // Entering a box selects its whole text (the GotFocus procedures).
    for (QLineEdit* box : {Text1, Text2, Text3, Text4, Text5})
        box->installEventFilter(this);

    m_pointer = pointerOverButtons(*this, {PushButton1, PushButton3, PushButton5});
    for (QWidget* control : std::initializer_list<QWidget*>{Text1, Text2, Text3, Text4, Text5, Frame1})
        m_pointer->addResetPlace(control);
}

Form1::~Form1() = default;

void Form1::load()
{
    m_handedOver = false;
    Form_Load();
    if (!m_handedOver)
        show();
}

db::ConnectionDetails Form1::connectionDetails() const
{
    return {Text1->text(), Text2->text(), Text3->text(), Text4->text(), Text5->text()};
}

QString Form1::connectionString() const
{
    return db::BuildConnectionString(connectionDetails());
}

void Form1::Form_Load()
{
    using namespace settings;
    Procedure p(m_prompts, QStringLiteral("Form1.Form_Load"));
    p.step(100, [&] { ApplySkin(*this, SkinFramework1); });
    p.step(104, [&] { setWindowTitle(QLatin1String(identity::ProductName)); });
    p.step(104, [&] { setWindowIcon(applicationIcon()); });
    p.step(104, [&] {
        identity::setApplicationTitle(identity::applicationTitleFor(QLatin1String(identity::ProductName)));
    });
    handCursorStep(p, 124, 126, *m_pointer);
    p.step(128, [&] {
        Text1->setText(
            GetSetting(QLatin1String(Key::PostgreSQLServer), QLatin1String(Default::PostgreSQLServer)));
    });
    p.step(130, [&] {
        Text2->setText(
            GetSetting(QLatin1String(Key::PostgreSQLPort), QLatin1String(Default::PostgreSQLPort)));
    });
    p.step(132, [&] { Text3->setText(GetSetting(QLatin1String(Key::PostgreSQLUser))); });
    p.step(134, [&] { Text4->setText(GetSetting(QLatin1String(Key::PostgreSQLPassword))); });
    p.step(136, [&] { Text5->setText(GetSetting(QLatin1String(Key::PostgreSQLDatabase))); });
    if (p.test(138, [&] { return db::CanConnect(connectionDetails()); }))
        handOverToMainWindow(p, 140, 142);
}

void Form1::handOverToMainWindow(Procedure& procedure, int showLine, int hideLine)
{
    QWidget* mainWindow = nullptr;
    procedure.step(showLine, [&] {
        if (!m_showMainWindow)
            throw std::logic_error("The Main window is not available.");
        mainWindow = m_showMainWindow();
    });
    procedure.step(hideLine, [&] {
        if (!mainWindow || !mainWindow->isVisible())
            return;
        hide();
        m_handedOver = true;
    });
}

void Form1::PushButton5_Click()
{
    Procedure p(m_prompts, QStringLiteral("Form1.PushButton5_Click"));
    std::optional<db::ConnectionTest> test;
    p.step(100, [&] { test.emplace(connectionDetails()); });

    // From here on a failure is not reported: it only leads to the failure message.
    bool failed = false;
    try {
        m_pointer->setMode(Hourglass); // 102
        if (!test)
            throw std::runtime_error("No connection object");
        test->open();                                                // 104
        m_prompts.message(QStringLiteral("Connection successful.")); // 106, still under the hourglass
        m_pointer->setMode(DefaultPointer);                          // 108
    } catch (...) {
        failed = true;
    }
    if (failed) { // 110
        p.step(112, [&] { m_prompts.message(db::ConnectionTest::failureMessage(connectionDetails())); });
        p.step(114, [&] { m_pointer->setMode(DefaultPointer); });
    }
    // Releasing the test closes its connection.
}

void Form1::PushButton3_Click()
{
    Procedure p(m_prompts, QStringLiteral("Form1.PushButton3_Click"));
    if (p.test(100, [&] { return db::CanConnect(connectionDetails()); }))
        handOverToMainWindow(p, 102, 104);
}

void Form1::PushButton1_Click()
{
    Procedure p(m_prompts, QStringLiteral("Form1.PushButton1_Click"));
    QString text;
    p.step(100,
           [&] { text = QStringLiteral("If you can not connect, please try downloading pgAdmin III. "); });
    p.step(102, [&] {
        text +=
            QStringLiteral("If you can not connect with that software, you know the login information you "
                           "are providing here is incorrect.");
    });
    p.step(104, [&] { text += QStringLiteral("\r\n\r\n") + HelpAddress; });
    p.step(106, [&] { m_prompts.message(text); });
}

void Form1::Text1_Change()
{
    m_settings.save(settings::Key::PostgreSQLServer, Text1->text(), "Text1_Change");
}

void Form1::Text2_Change()
{
    m_settings.save(settings::Key::PostgreSQLPort, Text2->text(), "Text2_Change");
}

void Form1::Text3_Change()
{
    m_settings.save(settings::Key::PostgreSQLUser, Text3->text(), "Text3_Change");
}

void Form1::Text4_Change()
{
    m_settings.save(settings::Key::PostgreSQLPassword, Text4->text(), "Text4_Change");
}

void Form1::Text5_Change()
{
    m_settings.save(settings::Key::PostgreSQLDatabase, Text5->text(), "Text5_Change");
}

void Form1::selectWholeText(QLineEdit* box)
{
    box->setSelection(0, int(box->text().size()));
}

void Form1::Text1_GotFocus()
{
    selectWholeText(Text1);
}

void Form1::Text2_GotFocus()
{
    selectWholeText(Text2);
}

void Form1::Text3_GotFocus()
{
    selectWholeText(Text3);
}

void Form1::Text4_GotFocus()
{
    selectWholeText(Text4);
}

void Form1::Text5_GotFocus()
{
    selectWholeText(Text5);
}

bool Form1::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::FocusIn) {
        if (watched == Text1)
            Text1_GotFocus();
        else if (watched == Text2)
            Text2_GotFocus();
        else if (watched == Text3)
            Text3_GotFocus();
        else if (watched == Text4)
            Text4_GotFocus();
        else if (watched == Text5)
            Text5_GotFocus();
    }
    return QWidget::eventFilter(watched, event);
}

void Form1::Form_Unload()
{
    endTool();
}

void Form1::closeEvent(QCloseEvent* event)
{
    event->accept();
    Form_Unload();
}

} // namespace quarvel::ui
