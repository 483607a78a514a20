#pragma once
// The run of quarvel-cli: the same replacement run as "Start Replacing", or the server engine's, with the
// command line as its observer. The tables and pairs are fixed when it starts.

#include "core/Prompts.h"
#include "db/Table.h"
#include "engine/RunRequest.h"
#include "engine/SetLists.h"

#include <QList>
#include <QString>

#include <atomic>
#include <functional>
#include <optional>

namespace quarvel::cli {

// What to replace: one pair, or the sets in order.
struct Pairs
{
    bool useSets = false;
    QString find;
    QString replacement;
    QList<engine::Set> sets;
};

struct ListedTable
{
    db::Table table;
    QString text; // as the table list shows it
    // The columns a run may search, when the command line chose columns; every column when absent.
    std::optional<QStringList> columns = {};
};

// The run's request: the tables as listed (with the columns chosen) and these pairs.
engine::RunRequestBuilder requestFor(const QString& connectionString, const QList<ListedTable>& tables,
                                     const Pairs& pairs);

struct TableOutcome
{
    QString table;
    long long records = 0;   // records walked
    long long replaced = 0;  // fields stored changed (as the journal has them; while the run goes, the
                             // fields in which a pair matched)
    int failures = 0;        // failures reported, log failures among them
    int logFailures = 0;     // replacements whose log line could not be written
    QString walkReason = {}; // with the server engine: why the record walk did this table; empty otherwise
    QStringList notUpdatable = {}; // searched columns left out: the role may not update them
};

// Who does the work: the server, batch by batch (engine::PushdownRun), or the record walk of the windows.
enum class Engine { Server, Client };

struct RunFailure
{
    QString table; // empty when it belongs to no table
    int line = 0;  // the step of the run that reported it
    QString message;
};

struct RunOutcome
{
    QList<TableOutcome> tables;
    QList<RunFailure> failures;
    bool stopped = false;
    qint64 journalRun = 0; // the run's number in the journal; 0 when it stored nothing on record
};

// The description and step line of an error report text as the run's reports are made; a text in
// another form is all description, line 0.
RunFailure parseErrorReport(const QString& report);

// What a run of the command line tells: failures collected per table instead of shown in message boxes,
// counts per table, and progress for the terminal.
class CliRunObserver : public engine::RunObserver, private Prompts
{
public:
    // `stop` is read before each record (a signal handler sets it); `progress` is told where the run
    // stands and may be empty.
    using ProgressSink =
        std::function<void(const TableOutcome& table, int entry, int entryCount, long long recordCount)>;
    // The journal is opened before the run, so that a journal file that must be refused stops the
    // command before it connects; the run puts itself on record there when it starts.
    CliRunObserver(const QList<ListedTable>& tables, engine::Journal& journal, const std::atomic<bool>& stop,
                   ProgressSink progress = {});

    // The request's tables are those given here, in the same order.
    RunOutcome run(const engine::RunRequest& request);

    void tableStarted(int entry) override { m_entry = entry; }
    void progress(int entry, int entryCount, long long record, long long recordCount) override;
    void replaced(const QString& fieldName) override;
    void unlogged(const QString& fieldName) override;
    bool stopRequested() override;
    void tableWay(int entry, const QString& walkReason) override;
    void notUpdatable(int entry, const QStringList& columns) override;
    engine::Journal* journal() override;
    Prompts& prompts() override { return *this; }

private:
    void message(const QString& text) override;
    bool askYesNo(const QString&) override { return false; }
    QString input(const QString&, const QString&) override { return {}; }
    QString saveFileName(const FileDialogRequest&) override { return {}; }
    QString openFileName(const FileDialogRequest&) override { return {}; }
    void errorReport(const QString& text) override;
    void countStored(const engine::RunRequest& request);

    engine::Journal& m_journal;
    bool m_journaled = false; // the run asked for the journal, so its newest run is this one
    const std::atomic<bool>& m_stop;
    ProgressSink m_progress;
    RunOutcome m_outcome;
    int m_entry = -1; // the table being walked
};

} // namespace quarvel::cli
