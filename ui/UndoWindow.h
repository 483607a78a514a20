#pragma once
// "Undo a Run": the runs the journal holds, newest first, and the undo of the one selected. Each field goes
// back to its old text only where it still holds what the run stored; progress and Cancel while that
// works, then the outcome and every record not put back, in the window.

#include "core/Prompts.h"
#include "engine/Journal.h"

#include <QDialog>

#include <vector>

class QLabel;
class QListWidget;
class QPushButton;
class QTreeWidget;

namespace quarvel::ui {

class UndoWindow : public QDialog
{
public:
    // connectionString: the database the Main window would write to; a run made elsewhere is refused.
    // Reads the runs at once; a journal that cannot be read is told as a message.
    UndoWindow(Prompts& prompts, engine::Journal& journal, QString connectionString,
               QWidget* parent = nullptr);

    // Reads the runs again and makes the given run the current row (the newest when it is not listed).
    void refresh(qint64 current = 0);

    QTreeWidget* RunList = nullptr;
    QPushButton* UndoButton = nullptr;
    QPushButton* CancelButton = nullptr;
    QLabel* Status = nullptr;
    QListWidget* Details = nullptr;
    QPushButton* CloseButton = nullptr;

    // Undoes the current row's run after the user agrees; refusals and failures are told as messages.
    void UndoButton_Click();
    // Escape, the title bar's close and "Close" while an undo works stop it after the rows at hand and
    // keep the window; afterwards they close it.
    void reject() override;

private:
    Prompts& m_prompts;
    engine::Journal& m_journal;
    QString m_connectionString;
    std::vector<engine::JournalRun> m_runs; // as listed, newest first
    bool m_running = false;
    bool m_cancelled = false;
};

} // namespace quarvel::ui
