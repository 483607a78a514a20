#include "ui/UndoWindow.h"

#include "core/Procedure.h"
#include "db/DbError.h"
#include "ui/Controls.h"
#include "ui/CsvSave.h"

#include <QApplication>
#include <QFile>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QLocale>
#include <QPushButton>
#include <QTextBrowser>
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

QString counted(long long count, const char* one, const char* many)
{
    return QStringLiteral("%1 %2").arg(QLocale().toString(count), QLatin1String(count == 1 ? one : many));
}

QString stateText(const engine::JournalRun& run)
{
    QStringList parts;
    if (run.isUndo)
        parts << QStringLiteral("undo of run %1").arg(run.undoes);
    if (run.undoneBy != 0)
        parts << QStringLiteral("undone by run %1").arg(run.undoneBy);
    if (!run.ended.isValid()) {
        QString text = QStringLiteral("did not end: %1 of its changes reached the database")
                           .arg(QLocale().toString(run.records));
        if (run.undecided != 0)
            text += QStringLiteral(", %1 more may have (the undo asks the server)")
                        .arg(QLocale().toString(run.undecided));
        parts << text;
    } else if (parts.isEmpty()) {
        parts << QStringLiteral("finished");
    }
    return parts.join(QStringLiteral("; "));
}

QString confirmation(const engine::JournalRun& run, const engine::UndoReport& count)
{
    QString text =
        QStringLiteral("Undo run %1 of %2?\n\nIt would put back %3")
            .arg(QString::number(run.id), whenText(run), counted(count.restored, "record", "records"));
    QStringList kept;
    if (count.changedSince != 0)
        kept << QStringLiteral("%1 changed since the run")
                    .arg(counted(count.changedSince, "record", "records"));
    if (count.missing != 0)
        kept << QStringLiteral("%1 no longer there").arg(counted(count.missing, "record", "records"));
    if (count.failed != 0)
        kept << QStringLiteral("%1 the server refuses").arg(counted(count.failed, "record", "records"));
    text += kept.isEmpty() ? QStringLiteral(" and keep none.")
                           : QStringLiteral(" and keep %1.").arg(kept.join(QStringLiteral(", ")));
    text += QStringLiteral("\n\nEach field goes back to its old text only where it still holds what the run "
                           "stored; the count is of now, and the undo looks again as it goes.");
    return text;
}

QString runDetailsHtml(const engine::JournalRun& run)
{
    const auto row = [](const QString& name, const QString& value) {
        return QStringLiteral("<tr><td><b>%1</b>&nbsp;</td><td>%2</td></tr>").arg(name, value);
    };
    const QLocale locale;
    // Every list the run applied: more than one where the pairs were changed while it ran.
    QStringList lists;
    for (const engine::RunPairs& ran : run.pairsRan.empty() ? std::vector{run.pairs} : run.pairsRan) {
        QString pairs;
        for (const auto& [find, replacement] : ran)
            pairs +=
                QStringLiteral("<li>%1 &rarr; %2</li>")
                    .arg(QStringLiteral("\u00AB") + find.toHtmlEscaped() + QStringLiteral("\u00BB"),
                         QStringLiteral("\u00AB") + replacement.toHtmlEscaped() + QStringLiteral("\u00BB"));
        lists << QStringLiteral("<ol>%1</ol>").arg(pairs);
    }
    QString html = QStringLiteral("<table>");
    html += row(QStringLiteral("Run"), QString::number(run.id));
    html += row(QStringLiteral("Started"), locale.toString(run.started.toLocalTime(), QLocale::LongFormat));
    html += row(QStringLiteral("Ended"), run.ended.isValid()
                                             ? locale.toString(run.ended.toLocalTime(), QLocale::LongFormat)
                                             : QStringLiteral("never (the program was stopped)"));
    html += row(QStringLiteral("Server"),
                QStringLiteral("%1, port %2, as %3")
                    .arg(run.place.server.toHtmlEscaped(), run.place.port.toHtmlEscaped(),
                         run.place.user.toHtmlEscaped()));
    html += row(QStringLiteral("Database"), run.place.database.toHtmlEscaped());
    html += row(QStringLiteral("Engine"),
                run.isUndo                               ? QStringLiteral("undo")
                : run.engine == engine::ServerEngine     ? QStringLiteral("server engine")
                : run.engine == engine::RecordWalkEngine ? QStringLiteral("record walk")
                                                         : QStringLiteral("not recorded"));
    html += row(QStringLiteral("Tables"),
                QStringLiteral("%1: %2").arg(locale.toString(run.tables.size()),
                                             run.tables.join(QStringLiteral(", ")).toHtmlEscaped()));
    if (!run.choice.isEmpty())
        html += row(QStringLiteral("Selection"), engine::choiceText(run.choice).toHtmlEscaped());
    html += row(QStringLiteral("Records changed"), locale.toString(run.records));
    html += row(QStringLiteral("State"), stateText(run).toHtmlEscaped());
    if (lists.size() == 1)
        html +=
            QStringLiteral("</table><p><b>%1, in the order they ran:</b></p>%2")
                .arg(run.pairs.size() == 1 ? QStringLiteral("Pair") : QStringLiteral("Pairs"), lists.front());
    else
        html += QStringLiteral("</table><p><b>Pairs, in the order they ran; changed while the run went on, "
                               "first:</b></p>%1")
                    .arg(lists.join(QStringLiteral("<p><b>then:</b></p>")));
    return html;
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

} // namespace

