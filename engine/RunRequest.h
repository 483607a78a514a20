#pragma once
// What a run is asked to do, and what it tells while it does it: the one request that the Main window,
// the preview and the command line build, and the one observer both engines report to.

#include "core/Prompts.h"
#include "core/Selection.h"
#include "db/Table.h"
#include "engine/SetLists.h"

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <map>
#include <utility>
#include <vector>

namespace quarvel::engine {

class Journal;
class RunHost;

// The pairs as the journal and the log name them: find and replacement, in list order.
using RunPairs = QList<QPair<QString, QString>>;

// What a run was asked to take by pattern, and the columns it may search in each table it takes. The
// patterns are for the record; the columns are what both engines hold to.
struct RunSelection
{
    SelectionPatterns patterns;
    std::map<int, QStringList> columns; // by entry; an entry without one searches every column

    // Whether the run may test and rewrite the column of table `entry`: a column left out keeps its value.
    bool searches(int entry, const QString& column) const;
};

struct RunRequest
{
    QString connectionString;
    QList<std::pair<db::Table, QString>> tables; // the table and its text in the list, in list order
    QList<Set> pairs;                            // as they stand; the single pair is one set
    int sampleLimit = 1000;                      // per table, for a preview
    // The server finds and rewrites the rows (the server engine); otherwise the record walk does.
    bool onServer = false;
    // The pairs came from the single pair's tab: its report steps name the failures.
    bool singlePair = false;
    int batchRows = 5000; // about how many rows one batch of the server engine holds
    RunSelection selection = {};

    // The pairs that can match, in order: a pair with an empty find text never does.
    std::vector<std::pair<QString, QString>> pairsThatMatch() const;
    RunPairs journalPairs() const;
    QStringList tableTexts() const;
    bool searches(int entry, const QString& column) const { return selection.searches(entry, column); }
};

class RunRequestBuilder
{
public:
    RunRequestBuilder& connection(const QString& connectionString);
    RunRequestBuilder& table(const db::Table& table, const QString& text);
    // A table where the run may search only these columns.
    RunRequestBuilder& table(const db::Table& table, const QString& text, const QStringList& columns);
    RunRequestBuilder& patterns(const SelectionPatterns& patterns);
    RunRequestBuilder& singlePair(const QString& find, const QString& replacement);
    RunRequestBuilder& sets(const QList<Set>& sets);
    RunRequestBuilder& onServer(bool server);
    RunRequestBuilder& sampleLimit(int samples);
    RunRequestBuilder& batchRows(int rows);
    RunRequest build() const { return m_request; }

    // What a window-shaped host shows now: its ticked tables, and the pairs of its selected tab (none
    // for another tab).
    static RunRequestBuilder fromHost(RunHost& host);

private:
    RunRequest m_request;
};

// What a run tells while it goes, whoever started it. Progress and replacement notices are for the eyes
// only: a failure in one never breaks the run.
class RunObserver
{
public:
    virtual ~RunObserver() = default;

    // The run enters table `entry` of its request: what it reports from here on belongs to that table.
    virtual void tableStarted(int entry) { (void)entry; }
    // Where the run stands: entry (0-based) of the list, the record (1-based) of the table's records.
    // Called once per record and once when a table is opened (record 0).
    virtual void progress(int entry, int entryCount, long long record, long long recordCount)
    {
        (void)entry, (void)entryCount, (void)record, (void)recordCount;
    }
    // A pair matched a field of the current record and its log line is written; the field's new value
    // goes to the table with the record.
    virtual void replaced(const QString& fieldName) { (void)fieldName; }
    // A pair matched a field of the current record but its log line could not be written (a full disk):
    // told after the failure is reported at its step. The field's new value still goes to the table.
    virtual void unlogged(const QString& fieldName) { (void)fieldName; }
    // Asked before each record: true ends the run there. What the records before it changed is still
    // stored and no further table is opened; the pointer and "Done." come as after a whole run.
    virtual bool stopRequested() { return false; }
    // The server engine tells, for every table before anything of it is written, why the record walk
    // does it ("column n is numeric(7,2)"), or an empty text when the server does.
    virtual void tableWay(int entry, const QString& walkReason) { (void)entry, (void)walkReason; }
    // Told once per table where the connected role may not update some searched columns: the run
    // leaves them out as it does an excluded column. A table with none of its columns left has nothing
    // to do and is left without a failure.
    virtual void notUpdatable(int entry, const QStringList& columns) { (void)entry, (void)columns; }
    // The journal that takes every stored change, opened when the run asks; nullptr runs without one.
    // Throws JournalError when it cannot be opened: the run then stores nothing.
    virtual Journal* journal() { return nullptr; }
    // Error reports and the closing "Done." message.
    virtual Prompts& prompts() = 0;
};

} // namespace quarvel::engine
