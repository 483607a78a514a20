// Holds `Form3`, the Load Sets dialog.
#include "ui/LoadSetsDialog.h"

#include "core/Procedure.h"
#include "core/Prompts.h"
#include "engine/SetFiles.h"
#include "engine/SetLists.h"
#include "settings/SettingsStore.h"
#include "ui/Appearance.h"
#include "ui/ControlTable.h"
#include "ui/Controls.h"
#include "ui/PushButton.h"
#include "ui/WindowPointer.h"

#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QStringList>

#include <algorithm>

namespace quarvel::ui {

namespace {

// Client area of the dialog, in twips.
constexpr int ClientWidth = 8040;
constexpr int ClientHeight = 1605;

const QString SelectFileTitle = QStringLiteral("Select Text File");
const QString TextFileFilter = QStringLiteral("Text Files (*.txt)|*.txt|");

void buildForm3Controls(Form3& form)
{
    // The keyboard goes through the two boxes, "Load", "Cancel", then the two symbol buttons, which say
    // in words what they do.
    const ControlRow<Form3> controls[] = {
        {.control = form.Label1[0],
         .name = "Label1_0",
         .place = {120, 180, 1050, 225},
         .caption = "File To Load:",
         .buddy = form.Text1},
        {.control = form.Text1, .name = "Text1", .place = {1320, 120, 5880, 345}, .tab = 0},
        {.control = form.PushButton16,
         .name = "PushButton16",
         .place = {7320, 120, 600, 345},
         .caption = "...",
         .tab = 4,
         .spokenName = "Browse for the file to load",
         .handler = &Form3::PushButton16_Click},
        {.control = form.Label1[1],
         .name = "Label1_1",
         .place = {120, 660, 900, 225},
         .caption = "Separator:",
         .buddy = form.Text2},
        {.control = form.Text2,
         .name = "Text2",
         .place = {1320, 600, 5880, 345},
         .tab = 1,
         .handler = &Form3::Text2_Change},
        {.control = form.PushButton3,
         .name = "PushButton3",
         .place = {7320, 600, 600, 345},
         .caption = "?",
         .tab = 5,
         .spokenName = "How to choose the separator",
         .handler = &Form3::PushButton3_Click},
        {.control = form.PushButton1,
         .name = "PushButton1",
         .place = {120, 1080, 3840, 400},
         .caption = "Load",
         .tab = 2,
         .handler = &Form3::PushButton1_Click},
        {.control = form.PushButton2,
         .name = "PushButton2",
         .place = {4080, 1080, 3840, 405},
         .caption = "Cancel",
         .tab = 3,
         .handler = &Form3::PushButton2_Click},
    };
    buildControls(form, TextWeight::Bold, controls);
}

} // namespace

Form3::Form3(Prompts& prompts, engine::SetLists& lists, QWidget* parent)
    : QDialog(parent), m_prompts(prompts), m_lists(lists), m_settings(prompts, QStringLiteral("Form3"))
{
    centreOnFirstShowing(*this);
    setObjectName(QStringLiteral("Form3"));
    setWindowTitle(QStringLiteral("Load Sets"));
    makeFixedWindow(*this, twipsSize(ClientWidth, ClientHeight), /*minimizeButton*/ false);
    setFont(arialFont(WindowFontSize));

    buildForm3Controls(*this);

    // This platform's bold Arial runs a little wider than the design allowed for: the caption may grow
    // into the gap before the file box so that its colon is not cut off.
    Label1[0]->resize(
        std::clamp(Label1[0]->sizeHint().width(), Label1[0]->width(), Text1->x() - Label1[0]->x() - 2),
        Label1[0]->height());
    Text1->setFocus();

    // The buttons show the hand, the dialog's surface the default pointer; the labels and the boxes
    // leave the pointer as it is.
    m_pointer = pointerOverButtons(*this, {PushButton1, PushButton2, PushButton3, PushButton16});
}

Form3::~Form3() = default;

void Form3::showModal(Prompts& prompts, engine::SetLists& lists, QWidget* parent)
{
    // Guarded: the tool may end, taking the parent and with it the dialog, while the dialog is open.
    QPointer<Form3> dialog = new Form3(prompts, lists, parent);
    dialog->Form_Load();
    if (dialog)
        dialog->exec();
    delete dialog.data();
}

QString Form3::separatorAdvice()
{
    const QStringList lines = {
        QStringLiteral("If the text file you are loading looks like this:"),
        QString(),
        QStringLiteral("hi::hello"),
        QStringLiteral("peter::pete"),
        QString(),
        QStringLiteral("then use :: as a Separator"),
        QString(),
        QStringLiteral("If the text file you are loading looks like this:"),
        QString(),
        QStringLiteral("hi,hello"),
        QStringLiteral("peter,pete"),
        QString(),
        QStringLiteral("then use , as a Separator"),
        QString(),
        QStringLiteral("NOTE: The 'Save Sets' feature in this software always saves in this format:"),
        QString(),
        QStringLiteral("hi::hello"),
        QStringLiteral("peter::pete"),
    };
    return lines.join(QStringLiteral("\r\n"));
}

void Form3::Form_Load()
{
    using namespace settings;
    Procedure p(m_prompts, QStringLiteral("Form3.Form_Load"));
    p.step(100, [&] { SetButtonFaceColors(*this); });
    p.step(102, [&] { setWindowIcon(applicationIcon()); });
    handCursorStep(p, 104, 106, *m_pointer);
    // Setting the box stores the value again through Text2_Change, the default on a fresh account.
    p.step(106, [&] {
        Text2->setText(GetSetting(QLatin1String(Key::Form2_Text2), QLatin1String(Default::Form2_Text2)));
    });
}

void Form3::PushButton16_Click()
{
    Procedure p(m_prompts, QStringLiteral("Form3.PushButton16_Click"));
    // No flags: a name of a file that does not exist yet is accepted, and refused later by "Load".
    FileDialogRequest CommonDialog1;
    p.step(100, [&] { CommonDialog1.fileName.clear(); });
    p.step(102, [&] { CommonDialog1.title = SelectFileTitle; });
    p.step(104, [&] { CommonDialog1.filter = TextFileFilter; });
    QString chosen;
    p.step(106, [&] { chosen = m_prompts.openFileName(CommonDialog1); });
    if (p.test(108, [&] { return !chosen.isEmpty(); }))
        p.step(110, [&] { Text1->setText(chosen); });
}

void Form3::PushButton3_Click()
{
    Procedure p(m_prompts, QStringLiteral("Form3.PushButton3_Click"));
    p.step(100, [&] { m_prompts.message(separatorAdvice()); });
}

void Form3::PushButton2_Click()
{
    Procedure p(m_prompts, QStringLiteral("Form3.PushButton2_Click"));
    p.step(100, [&] { reject(); });
}

void Form3::PushButton1_Click()
{
    Procedure p(m_prompts, QStringLiteral("Form3.PushButton1_Click"));
    // A separator of blanks only is a separator; an empty one would cut between every character.
    if (p.test(100, [&] { return Text2->text().isEmpty(); })) {
        p.step(130, [&] { m_prompts.message(QStringLiteral("You must enter separating character(s).")); });
        return;
    }
    if (p.test(102, [&] { return engine::blankOnly(Text1->text()); }))
        return;
    // The path is tested and read exactly as typed, blanks included.
    if (p.test(104, [&] { return !engine::isFileToLoad(Text1->text()); })) {
        p.step(128, [&] { m_prompts.message(Text1->text() + QStringLiteral(" not found.")); });
        return;
    }
    // A file that cannot be read is reported here and then loads as an empty text: no sets.
    const auto file = p.value<engine::TextFile>(106, {}, [&] { return engine::ReadTextFile(Text1->text()); });
    engine::LoadSetsFromText(p, m_lists, file, Text2->text());
    p.step(126, [&] { accept(); });
}

void Form3::Text2_Change()
{
    m_settings.save(settings::Key::Form2_Text2, Text2->text(), "Text2_Change");
}

} // namespace quarvel::ui
