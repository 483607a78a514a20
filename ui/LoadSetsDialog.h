#pragma once
// Holds `Form3`, the Load Sets dialog: a file and a separator, "Load" appends the file's sets to the
// Main window's set lists. Created anew at each opening and destroyed when it closes.

#include "ui/Controls.h"

#include <QDialog>
#include <QString>

#include <array>

class QLabel;
class QLineEdit;

namespace quarvel {
class Prompts;
}

namespace quarvel::engine {
class SetLists;
}

namespace quarvel::ui {

class PushButton;
class WindowPointer;

class Form3 : public QDialog
{
    Q_OBJECT
public:
    // lists: the Main window's set lists, to which "Load" appends.
    Form3(Prompts& prompts, engine::SetLists& lists, QWidget* parent = nullptr);
    ~Form3() override;

    // One opening: creates the dialog over parent, runs Form_Load, shows it modally until it closes
    // and destroys it. Returns when the dialog has closed (or its parent went away).
    static void showModal(Prompts& prompts, engine::SetLists& lists, QWidget* parent);

    WindowPointer& pointer() const { return *m_pointer; }

    // The separator advice of "?", lines joined by CR LF.
    static QString separatorAdvice();

    // Window procedures.
    void Form_Load();
    void PushButton1_Click();  // "Load"
    void PushButton2_Click();  // "Cancel"
    void PushButton3_Click();  // "?"
    void PushButton16_Click(); // "..."
    void Text2_Change();

    // Controls. The open-file dialog (`CommonDialog1`) is the prompts' openFileName.
    std::array<QLabel*, 2> Label1{};    // (0) "File To Load:", (1) "Separator:"
    QLineEdit* Text1 = nullptr;         // path of the file to load
    QLineEdit* Text2 = nullptr;         // separator
    PushButton* PushButton1 = nullptr;  // "Load"
    PushButton* PushButton2 = nullptr;  // "Cancel"
    PushButton* PushButton3 = nullptr;  // "?"
    PushButton* PushButton16 = nullptr; // "..."

private:
    Prompts& m_prompts;
    engine::SetLists& m_lists;
    WindowPointer* m_pointer = nullptr;
    SettingWriter m_settings;
};

} // namespace quarvel::ui