UndoWindow::UndoWindow(Prompts& prompts, engine::Journal& journal, QString connectionString, QWidget* parent)
    : QDialog(parent), m_prompts(prompts), m_journal(journal), m_connectionString(std::move(connectionString))
{
    setObjectName(QStringLiteral("UndoWindow"));
    setWindowTitle(QStringLiteral("Undo a Run"));
    resize(900, 700);

    auto* runsLabel = new QLabel(QStringLiteral("&Runs in the journal, newest first:"), this);
    RunList = new QTreeWidget(this);
    RunList->setObjectName(QStringLiteral("RunList"));
    RunList->setAccessibleName(QStringLiteral("Runs in the journal"));
    RunList->setHeaderLabels({QStringLiteral("When"), QStringLiteral("Database"), QStringLiteral("Tables"),
                              QStringLiteral("Records changed"), QStringLiteral("State")});
    RunList->setRootIsDecorated(false);
    RunList->setSelectionMode(QAbstractItemView::SingleSelection);
    runsLabel->setBuddy(RunList);

    auto* runLabel = new QLabel(QStringLiteral("Run de&tails:"), this);
    RunDetails = new QTextBrowser(this);
    RunDetails->setObjectName(QStringLiteral("RunDetails"));
    RunDetails->setOpenLinks(false);
    runLabel->setBuddy(RunDetails);

    // Enter in the list reaches the default button: one way to start an undo, never two.
    UndoButton = namedButton(QStringLiteral("&Undo"), "UndoButton", this);
    UndoButton->setDefault(true);
    CancelButton = namedButton(QStringLiteral("Cancel"), "CancelButton", this);
    CancelButton->setEnabled(false);

    Status = statusLine(this);

    auto* detailsLabel = new QLabel(QStringLiteral("Records &not put back:"), this);
    Details = new QListWidget(this);
    Details->setObjectName(QStringLiteral("Details"));
    Details->setAccessibleName(QStringLiteral("Records not put back"));
    detailsLabel->setBuddy(Details);

    SaveButton = namedButton(QStringLiteral("&Save as CSV..."), "SaveButton", this);
    SaveButton->setEnabled(false);
    CloseButton = namedButton(QStringLiteral("Close"), "CloseButton", this);

    layOut(runsLabel, runLabel, detailsLabel);
    RunList->setFocus();

    connect(UndoButton, &QPushButton::clicked, this, &UndoWindow::UndoButton_Click);
    connect(CancelButton, &QPushButton::clicked, this, [this] { m_cancelled = true; });
    connect(CloseButton, &QPushButton::clicked, this, &UndoWindow::reject);
    connect(SaveButton, &QPushButton::clicked, this, &UndoWindow::SaveButton_Click);
    connect(RunList, &QTreeWidget::currentItemChanged, this, [this] { showRun(); });

    refresh();
}

