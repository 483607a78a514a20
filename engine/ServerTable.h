#pragma once
// The pieces of the server engine's run of one table that its batch scheduler, its batch finisher and
// its locking way share: what is fixed for the table (read by every thread, written by none), what the
// pairs make of a row, the log lines of a batch, and the connection and journal writer that go to
// whichever side finishes a batch. Internal to the server engine.

#include "core/Procedure.h"
#include "core/ReplacementPlan.h"
#include "db/Connection.h"
#include "db/Pushdown.h"
#include "db/StoreJournal.h"
#include "engine/RunReport.h"
#include "engine/RunRequest.h"

#include <QString>

#include <algorithm>
#include <exception>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace quarvel::engine {

// A field some pair matched: column, pair.
using FieldMatch = std::pair<size_t, size_t>;

// The most rows one batch takes: a batch's pages are sized for batchRows rows, so that where only some of
// them hold a find text no batch is cut.
inline long long batchCapRows(const RunRequest& request)
{
    return std::max(1LL, request.batchRows / 2LL);
}

// What is fixed while a table runs.
struct ServerTable
{
    const RunRequest& request;
    std::vector<std::pair<QString, QString>> pairs; // those that can match, in order
    ReplacementPlan plan;                           // of those pairs
    db::Table table;
    QString tableText;
    std::vector<db::PushdownColumn> columns;
    std::vector<QString> keyColumns;
    PairLines lines;
    const db::PushdownTable& namer; // names rows; its shape only is read

    QString rowName(const db::PushdownLeaf& leaf, const QString& ctid, const std::vector<QString>& key) const;
};

// What the pairs make of one row, as the record walk applies them.
struct RowPlan
{
    std::vector<std::optional<QString>> expected;
    std::vector<FieldMatch> matched;
    bool alone = false;   // a refusal could fall between two pairs, or the type would round: the walk's way
    bool rounded = false; // alone as the server said the type would store a new text as something else
    std::vector<int> changed;

    std::vector<QString> changedTexts() const;
};
RowPlan planRow(const ServerTable& table, const db::PushdownRow& row);
// Each row planned, where the server tells in one question per column and batch which new texts its type
// would store as something else (such rows go alone, where the record walk's way refuses them).
std::vector<RowPlan> planRows(const ServerTable& table, db::PushdownTable& on,
                              const std::vector<db::PushdownRow>& rows);
// The columns the planned row changes, as a batch's statements group rows by them.
db::ChangedColumns changedColumns(const RowPlan& planned, size_t columns);
// The failure, naming the row it is about where it is the server's.
std::exception_ptr describing(const std::exception_ptr& failure, const QString& rowName);
// Whether the server's new texts are the run's own: what the run changes, and nothing else.
bool sameChange(const std::vector<std::optional<QString>>& stored, const RowPlan& planned);
std::exception_ptr differing(const QString& rowName);

// The row as the journal keeps it, numbered `record` (its place among the records the run stored in
// the table).
db::JournaledRecord journaledRecord(const ServerTable& table, const db::PushdownLeaf& leaf,
                                    const std::vector<int>& columns,
                                    const std::vector<std::optional<QString>>& oldValues,
                                    const std::vector<QString>& newValues, const db::PushdownStored& stored,
                                    long long record);

// Writes a batch's lines with one opening of the log, and gives back why it could not. Touches nothing
// but the log, so that it can run beside the next batch.
std::exception_ptr writeLogLines(const ServerTable& table, const std::vector<FieldMatch>& matches) noexcept;
// Tells the observer of each line, reporting each one the log did not take as the record walk reports
// each line it could not write.
void tellLogLines(Procedure& p, RunObserver& observer, const ServerTable& table,
                  const std::vector<FieldMatch>& matches, const std::exception_ptr& failure);

// A connection of the run and the table's statements on it. Whoever holds it alone may use it.
struct Lane
{
    std::unique_ptr<db::Connection> connection; // none for the run's first connection, owned outside
    std::unique_ptr<db::PushdownTable> table;
    explicit operator bool() const { return table != nullptr; }
};

// What putting a batch on record and committing it came to.
struct Settled
{
    std::optional<QString> journalFailure; // the batch was rolled back
    std::exception_ptr commitFailure;
};

// The run's journal for this table: puts a batch's rows on record inside its transaction, then commits
// the transaction. Held by one side at a time.
class JournalWriter
{
public:
    JournalWriter(db::StoreJournal* journal, const ServerTable& table) : m_journal(journal), m_table(table) {}
    Settled putOnRecord(db::PushdownTable& on, const QString& transaction,
                        const std::vector<db::JournaledRecord>& records) noexcept;

private:
    db::StoreJournal* m_journal;
    const ServerTable& m_table;
};

// A journal that could not take a batch stops the run with nothing of that batch stored; a commit that
// failed is thrown as it came.
void tellSettled(Procedure& p, const Settled& settled);

// Places [from, to) of a leaf; a foreign leaf's batches go by pages [first, end).
struct PageRange
{
    db::PushdownLeaf leaf;
    QString from;
    QString to;
    long long first = 0;
    long long end = 0;

    static PageRange pages(const db::PushdownLeaf& leaf, long long first, long long end);
};

// How far a batch went: the rows it found, and where the cap stopped it (empty when it did not).
struct Reach
{
    long long found = 0;
    QString cut;
};

} // namespace quarvel::engine
