#pragma once
// The server engine's batch scheduler: walks a table's leaves in batches of pages within the table's
// snapshot, each batch one statement that finds, rewrites and returns its rows, and hands the batches to
// a finisher on its own thread while the next ones run on other connections. It gives out the record
// numbers, and goes the locking way where a batch cannot be done at once. Internal to the server engine.

#include "engine/BatchFinisher.h"
#include "engine/LockingStore.h"

#include <future>
#include <map>
#include <vector>

namespace quarvel::engine {

// The run's connections to the table: the first, on which the table's shape was read, and up to three
// more opened beside it for a table large enough for its batches to share the work: two batches run at
// once while the two before them are finished. A lane a finisher has is not here until it is given back.
class Lanes
{
public:
    static constexpr size_t Most = 4;

    Lanes(const ServerTable& table, Lane first);
    ~Lanes();
    Lanes(const Lanes&) = delete;
    Lanes& operator=(const Lanes&) = delete;

    Lane& first() { return m_lanes.front(); }
    // Opens the other connections while the first batches run.
    void openBeside();
    bool besideAsked() const { return m_tried || !m_opening.empty(); }
    // How many are open, in hand or with a finisher; those that could not be opened are left out, and the
    // batches take turns on the others.
    size_t open();
    // Those in hand, the first first; where fewer than `wanted` are, waits for those still opening.
    std::vector<Lane*> inHand(size_t wanted);
    // A lane back from its finisher, to the place it left.
    void giveBack(Lane lane);

private:
    Lane openOne() const;

    const ServerTable& m_table;
    std::vector<Lane> m_lanes; // the first, then those opened beside
    bool m_tried = false;
    size_t m_open = 1; // opened, whether in hand or with a finisher now
    std::vector<std::future<Lane>> m_opening;
};

// The sets of columns the rows of a table's batches change, each an UPDATE of its own in a batch's
// statement: a statement names only the columns its rows change, whatever the rows of a batch change. A
// set beyond the first few sends its batch the locking way, which groups rows by set too.
class ChangedSets
{
public:
    explicit ChangedSets(const ServerTable& table) : m_table(table) {}
    const std::vector<db::ChangedColumns>& sets() const { return m_sets; }
    // Whether a statement had an UPDATE for each set of columns its rows change.
    bool fits(const std::vector<db::ChangedColumns>& sets) const;
    // Takes the sets into the statements from now on, where each can be and there is room; whether all
    // are in them now.
    bool learn(const std::vector<db::ChangedColumns>& sets);

private:
    static constexpr size_t Most = 8;
    const ServerTable& m_table;
    std::vector<db::ChangedColumns> m_sets;
};

class BatchDispatch;

// A batch to do again the locking way; its lines are in the log already where logged.
struct Again
{
    PageRange range;
    bool logged = false;
};

// A batch whose statement has run on the lane, to be finished beside the next ones.
struct Beside
{
    Lane* lane;
    PageRange range;
    db::PushdownBatchHead head;
};

// Finds the rows of a range whose texts the driver cannot carry (a byte that is not UTF-8 in a SQL_ASCII
// database) by taking its rows in the table's snapshot by halves, each half a batch of its own, until each
// such row is named alone; every other row is replaced as in any batch.
class RowsApart
{
public:
    explicit RowsApart(BatchDispatch& batches) : m_batches(batches) {}
    Reach narrow(const PageRange& range);

private:
    // The rows [first, end) of those found, each half on its own where it has one the driver cannot carry.
    void narrowRows(const PageRange& range, const std::vector<db::PushdownRow>& rows, size_t first,
                    size_t end);

