#pragma once
// The server engine's batch scheduler: walks a table's leaves in batches of pages within the table's
// snapshot, each batch one statement that finds, rewrites and returns its rows, and hands each batch to
// a finisher on its own thread while the next one runs on the other connection. It gives out the record
// numbers, and goes the locking way where a batch cannot be done at once. Internal to the server engine.

#include "engine/BatchFinisher.h"
#include "engine/LockingStore.h"

#include <future>

namespace quarvel::engine {

class BatchScheduler
{
public:
    // `first` is the table's shape on the run's connection; `holder` holds the table's lock and snapshot
    // on a connection of its own.
    BatchScheduler(const ServerTable& table, Procedure& p, RunObserver& observer, int entry, int entryCount,
                   Lane first, db::PushdownTable& holder, db::StoreJournal* journal);
    ~BatchScheduler();
    BatchScheduler(const BatchScheduler&) = delete;
    BatchScheduler& operator=(const BatchScheduler&) = delete;

    // The table's lock and snapshot are held from before its first batch until its last is committed.
    void run();

private:
    void runLeaves();
    void runLeaf(const db::PushdownLeaf& leaf, long long step);
    void runForeignLeaf(const db::PushdownLeaf& leaf, long long step);
    long long nextStep(long long step, long long found, qint64 ms) const;

    Reach batch(const PageRange& range);
    std::optional<Reach> batchAtOnce(const PageRange& range);
    Reach batchPair(const db::PushdownLeaf& leaf, long long first, long long middle, long long end);
    Reach finishPair(const PageRange& firstHalf, const db::PushdownBatchHead& firstHead,
                     const PageRange& secondHalf, const db::PushdownBatchHead& secondHead);
    void finishBeside(Lane& lane, PageRange range, const db::PushdownBatchHead& head);
    bool settle();
    void settleOrRedo();
    void redo(PageRange range);
    LockingStore locking();

    // The lanes in hand: the first unless a finisher has it, else the second where it opens.
    Lane* laneInHand();
    Lane openLane() const;
    void openLaneBeside();
    Lane* secondLane();

    const ServerTable& m_table;
    Procedure& m_p;
    RunObserver& m_observer;
    int m_entry;
    int m_entryCount;
    db::PushdownTable& m_holder;
    db::PushdownHold m_held;
    SchedulerCounts m_counts;
    bool m_atOnce = true; // batches go in one statement each, until a field two pairs meet in is found

    // Declared before the finisher that may hold them, so that they outlive it.
    Lane m_first;
    Lane m_second;
    std::unique_ptr<JournalWriter> m_writer;
    bool m_laneTried = false;
    bool m_hasSecond = false; // opened, whether in hand or with a finisher now
    std::future<Lane> m_laneOpening;
    std::future<Finished> m_pending; // the batch being finished beside the next
    PageRange m_pendingRange;
    long long m_pendingFound = 0;
    PageRange m_again;
};

} // namespace quarvel::engine