// Each list and text under its label, the buttons that act on a run under it, and the tab order
// following what is seen from top to bottom.
void UndoWindow::layOut(QLabel* runsLabel, QLabel* runLabel, QLabel* detailsLabel)
{
    auto* undoButtons = new QHBoxLayout;
    undoButtons->addWidget(UndoButton);
    undoButtons->addWidget(CancelButton);
    undoButtons->addStretch();
    auto* closeButtons = new QHBoxLayout;
    closeButtons->addWidget(SaveButton);
    closeButtons->addStretch();
    closeButtons->addWidget(CloseButton);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(runsLabel);
    layout->addWidget(RunList, 2);
    layout->addWidget(runLabel);
    layout->addWidget(RunDetails, 2);
    layout->addLayout(undoButtons);
    layout->addWidget(Status);
    layout->addWidget(detailsLabel);
    layout->addWidget(Details, 1);
    layout->addLayout(closeButtons);
    setTabOrder(RunList, RunDetails);
    setTabOrder(RunDetails, UndoButton);
    setTabOrder(UndoButton, CancelButton);
    setTabOrder(CancelButton, Details);
    setTabOrder(Details, SaveButton);
    setTabOrder(SaveButton, CloseButton);
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
    showRun();
    UndoButton->setEnabled(!m_runs.empty());
    if (m_runs.empty())
        Status->setText(QStringLiteral("No run has been journaled yet."));
}

void UndoWindow::showRun()
{
    const QTreeWidgetItem* item = RunList->currentItem();
    const qint64 id = item ? item->data(When, RunIdRole).toLongLong() : 0;
    const auto run = std::find_if(m_runs.begin(), m_runs.end(), [id](const auto& r) { return r.id == id; });
    if (run == m_runs.end())
        RunDetails->clear();
    else
        RunDetails->setHtml(runDetailsHtml(*run));
}

bool UndoWindow::work(qint64 id, bool lookOnly, engine::UndoReport& report)
{
    m_running = true;
    m_cancelled = false;
    // Focus moves to Cancel before the list and Undo go grey, so the keyboard does not land elsewhere.
    CancelButton->setEnabled(true);
    CancelButton->setFocus();
    RunList->setEnabled(false);
    UndoButton->setEnabled(false);
    WindowUndoHost host(*Status, m_cancelled);
    bool done = false;
    Procedure p(m_prompts, QStringLiteral("UndoWindow.UndoButton_Click"));
    p.step(lookOnly ? 102 : 104, [&] {
        // Said the same way when the count before the question fails: either way nothing was undone.
        try {
            report = lookOnly ? engine::countUndo(m_journal, id, m_connectionString, &host)
                              : engine::undoRun(m_journal, id, m_connectionString, &host);
            done = true;
        } catch (const engine::JournalError& error) {
            m_prompts.message(QStringLiteral("Run %1 was not undone: %2")
                                  .arg(QString::number(id), QString::fromUtf8(error.what())));
        } catch (const db::DbError& error) {
            m_prompts.message(
                QStringLiteral("Run %1 was not undone: %2").arg(QString::number(id), error.message()));
        }
    });
    m_running = false;
    CancelButton->setEnabled(false);
    RunList->setEnabled(true);
    UndoButton->setEnabled(true);
    RunList->setFocus();
    return done;
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
    const QString before = Status->text();
    // The question states what the undo would do, so the count comes first, changing nothing.
    engine::UndoReport count;
    const engine::JournalRun asked = *run;
    if (!work(id, true, count) || m_cancelled) {
        Status->setText(m_cancelled ? QStringLiteral("Counting stopped; nothing was undone.") : before);
        return;
    }
    refresh(id); // the count may have settled what a killed run stored
    Status->setText(before);
    if (!m_prompts.askYesNo(confirmation(asked, count)))
        return;

    Status->setText(
        QStringLiteral("Record 0 of %1").arg(QLocale().toString(asked.records + asked.undecided)));
    engine::UndoReport report;
    const bool undone = work(id, false, report);
    refresh(id);
    if (undone) {
        m_report = report;
        Status->setText(outcomeText(report));
        Details->clear();
        Details->addItems(report.notes + report.listed);
        SaveButton->setEnabled(!report.notPutBack.isEmpty());
    } else if (!m_runs.empty()) {
        Status->setText(before);
    }
    RunList->setFocus();
}

void UndoWindow::SaveButton_Click()
{
    saveCsvAs(m_prompts, QStringLiteral("not-put-back.csv"), engine::notPutBackCsv(m_report));
}

void UndoWindow::reject()
{
    m_cancelled = true;
    if (!m_running)
        QDialog::reject();
}

} // namespace quarvel::ui
