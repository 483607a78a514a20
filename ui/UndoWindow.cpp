#include "ui/UndoWindow.h"

#include "core/Procedure.h"
#include "db/DbError.h"
#include "engine/Undo.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QLocale>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <utility>

namespace quarvel::ui {

namespace {

constexpr int RunIdRole = Qt::UserRole;

enum Column { When, Database, Tables, Records, State };

// The line updates once per chunk of rows put back, and the window answers (Cancel among the rest) in
// between: a chunk is short, so nothing slower than that is needed to keep it responsive.
class WindowUndoHost : public engine::UndoHost
{
public:
    WindowUndoHost(QLabel& status, const bool& cancelled) : m_status(status), m_cancelled(cancelled) {}
    void progress(long long done, long long total) override
    {
        const QLocale locale;
        m_status.setText(
            QStringLiteral("Record %1 of %2").arg(locale.toString(done), locale.toString(total)));
        QApplication::processEvents();
    }
    bool stopRequested() override { return m_cancelled; }

private:
    QLabel& m_status;
    const bool& m_cancelled;
};

QString whenText(const engine::JournalRun& run)
{
    return run.started.toLocalTime().toString(QStringLiteral("dd.MM.yyyy HH:mm"));
}

QString placeText(const engine::RunPlace& place)
{
    return QStringLiteral("%1@%2:%3/%4").arg(place.user, place.server, place.port, place.database);
}

QString stateText(const engine::JournalRun& run)
{
    QStringList parts;
    if (run.isUndo)
        parts << QStringLiteral("undo of run %1").arg(run.undoes);
    if (run.undoneBy != 0)
        parts << QStringLiteral("undone by run %1").arg(run.undoneBy);
    if (!run.ended.isValid())
        parts << QStringLiteral("did not end");
    return parts.join(QStringLiteral("; "));
}

QString counted(long long count, const char* one, const char* many)
{
    return QStringLiteral("%1 %2").arg(QLocale().toString(count), QLatin1String(count == 1 ? one : many));
}

QString confirmation(const engine::JournalRun& run)
{
    return QStringLiteral("Undo run %1 of %2? It changed %3 in %4; each field goes back to its old text only "
                          "where it still holds what the run stored.")
        .arg(QString::number(run.id), whenText(run), counted(run.records, "record", "records"),
             counted(run.tables.size(), "table", "tables"));
}

QString outcomeText(const engine::UndoReport& report)
{
    const QLocale locale;
    QString text =
        QStringLiteral("Restored: %1. Kept because changed since the run: %2. No longer there: %3.")
            .arg(locale.toString(report.restored), locale.toString(report.changedSince),
                 locale.toString(report.missing));
    if (report.notStored != 0)
        text += QStringLiteral(" Never stored by the run, so nothing to undo: %1.")
                    .arg(locale.toString(report.notStored));
    if (report.failed != 0)
        text += QStringLiteral(" Refused by the server: %1.").arg(locale.toString(report.failed));
    return text;
}

QPushButton* button(const QString& caption, const char* name, QWidget* parent)
{
    auto* made = new QPushButton(caption, parent);
    made->setObjectName(QLatin1String(name));
    return made;
}

} // namespace

UndoWindow::UndoWindow(Prompts& prompts, engine::Journal& journal, QString connectionString, QWidget* parent)
    : QDialog(parent), m_prompts(prompts), m_journal(journal), m_connectionString(std::move(connectionString))
{
    setObjectName(QStringLiteral("UndoWindow"));
    setWindowTitle(QStringLiteral("Undo a Run"));
    resize(800, 520);

    auto* runsLabel = new QLabel(QStringLiteral("&Runs in the journal, newest first:"), this);
    RunList = new QTreeWidget(this);
    RunList->setObjectName(QStringLiteral("RunList"));
    RunList->setAccessibleName(QStringLiteral("Runs in the journal"));
    RunList->setHeaderLabels({QStringLiteral("When"), QStringLiteral("Database"), QStringLiteral("Tables"),
                              QStringLiteral("Records changed"), QStringLiteral("State")});
    RunList->setRootIsDecorated(false);
    RunList->setSelectionMode(QAbstractItemView::SingleSelection);
    runsLabel->setBuddy(RunList);

    // Enter in the list reaches the default button: one way to start an undo, never two.
    UndoButton = button(QStringLiteral("&Undo"), "UndoButton", this);
    UndoButton->setDefault(true);
    CancelButton = button(QStringLiteral("Cancel"), "CancelButton", this);
    CancelButton->setEnabled(false);

    Status = new QLabel(this);
    Status->setObjectName(QStringLiteral("Status"));
    Status->setWordWrap(true);
    Status->setTextInteractionFlags(Qt::TextSelectableByKeyboard | Qt::TextSelectableByMouse);

    auto* detailsLabel = new QLabel(QStringLiteral("Records &not put back:"), this);
    Details = new QListWidget(this);
    Details->setObjectName(QStringLiteral("Details"));
    Details->setAccessibleName(QStringLiteral("Records not put back"));
    detailsLabel->setBuddy(Details);

    CloseButton = button(QStringLiteral("Close"), "CloseButton", this);

    auto* undoButtons = new QHBoxLayout;
    undoButtons->addWidget(UndoButton);
    undoButtons->addWidget(CancelButton);
    undoButtons->addStretch();
    auto* closeButtons = new QHBoxLayout;
    closeButtons->addStretch();
    closeButtons->addWidget(CloseButton);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(runsLabel);
    layout->addWidget(RunList, 2);
    layout->addLayout(undoButtons);
    layout->addWidget(Status);
    layout->addWidget(detailsLabel);
    layout->addWidget(Details, 1);
    layout->addLayout(closeButtons);
    setTabOrder(RunList, UndoButton);
    setTabOrder(UndoButton, CancelButton);
    setTabOrder(CancelButton, Details);
    setTabOrder(Details, CloseButton);
    RunList->setFocus();

    connect(UndoButton, &QPushButton::clicked, this, &UndoWindow::UndoButton_Click);
    connect(CancelButton, &QPushButton::clicked, this, [this] { m_cancelled = true; });
    connect(CloseButton, &QPushButton::clicked, this, &UndoWindow::reject);

    refresh();
}

void UndoWindow::refresh(qint64 current)
{
    RunList->clear();
    m_runs.clear();
    try {
        m_runs = m_journal.runs();
    } catch (const engine::JournalError& error) {
        m_prompts.message(
            QStringLiteral("The journal cannot be read: %1").arg(QString::fromUtf8(error.what())));
    }
    QTreeWidgetItem* currentItem = nullptr;
    for (const engine::JournalRun& run : m_runs) {
        auto* item = new QTreeWidgetItem(RunList, {whenText(run), placeText(run.place),
                                                   QLocale().toString(run.tables.size()),
                                                   QLocale().toString(run.records), stateText(run)});
        const QString names = run.tables.join(QStringLiteral(", "));
        item->setToolTip(Tables, names);
        item->setData(Tables, Qt::AccessibleDescriptionRole, names);
        item->setData(When, RunIdRole, run.id);
        if (!currentItem || run.id == current)
            currentItem = item;
    }
    for (int c = When; c <= State; ++c)
        RunList->resizeColumnToContents(c);
    if (currentItem)
        RunList->setCurrentItem(currentItem);
    UndoButton->setEnabled(!m_runs.empty());
    if (m_runs.empty())
        Status->setText(QStringLiteral("No run has been journaled yet."));
}

void UndoWindow::UndoButton_Click()
{
    if (m_running)
        return;
    const QTreeWidgetItem* item = RunList->currentItem();
    if (!item)
        return;
    const qint64 id = item->data(When, RunIdRole).toLongLong();
    const auto run = std::find_if(m_runs.begin(), m_runs.end(), [id](const auto& r) { return r.id == id; });
    if (run == m_runs.end())
        return;

    Procedure p(m_prompts, QStringLiteral("UndoWindow.UndoButton_Click"));
    QString refusal;
    if (!p.step(100, [&] { refusal = engine::undoRefusal(*run, m_connectionString); }))
        return;
    if (!refusal.isEmpty()) {
        m_prompts.message(refusal);
        return;
    }
    if (!m_prompts.askYesNo(confirmation(*run)))
        return;

    m_running = true;
    m_cancelled = false;
    const QString before = Status->text();
    Status->setText(QStringLiteral("Record 0 of %1").arg(QLocale().toString(run->records)));
    // Focus moves to Cancel before the list and Undo go grey, so the keyboard does not land elsewhere.
    CancelButton->setEnabled(true);
    CancelButton->setFocus();
    RunList->setEnabled(false);
    UndoButton->setEnabled(false);
    WindowUndoHost host(*Status, m_cancelled);
    engine::UndoReport report;
    bool undone = false;
    p.step(102, [&] {
        try {
            report = engine::undoRun(m_journal, id, m_connectionString, &host);
            undone = true;
        } catch (const engine::JournalError& error) {
            m_prompts.message(
                QStringLiteral("Run %1 was not undone: %2").arg(id).arg(QString::fromUtf8(error.what())));
        } catch (const db::DbError& error) {
            m_prompts.message(QStringLiteral("Run %1 was not undone: %2").arg(id).arg(error.message()));
        }
    });
    m_running = false;
    CancelButton->setEnabled(false);
    RunList->setEnabled(true);
    refresh(id);
    if (undone) {
        Status->setText(outcomeText(report));
        Details->clear();
        Details->addItems(report.notes + report.listed);
    } else if (!m_runs.empty()) {
        Status->setText(before);
    }
    RunList->setFocus();
}

void UndoWindow::reject()
{
    m_cancelled = true;
    if (!m_running)
        QDialog::reject();
}

} // namespace quarvel::ui
