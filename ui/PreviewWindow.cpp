#include "ui/PreviewWindow.h"

#include "db/DbError.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace quarvel::ui {

namespace {

// Keeps the window answering while the tables are read: events (Cancel among them) are handled every
// few milliseconds, far inside the tenth of a second a click may wait, without slowing the walk.
class WindowObserver : public engine::PreviewObserver
{
public:
    WindowObserver(QLabel& status, const bool& cancelled, const engine::PreviewRequest& request)
        : m_status(status), m_cancelled(cancelled), m_request(request)
    {
        m_clock.start();
    }
    void progress(int entry, int entryCount, long long record, long long recordCount) override
    {
        if (record != 0 && m_clock.elapsed() < 20)
            return;
        m_clock.restart();
        m_status.setText(QStringLiteral("Table %1 of %2, %3: record %4 of %5")
                             .arg(entry + 1)
                             .arg(entryCount)
                             .arg(m_request.tables.at(entry).second)
                             .arg(record)
                             .arg(recordCount));
        QApplication::processEvents();
    }
    bool cancelled() override
    {
        if (m_clock.elapsed() >= 20) {
            m_clock.restart();
            QApplication::processEvents();
        }
        return m_cancelled;
    }

private:
    QLabel& m_status;
    const bool& m_cancelled;
    const engine::PreviewRequest& m_request;
    QElapsedTimer m_clock;
};

QPushButton* button(const QString& caption, const char* name, QWidget* parent)
{
    auto* made = new QPushButton(caption, parent);
    made->setObjectName(QLatin1String(name));
    return made;
}

} // namespace

PreviewWindow::PreviewWindow(Prompts& prompts, QWidget* parent) : QDialog(parent), m_prompts(prompts)
{
    setObjectName(QStringLiteral("PreviewWindow"));
    setWindowTitle(QStringLiteral("Preview"));
    resize(900, 600);

    Status = new QLabel(this);
    Status->setObjectName(QStringLiteral("Status"));
    // No accessible name: a screen reader then reads the counts and the progress themselves.
    Status->setTextInteractionFlags(Qt::TextSelectableByKeyboard | Qt::TextSelectableByMouse);

    auto* countsLabel = new QLabel(QStringLiteral("&Changes per table and column:"), this);
    Counts = new QTreeWidget(this);
    Counts->setObjectName(QStringLiteral("Counts"));
    Counts->setHeaderLabels({QStringLiteral("Table / column"), QStringLiteral("Records that would change"),
                             QStringLiteral("Would be refused")});
    countsLabel->setBuddy(Counts);

    auto* samplesLabel =
        new QLabel(QStringLiteral("&Samples (changed parts between \u00AB and \u00BB):"), this);
    Samples = new QTableWidget(0, 5, this);
    Samples->setObjectName(QStringLiteral("Samples"));
    Samples->setHorizontalHeaderLabels({QStringLiteral("Record"), QStringLiteral("Column"),
                                        QStringLiteral("Old value"), QStringLiteral("New value"),
                                        QStringLiteral("Refused")});
    Samples->setEditTriggers(QAbstractItemView::NoEditTriggers);
    Samples->setSelectionBehavior(QAbstractItemView::SelectRows);
    Samples->horizontalHeader()->setStretchLastSection(true);
    samplesLabel->setBuddy(Samples);

    CancelButton = button(QStringLiteral("Cancel"), "CancelButton", this);
    SaveButton = button(QStringLiteral("&Save as CSV..."), "SaveButton", this);
    CloseButton = button(QStringLiteral("Close"), "CloseButton", this);
    SaveButton->setEnabled(false);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(CancelButton);
    buttons->addStretch();
    buttons->addWidget(SaveButton);
    buttons->addWidget(CloseButton);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Status);
    layout->addWidget(countsLabel);
    layout->addWidget(Counts, 1);
    layout->addWidget(samplesLabel);
    layout->addWidget(Samples, 2);
    layout->addLayout(buttons);

    connect(CancelButton, &QPushButton::clicked, this, [this] { m_cancelled = true; });
    connect(SaveButton, &QPushButton::clicked, this, &PreviewWindow::SaveButton_Click);
    connect(CloseButton, &QPushButton::clicked, this, &PreviewWindow::reject);
}

void PreviewWindow::start(const engine::PreviewRequest& request)
{
    m_cancelled = false;
    m_running = true;
    CancelButton->setEnabled(true);
    SaveButton->setEnabled(false);
    WindowObserver observer(*Status, m_cancelled, request);
    try {
        m_result = engine::Preview(request, observer);
    } catch (const db::DbError& error) {
        m_result.clear();
        Status->setText(QStringLiteral("Could not connect."));
        m_running = false;
        CancelButton->setEnabled(false);
        m_prompts.message(QStringLiteral("Could not connect: ") + error.message());
        return;
    }
    m_running = false;
    CancelButton->setEnabled(false);
    fill();
}

void PreviewWindow::fill()
{
    long long changed = 0;
    long long records = 0;
    Counts->clear();
    Samples->setRowCount(0);
    for (const engine::PreviewTable& table : std::as_const(m_result)) {
        changed += table.changedRecords;
        records += table.records;
        auto* tableItem =
            new QTreeWidgetItem(Counts, {table.text, QString::number(table.changedRecords), QString()});
        if (!table.failure.isEmpty())
            tableItem->setText(2, QStringLiteral("cannot be read: ") + table.failure);
        for (const engine::PreviewColumn& column : table.columns)
            new QTreeWidgetItem(
                tableItem, {column.name, QString::number(column.changes), QString::number(column.refused)});
        tableItem->setExpanded(true);
        for (const engine::PreviewChange& change : table.samples) {
            const int row = Samples->rowCount();
            Samples->insertRow(row);
            const engine::ShownChange shown = engine::shownChange(
                change.oldValue, change.refusal.isEmpty() ? change.newValue : change.refusedValue);
            const QStringList cells = {
                change.row, change.column, shown.before, shown.after,
                change.refusal.isEmpty() ? QString() : QStringLiteral("would be refused: ") + change.refusal};
            for (int c = 0; c < cells.size(); ++c)
                Samples->setItem(row, c, new QTableWidgetItem(cells[c]));
        }
    }
    Counts->resizeColumnToContents(0);
    Status->setText(QStringLiteral("%1%2 of %3 records would change in %4 tables.")
                        .arg(m_cancelled ? QStringLiteral("Cancelled: ") : QString())
                        .arg(changed)
                        .arg(records)
                        .arg(m_result.size()));
    SaveButton->setEnabled(Samples->rowCount() > 0);
}

void PreviewWindow::reject()
{
    m_cancelled = true;
    if (!m_running)
        QDialog::reject();
}

void PreviewWindow::SaveButton_Click()
{
    FileDialogRequest request;
    request.fileName = QStringLiteral("preview.csv");
    request.title = QStringLiteral("Save as CSV");
    request.filter = QStringLiteral("CSV Files (*.csv)|*.csv|");
    const QString path = m_prompts.saveFileName(request);
    if (path.isEmpty())
        return;
    QFile file(path);
    const QByteArray bytes = engine::previewCsv(m_result);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size() ||
        !file.flush())
        m_prompts.message(QStringLiteral("Could not save %1: %2").arg(path, file.errorString()));
}

} // namespace quarvel::ui
