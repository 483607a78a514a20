#pragma once
// Holds `Form1`, the Connection window: the five connection details, "Test Connection", "Help" and
// "Next >". Its load is the start-up of the tool.

#include "db/Database.h"
#include "ui/Controls.h"
#include "ui/SkinFramework.h"

#include <QString>
#include <QWidget>

#include <functional>

class QGroupBox;
class QLabel;
class QLineEdit;

namespace quarvel {
class Prompts;
class Procedure;
} // namespace quarvel

namespace quarvel::ui {

class PushButton;
class WindowPointer;

class Form1 : public QWidget
{
    Q_OBJECT
public:
    explicit Form1(Prompts& prompts, QWidget* parent = nullptr);
    ~Form1() override;

    // The seam to the Main window: shows it modeless, creating and loading it on the first call, and
    // answers it (or nullptr). The Main window's "< Back" shows this window again with show().
    using MainWindowShower = std::function<QWidget*()>;
    void setMainWindowShower(MainWindowShower shower) { m_showMainWindow = std::move(shower); }

    // The start-up: runs Form_Load, then shows the window unless the load handed over to the Main window.
    void load();

    // The connection details as the five boxes hold them now, and the connection string made of them.
    // Every connection of the tool is made with these at the moment it connects.
    db::ConnectionDetails connectionDetails() const;
    QString connectionString() const;

    WindowPointer& pointer() const { return *m_pointer; }

    // Window procedures.
    void Form_Load();
    void Form_Unload();
    void PushButton1_Click(); // "Help"
    void PushButton3_Click(); // "Next >"
    void PushButton5_Click(); // "Test Connection"
    void Text1_Change();
    void Text2_Change();
    void Text3_Change();
    void Text4_Change();
    void Text5_Change();
    void Text1_GotFocus();
    void Text2_GotFocus();
    void Text3_GotFocus();
    void Text4_GotFocus();
    void Text5_GotFocus();

    // Controls.
    QGroupBox* Frame1 = nullptr;
    QLabel* Label1 = nullptr;          // "Username:"
    QLabel* Label2 = nullptr;          // "Server:"
    QLabel* Label3 = nullptr;          // "Port:"
    QLabel* Label4 = nullptr;          // "Password:"
    QLabel* Label6 = nullptr;          // "Database:"
    QLineEdit* Text1 = nullptr;        // server
    QLineEdit* Text2 = nullptr;        // port
    QLineEdit* Text3 = nullptr;        // user name
    QLineEdit* Text4 = nullptr;        // password, shown as '*'
    QLineEdit* Text5 = nullptr;        // database
    PushButton* PushButton1 = nullptr; // "Help"
    PushButton* PushButton3 = nullptr; // "Next >"
    PushButton* PushButton5 = nullptr; // "Test Connection"
    SkinFramework SkinFramework1;

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Shows the Main window at showLine and hides this window at hideLine, but only when the Main
    // window did appear: a window that failed to come up must not leave the tool without any window.
    void handOverToMainWindow(Procedure& procedure, int showLine, int hideLine);
    static void selectWholeText(QLineEdit* box);

    Prompts& m_prompts;
    WindowPointer* m_pointer = nullptr;
    MainWindowShower m_showMainWindow;
    bool m_handedOver = false;
    SettingWriter m_settings;
};

} // namespace quarvel::ui