    BatchDispatch& m_batches;
};

// Runs one batch of pages at a time: in one statement where it can, on whichever connection is in hand,
// handing its answer to a finisher while the next batch runs; the locking way where it cannot. It gives
// out the record numbers: a finisher is told the number its first record takes.
class BatchDispatch
{
public:
    // `first` is the table's shape on the run's connection; `holder` holds the table's lock and snapshot
    // on a connection of its own.
    BatchDispatch(const ServerTable& table, Procedure& p, RunObserver& observer, int entry, int entryCount,
                  Lane first, db::PushdownTable& holder, db::StoreJournal* journal);
    ~BatchDispatch();
    BatchDispatch(const BatchDispatch&) = delete;
    BatchDispatch& operator=(const BatchDispatch&) = delete;
    friend class RowsApart;

    int entry() const { return m_entry; }
    int entryCount() const { return m_entryCount; }
    // Takes the table's lock and snapshot; the pages each leaf had then.
    const db::PushdownHold& hold();
    void release() noexcept { m_holder.release(); }

    Reach batch(const PageRange& range);
    // Two halves of pages at once, each on a connection of its own.
    Reach batchPair(const db::PushdownLeaf& leaf, long long first, long long middle, long long end);
    // Where nothing was found of late, two connections do; else two must be left while two others
    // finish the two batches before.
    bool canPair(bool scanning)
    {
        return m_atOnce && m_lanes.besideAsked() && m_lanes.open() >= (scanning ? 2 : Lanes::Most);
    }
    void openBeside() { m_lanes.openBeside(); }
    // The pages of a foreign leaf now, as the connection in hand reads them; after the last batch is
    // finished, as the first one does.
    long long pages(const db::PushdownLeaf& leaf) { return laneInHand()->table->pages(leaf); }
    long long finishedPages(const db::PushdownLeaf& leaf);
    // Waits for the batch being finished and does it again the locking way where it must.
    void settleOrRedo();
    // Ends the batch being finished when a run fails: its lines are in the log already.
    void settleAfterFailure();

private:
    std::optional<Reach> batchAtOnce(const PageRange& range, bool retried = false);
    // The batches, in place order, are finished one after the other beside the next ones.
    void finishBeside(const std::vector<Beside>& batches);
    bool settle();
    void redo(Again again);
    void redoAll();
    LockingStore locking();
    // A lane in hand, the first first; where a finisher has them all, once it gives them back.
    Lane* laneInHand();

    const ServerTable& m_table;
    Procedure& m_p;
    RunObserver& m_observer;
    int m_entry;
    int m_entryCount;
    db::PushdownTable& m_holder;
    db::PushdownHold m_held;
    SchedulerCounts m_counts;
    bool m_atOnce = true; // batches go in one statement each, until a field two pairs meet in is found
    ChangedSets m_sets;
    std::optional<db::DbError> m_notCarried; // the last batch's failure, where a text could not come back

    // Declared before the finisher that may hold them, so that they outlive it.
    Lanes m_lanes;
    std::unique_ptr<JournalWriter> m_writer;
    std::future<std::vector<Finished>> m_pending; // the batches being finished beside the next
    std::vector<PageRange> m_pendingRanges;
    std::vector<long long> m_pendingFound;
    std::vector<Again> m_again;
};

// Walks a table's leaves in batches of pages within the table's snapshot, sizing each batch by what the
// ones before found and took.
class BatchScheduler
{
public:
    BatchScheduler(const ServerTable& table, Procedure& p, RunObserver& observer, int entry, int entryCount,
                   Lane first, db::PushdownTable& holder, db::StoreJournal* journal)
        : m_table(table), m_observer(observer),
          m_batches(table, p, observer, entry, entryCount, std::move(first), holder, journal)
    {}

    // The table's lock and snapshot are held from before its first batch until its last is committed.
    void run();

private:
    void runLeaf(const db::PushdownLeaf& leaf, long long step);
    void runForeignLeaf(const db::PushdownLeaf& leaf, long long step);
    long long nextStep(long long step, long long found, qint64 ms) const;

    const ServerTable& m_table;
    RunObserver& m_observer;
    std::map<QString, long long> m_pages; // by leaf oid, when the snapshot was taken
    BatchDispatch m_batches;
};

} // namespace quarvel::engine
