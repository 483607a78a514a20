#pragma once
// "Undo a Run": the runs the journal holds, newest first, and the undo of the one selected. Each field goes
// back to its old text only where it still holds what the run stored. The selected run's details; before
// asking, a pass that changes nothing counts what the undo would put back and what it would keep; progress
// and Cancel while either works, then the outcome and every record not put back, which can be saved as CSV.

#include "core/Prompts.h"
#include "engine/Journal.h"
#include "engine/Undo.h"

#include <QDialog>

#include <vector>

class QLabel;
class QListWidget;
class QPushButton;
class QTextBrowser;
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
    QTextBrowser* RunDetails = nullptr; // what the selected run did
    QPushButton* UndoButton = nullptr;
    QPushButton* CancelButton = nullptr;
    QLabel* Status = nullptr;
    QListWidget* Details = nullptr;
    QPushButton* SaveButton = nullptr; // the records not put back, as CSV
    QPushButton* CloseButton = nullptr;

    // Undoes the current row's run after the user agrees; refusals and failures are told as messages.
    void UndoButton_Click();
    void SaveButton_Click();
    // Escape, the title bar's close and "Close" while an undo works stop it after the rows at hand and
    // keep the window; afterwards they close it.
    void reject() override;

private:
    void layOut(QLabel* runsLabel, QLabel* runLabel, QLabel* detailsLabel);
    void showRun();
    // Runs the undo or its counting pass with progress and Cancel; false when it could not begin (told).
    bool work(qint64 id, bool lookOnly, engine::UndoReport& report);

    Prompts& m_prompts;
    engine::Journal& m_journal;
    QString m_connectionString;
    std::vector<engine::JournalRun> m_runs; // as listed, newest first
    bool m_running = false;
    bool m_cancelled = false;
    engine::UndoReport m_report; // of the last undo
};

} // namespace quarvel::ui
