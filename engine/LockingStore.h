#pragma once
// The server engine's locking way: rows read in the table's snapshot, then locked where they are still
// the version read and rewritten in one statement; a row another session changed, a row the server
// refuses and a field two pairs meet in go one by one, as the record walk stores them. Runs on the
// scheduler's side only, with the first connection and the journal writer in its hands. Internal to the
// server engine.

#include "engine/ServerTable.h"

namespace quarvel::engine {

// What the scheduler's side keeps while a table runs; no other thread touches it.
struct SchedulerCounts
{
    std::vector<QString> ownVersions; // xmins of the row versions this run wrote
    long long examined = 0;           // rows some find text occurs in, so far
    long long records = 0;            // records put on record in this table: the next ones follow

    // The rows of one statement share their version's xmin: each is kept once, so that the list every
    // later batch sends and tests each row against stays as short as the run's statements are few.
    void ownVersion(const QString& xmin);
};

class LockingStore
{
public:
    LockingStore(const ServerTable& table, Procedure& p, RunObserver& observer, int entry, int entryCount,
                 db::PushdownTable& on, db::PushdownTable& holder, JournalWriter& writer,
                 SchedulerCounts& counts)
        : m_table(table), m_p(p), m_observer(observer), m_entry(entry), m_entryCount(entryCount), m_on(on),
          m_holder(holder), m_writer(writer), m_counts(counts)
    {}

    // In the table's snapshot, the rows of the range read locking nothing, then each locked only where
    // it is still the version read; the others, changed or held by another session since, go one by
    // one. Returns how far it went.
    // Their log lines are written unless they were (logged).
    Reach heldBatch(const PageRange& range, bool logged = false);
    // A foreign leaf's pages locked, then rewritten: each row read on its newest version, and a row the
    // server refuses told apart. Returns how many rows of the pages held some find text.
    long long lockingBatch(const db::PushdownLeaf& leaf, long long first, long long end);

private:
    void storeLocked(const db::PushdownLeaf& leaf, const QString& from, const QString& to,
                     const std::vector<db::PushdownRow>& rows, bool logged);
    // Rewrites the planned rows in one statement and commits them with their journal; the rows to go
    // one by one instead when the server refuses the statement or passes some over.
    std::vector<size_t> replaceTogether(const db::PushdownLeaf& leaf, const QString& from, const QString& to,
                                        const std::vector<db::PushdownRow>& rows,
                                        const std::vector<RowPlan>& plans, const std::vector<size_t>& stored);
    void storeAlone(const db::PushdownLeaf& leaf, const db::PushdownRow& read, bool logged);
    std::optional<db::PushdownRow> lockAlone(const db::PushdownLeaf& leaf, const db::PushdownRow& read,
                                             bool logged);
    void storeFields(const db::PushdownLeaf& leaf, const db::PushdownRow& row, bool logged);
    void log(const std::vector<FieldMatch>& matches);
    void log(size_t column, size_t pair);
    // Puts the records on record and commits them; the server's refusal of the commit, with nothing
    // stored. A journal that cannot take them stops the run (RunStopped).
    std::exception_ptr commit(const QString& transaction, const std::vector<db::JournaledRecord>& records);
    void tellExamined(long long found);

    const ServerTable& m_table;
    Procedure& m_p;
    RunObserver& m_observer;
    int m_entry;
    int m_entryCount;
    db::PushdownTable& m_on;
    db::PushdownTable& m_holder;
    JournalWriter& m_writer;
    SchedulerCounts& m_counts;
};

} // namespace quarvel::engine
