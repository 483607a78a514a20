#pragma once
// "Preview": what "Start Replacing" would do with the ticked tables and the current pair or sets, seen
// before anything is written. Counts per table and column, then samples with what goes struck through on a
// red tint and what comes on a green one (and between « and » for those who do not see colour), the
// selected sample's whole values under them; progress and Cancel while the tables are read; the samples can
// be saved as CSV.

#include "core/Prompts.h"
#include "engine/Preview.h"

#include <QDialog>

class QLabel;
class QPushButton;
class QTableWidget;
class QTextBrowser;
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
    QTextBrowser* Detail = nullptr; // the selected sample's whole old and new values
    QPushButton* CancelButton = nullptr;
    QPushButton* SaveButton = nullptr;
    QPushButton* CloseButton = nullptr;

    void SaveButton_Click();
    // Escape, the title bar's close and "Close" while the tables are read end the walk and keep the
    // window with what was read; afterwards they close it.
    void reject() override;

    // The most of a value the detail pane shows: enough to read any text a person would, and small
    // enough that a value of megabytes does not stall the window.
    static constexpr qsizetype DetailLimit = 100'000;

private:
    QLabel* makeSamples();
    void layOut(QLabel* countsLabel, QLabel* samplesLabel, QLabel* detailLabel);
    void fill();
    void addSample(const engine::PreviewChange& change);
    void fitColumns();
    void showDetail();

    Prompts& m_prompts;
    bool m_cancelled = false;
    bool m_running = false;
    QList<engine::PreviewTable> m_result;
    QList<const engine::PreviewChange*> m_rows; // the sample in each row of Samples
};

} // namespace quarvel::ui
