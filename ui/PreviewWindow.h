#pragma once
// "Preview": what "Start Replacing" would do with the ticked tables and the current pair or sets, seen
// before anything is written. Counts per table and column, then samples with the changed parts marked;
// progress and Cancel while the tables are read; the samples can be saved as CSV.

#include "core/Prompts.h"
#include "engine/Preview.h"

#include <QDialog>

class QLabel;
class QPushButton;
class QTableWidget;
class QTreeWidget;

namespace quarvel::ui {

class PreviewWindow : public QDialog
{
public:
    PreviewWindow(Prompts& prompts, QWidget* parent = nullptr);

    // Reads the tables, showing progress, and fills the window; returns when done or cancelled. A
    // connection that cannot be opened is told as a message.
    void start(const engine::PreviewRequest& request);
    bool isCancelled() const { return m_cancelled; }
    const QList<engine::PreviewTable>& result() const { return m_result; }

    QLabel* Status = nullptr;
    QTreeWidget* Counts = nullptr;
    QTableWidget* Samples = nullptr;
    QPushButton* CancelButton = nullptr;
    QPushButton* SaveButton = nullptr;
    QPushButton* CloseButton = nullptr;

    void SaveButton_Click();
    // Escape, the title bar's close and "Close" while the tables are read end the walk and keep the
    // window with what was read; afterwards they close it.
    void reject() override;

private:
    void fill();

    Prompts& m_prompts;
    bool m_cancelled = false;
    bool m_running = false;
    QList<engine::PreviewTable> m_result;
};

} // namespace quarvel::ui
