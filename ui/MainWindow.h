#pragma once
// Holds `Form2`, the Main window: the table list, the single pair and the sets, "Start Replacing" and
// "< Back". The window is the replacement run's host: the run reads the list, the tab, the texts and the
// sets from its controls while it goes on.

#include "engine/Preview.h"
#include "engine/ReplaceRun.h"
#include "engine/SetLists.h"
#include "ui/Controls.h"

#include <QWidget>

#include <functional>
#include <memory>

class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;

namespace quarvel {
class Prompts;
class Procedure;
namespace engine {
class SetsTab;
}
} // namespace quarvel

namespace quarvel::ui {

class Form1;
class PreviewWindow;
class PushButton;
class TabControl;
class UndoWindow;
class WindowPointer;

class Form2 : public QWidget, private engine::RunHost
{
    Q_OBJECT
public:
    // connectionWindow: where the connection details live and what "< Back" shows again.
    Form2(Prompts& prompts, Form1& connectionWindow, QWidget* parent = nullptr);
    ~Form2() override;

    // Opens the Load Sets dialog modally over this window; tests replace it.
    using LoadSetsDialog = std::function<void(Prompts&, engine::SetLists&, QWidget* parent)>;
    void setLoadSetsDialog(LoadSetsDialog dialog) { m_loadSetsDialog = std::move(dialog); }

    engine::SetLists& setLists() const { return *m_sets; }

    // Waits on the preview once it has read the tables, until the user closes it; tests replace it.
    using ShowPreview = std::function<void(PreviewWindow&)>;
    void setShowPreview(ShowPreview show) { m_showPreview = std::move(show); }
    // The ticked tables and the pair or sets of the selected tab, as "Start Replacing" would take them.
    engine::RunRequest previewRequest();
    // Waits on the Undo a Run window until the user closes it; tests replace it.
    using ShowUndo = std::function<void(UndoWindow&)>;
    void setShowUndo(ShowUndo show) { m_showUndo = std::move(show); }
    WindowPointer& pointer() const { return *m_pointer; }

    // Window procedures.
    void Form_Load();
    void Form_Unload();
    void PushButton1_Click();   // "Start Replacing"
    void PreviewButton_Click(); // "Preview...": what "Start Replacing" would do, nothing stored
    void UndoButton_Click();    // "Undo a Run...": a journaled run's fields back to their old texts
    void PushButton3_Click();   // "Help"
    void PushButton5_Click();   // "< Back"
    void PushButton8_Click();   // "Select All"
    void PushButton9_Click();   // "Deselect All"
    void PushButton10_Click();  // "Add Set"
    void PushButton11_Click();  // "Clear All Sets"
    void PushButton12_Click();  // "Load Sets"
    void PushButton13_Click();  // "Remove Selected Set"
    void PushButton14_Click();  // "Save Sets"
    void Combo1_Click();
    void Combo2_Click();
    void Text1_Change();
    void Text2_Change();
    void TabControl1_SelectedChanged();

    // Controls.
    PushButton* PushButton3 = nullptr;   // "Help"
    QLabel* Label3 = nullptr;            // " Select tables to find and replace within:"
    QListWidget* List1 = nullptr;        // table names, one tick box each
    PushButton* PushButton8 = nullptr;   // "Select All"
    PushButton* PushButton9 = nullptr;   // "Deselect All"
    TabControl* TabControl1 = nullptr;   // "Find and replace", "Multiple find and replace sets"
    QLabel* Label2 = nullptr;            // tab 0: " Find what (exact case):"
    QLineEdit* Text1 = nullptr;          // tab 0: find text
    QLabel* Label5 = nullptr;            // tab 0: " Replace with:"
    QLineEdit* Text2 = nullptr;          // tab 0: replacement text
    QLabel* Label7 = nullptr;            // tab 1: " Find what (exact case):"
    QComboBox* Combo1 = nullptr;         // tab 1: find texts of the sets
    QLabel* Label6 = nullptr;            // tab 1: " Replace with:"
    QComboBox* Combo2 = nullptr;         // tab 1: replacement texts of the sets
    PushButton* PushButton10 = nullptr;  // "Add Set"
    PushButton* PushButton12 = nullptr;  // "Load Sets"
    PushButton* PushButton14 = nullptr;  // "Save Sets"
    PushButton* PushButton13 = nullptr;  // "Remove Selected Set"
    PushButton* PushButton11 = nullptr;  // "Clear All Sets"
    PushButton* PushButton1 = nullptr;   // "Start Replacing"
    PushButton* PushButton5 = nullptr;   // "< Back"
    QLabel* StatusLine = nullptr;        // where a run stands, under "< Back"
    PushButton* PreviewButton = nullptr; // "Preview...", under the status line
    PushButton* UndoButton = nullptr;    // "Undo a Run...", beside "Preview..."

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void tickAll(const char* location, Qt::CheckState state);

    // The run's view of the window.
    int tableCount() override;
    bool isTicked(int entry) override;
    db::Table table(int entry) override;
    QString tableText(int entry) override;
    QString connectionString() override;
    int selectedTab() override;
    QString findText() override;
    QString replaceText() override;
    int setCount() override;
    QString setFindText(int set) override;
    QString setReplaceText(int set) override;
    void processEvents() override;
    bool stopRequested() override { return m_closing; }
    void setPointerMode(PointerMode mode) override;
    Prompts& prompts() override;
    void progress(int entry, int entryCount, long long record, long long recordCount) override;
    // Opened at the first run or undo and kept, so that every run of the window goes on record.
    engine::Journal* journal() override;

    Prompts& m_prompts;
    Form1& m_connectionWindow;
    WindowPointer* m_pointer = nullptr;
    std::unique_ptr<engine::SetLists> m_sets;
    std::unique_ptr<engine::SetsTab> m_setsTab;
    LoadSetsDialog m_loadSetsDialog;
    ShowPreview m_showPreview; // none: the preview's own modal loop
    ShowUndo m_showUndo;       // none: the undo window's own modal loop
    std::unique_ptr<engine::Journal> m_journal;
    SettingWriter m_settings;
    qint64 m_lastProgress = 0;
    // The window's run: a press of "Start Replacing" or "< Back" during it is refused.
    engine::ReplaceRun m_run;
    // Closed during a run: the run stops at the next record and stores what it has logged, then the
    // tool ends. Ending at once would leave up to a batch of records in the log that were never stored.
    bool m_closing = false;
};

} // namespace quarvel::ui
