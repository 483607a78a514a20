#include "engine/BatchScheduler.h"

#include <QElapsedTimer>
#include <QScopeGuard>

#include <algorithm>

namespace quarvel::engine {

namespace {

long long pageOf(const QString& ctid)
{
    return QString(ctid).remove(u'(').section(u',', 0, 0).toLongLong();
}

} // namespace

BatchScheduler::BatchScheduler(const ServerTable& table, Procedure& p, RunObserver& observer, int entry,
                               int entryCount, Lane first, db::PushdownTable& holder,
                               db::StoreJournal* journal)
    : m_table(table), m_p(p), m_observer(observer), m_entry(entry), m_entryCount(entryCount),
      m_holder(holder), m_first(std::move(first)), m_writer(std::make_unique<JournalWriter>(journal, table))
{}

BatchScheduler::~BatchScheduler() = default;

void BatchScheduler::run()
{
    m_held = m_holder.hold();
    const auto released = qScopeGuard([this] { m_holder.release(); });
    try {
        runLeaves();
    } catch (...) {
        // The batch being put on record ends first: its lines are in the log already.
        try {
            settle();
        } catch (const RunStopped&) {
            throw;
        } catch (...) {
        }
        throw;
    }
    settle();
}

void BatchScheduler::runLeaves()
{
    // As the record walk tells a table opened: record 0. How many records hold a find text is known
    // only at the end.
    tellProgress(m_observer, m_entry, m_entryCount, 0, 0);
    for (const db::PushdownLeaf& leaf : m_table.namer.leaves()) {
        // A table never analysed is taken as pages of narrow rows: a batch too small costs a few
        // statements more, one too large holds its locks longer and cannot be interrupted.
        constexpr long long NarrowRowsPerPage = 250;
        const long long rowsPerPage = leaf.rowsPerPage > 0 ? leaf.rowsPerPage : NarrowRowsPerPage;
        const long long step = std::max<long long>(1, m_table.request.batchRows / rowsPerPage);
        if (leaf.remote)
            runForeignLeaf(leaf, step);
        else
            runLeaf(leaf, step);
    }
}

// What a batch costs beyond the server's scan goes with the rows it finds: where few match, more pages
// go into one batch (the rows locked stay about as many). A batch holds its rows locked and cannot be
// interrupted, so a slow one (wide rows, a busy server, triggers) makes the next ones smaller.
long long BatchScheduler::nextStep(long long step, long long found, qint64 ms) const
{
    constexpr long long MostPages = 1 << 16;
    constexpr qint64 LongestBatchMs = 2000;
    if (ms > LongestBatchMs)
        step = std::max<long long>(1, step / 2);
    else if (found < m_table.request.batchRows / 4 && ms < LongestBatchMs / 4 && step < MostPages)
        step *= found == 0 ? 4 : 2; // nothing held there: pages are all the batch costs
    return std::min(step, MostPages);
}

// A leaf's pages as they were when the table's snapshot was taken: every row version visible in it is
// there, and each is met by exactly one batch.
void BatchScheduler::runLeaf(const db::PushdownLeaf& leaf, long long step)
{
    const auto size = m_held.pages.find(leaf.oid);
    const long long pages = size == m_held.pages.end() ? 0 : size->second;
    if (4 * step < pages)
        openLaneBeside();
    long long page = 0;
    QString from = db::PushdownTable::place(0);
    bool scanning = true; // nothing found of late: two halves of pages go at once
    while (page < pages) {
        if (stopAsked(m_observer))
            throw RunStopped();
        const bool paired = scanning && from == db::PushdownTable::place(page) && page > 0 && m_atOnce &&
                            page + step < pages && (m_laneTried || m_laneOpening.valid()) && secondLane();
        QElapsedTimer took;
        took.start();
        const Reach reach =
            paired ? batchPair(leaf, page, page + step, page + 2 * step)
                   : batch({leaf, from, db::PushdownTable::place(page + step), page, page + step});
        scanning = reach.found == 0;
        if (!reach.cut.isEmpty()) {
            // The cap stopped it: the next batch goes on from there, over as many pages as held the
            // rows this one took.
            const long long at = pageOf(reach.cut);
            step = std::max<long long>(1, (at - page + 1) * m_table.request.batchRows /
                                              std::max<long long>(1, reach.found));
            page = at;
            from = db::PushdownTable::after(reach.cut);
            continue;
        }
        page += paired ? 2 * step : step;
        from = db::PushdownTable::place(page);
        step = nextStep(step, reach.found, took.elapsed());
    }
    settleOrRedo();
}

// A foreign leaf has no snapshot shared with this server: its end is read again after each batch, so
// that a row another session moved past it meanwhile is reached too, and this run's own versions there
// are passed over by their places.
void BatchScheduler::runForeignLeaf(const db::PushdownLeaf& leaf, long long step)
{
    for (long long page = 0;;) {
        // The last batch is finished before the leaf is.
        if (page >= laneInHand()->table->pages(leaf)) {
            settleOrRedo();
            if (page >= m_first.table->pages(leaf))
                break;
        }
        if (stopAsked(m_observer))
            throw RunStopped();
        QElapsedTimer took;
        took.start();
        const long long found = batch(PageRange::pages(leaf, page, page + step)).found;
        page += step;
        step = nextStep(step, found, took.elapsed());
    }
}

Reach BatchScheduler::batch(const PageRange& range)
{
    if (m_atOnce && !range.leaf.remote)
        if (const std::optional<Reach> reach = batchAtOnce(range))
            return *reach;
    settleOrRedo();
    if (range.leaf.remote)
        return {locking().lockingBatch(range.leaf, range.first, range.end), {}};
    return locking().heldBatch(range);
}

// The batch in one statement, in the table's snapshot, where its answer tells each row's story: nullopt
// when the batch must go the locking way (a row another session changed since the snapshot, a row
// locked too long, a refusal), with nothing of it stored or logged. The statement's answer is read and
// the batch logged, put on record and committed beside the next batch's statement.
std::optional<Reach> BatchScheduler::batchAtOnce(const PageRange& range)
{
    Lane* on = laneInHand();
    db::PushdownTable& table = *on->table;
    table.begin(range.leaf, m_held.snapshot);
    auto rolledBack = qScopeGuard([&] { table.rollback(); });
    db::PushdownBatchHead head;
    try {
        head = table.startBatch(range.leaf, range.from, range.to);
    } catch (const db::DbError&) {
        // The locking way tells what the server refused, and of which row.
        table.rollback();
        settleOrRedo();
        return std::nullopt;
    }
    if (head.found == 0) {
        // Nothing to read, log or store: no need of the other connection.
        table.finishBatch();
        return Reach{};
    }
    if (!head.xmin.isEmpty())
        m_counts.ownVersion(head.xmin);
    if (settle()) {
        // The batch before goes the locking way, and this one after it.
        table.rollback();
        redo(m_again);
        return std::nullopt;
    }
    rolledBack.dismiss();
    finishBeside(*on, range, head);
    return Reach{head.found, head.cut};
}

// Two halves of pages where nothing was found of late, each in one statement on its own connection at
// the same time: the server reads them as its own parallel scan would. Neither statement sees what the
// other writes, as both read the table's snapshot; where they meet (a unique index, say) one waits for
// the other until its short lock wait ends, and the halves go again one by one.
Reach BatchScheduler::batchPair(const db::PushdownLeaf& leaf, long long first, long long middle,
                                long long end)
{
    settleOrRedo();
    db::PushdownTable& one = *m_first.table;
    db::PushdownTable& other = *m_second.table;
    auto rolledBack = qScopeGuard([&] {
        one.rollback();
        other.rollback();
    });
    one.begin(leaf, m_held.snapshot);
    other.begin(leaf, m_held.snapshot);
    const PageRange firstHalf = PageRange::pages(leaf, first, middle);
    const PageRange secondHalf = PageRange::pages(leaf, middle, end);
    std::optional<db::PushdownBatchHead> firstHead;
    std::optional<db::PushdownBatchHead> secondHead;
    {
        // Neither commits before both have answered: a wait of one for the other ends soon.
        constexpr int LockWaitMs = 1000;
        std::future<db::PushdownBatchHead> later = std::async(std::launch::async, [&other, &secondHalf] {
            return other.startBatch(secondHalf.leaf, secondHalf.from, secondHalf.to, LockWaitMs);
        });
        try {
            firstHead = one.startBatch(leaf, firstHalf.from, firstHalf.to, LockWaitMs);
        } catch (const db::DbError&) {
        }
        try {
            secondHead = later.get();
        } catch (const db::DbError&) {
        }
    }
    if (!firstHead || !secondHead) {
        one.rollback();
        other.rollback();
        rolledBack.dismiss();
        Reach a = batch(firstHalf);
        if (!a.cut.isEmpty())
            return a; // the rest of the first half, then the second, come next
        const Reach b = batch(secondHalf);
        return {a.found + b.found, b.cut};
    }
    if (firstHead->found == 0)
        one.finishBatch();
    if (secondHead->found == 0)
        other.finishBatch();
    if (firstHead->found == 0 && secondHead->found == 0)
        return {};
    for (const db::PushdownBatchHead* head : {&*firstHead, &*secondHead})
        if (!head->xmin.isEmpty())
            m_counts.ownVersion(head->xmin);
    rolledBack.dismiss();
    return finishPair(firstHalf, *firstHead, secondHalf, *secondHead);
}

// The first half is finished, then the second goes on beside the next batch, as any batch does.
Reach BatchScheduler::finishPair(const PageRange& firstHalf, const db::PushdownBatchHead& firstHead,
                                 const PageRange& secondHalf, const db::PushdownBatchHead& secondHead)
{
    db::PushdownTable& other = *m_second.table;
    auto otherBack = qScopeGuard([&] { other.rollback(); });
    if (firstHead.found == 0) {
        m_first.table->rollback();
    } else {
        finishBeside(m_first, firstHalf, firstHead);
        // The rest of the first half comes first; the second half goes again after it.
        if (!firstHead.cut.isEmpty())
            return {firstHead.found, firstHead.cut};
        if (settle()) {
            other.rollback();
            otherBack.dismiss();
            redo(m_again);
            const Reach b = batch(secondHalf);
            return {firstHead.found + b.found, b.cut};
        }
    }
    otherBack.dismiss();
    if (secondHead.found == 0) {
        other.rollback();
        return {firstHead.found, {}};
    }
    finishBeside(m_second, secondHalf, secondHead);
    return {firstHead.found + secondHead.found, secondHead.cut};
}

void BatchScheduler::finishBeside(Lane& lane, PageRange range, const db::PushdownBatchHead& head)
{
    // What it went over: up to its cut, where the cap stopped it.
    if (!head.cut.isEmpty())
        range.to = db::PushdownTable::after(head.cut);
    FinishOrder order{std::move(lane), std::move(m_writer), range.leaf, head, m_counts.records + 1};
    m_pending = std::async(std::launch::async, [&table = m_table, order = std::move(order)]() mutable {
        return finishBatch(table, std::move(order));
    });
    m_pendingRange = range;
    m_pendingFound = head.found;
}

// Waits for the batch being finished beside this one, takes back what it held and tells how it ended;
// true when it must be done again the locking way (m_again holds it).
bool BatchScheduler::settle()
{
    if (!m_pending.valid())
        return false;
    Finished done = m_pending.get();
    (m_first ? m_second : m_first) = std::move(done.lane);
    m_writer = std::move(done.writer);
    if (done.failure)
        std::rethrow_exception(done.failure);
    if (done.again) {
        if (done.againFromNowOn)
            m_atOnce = false;
        m_again = m_pendingRange;
        return true;
    }
    tellLogLines(m_p, m_observer, m_table, done.matched, done.logFailure);
    m_counts.examined += m_pendingFound;
    tellProgress(m_observer, m_entry, m_entryCount, m_counts.examined, 0);
    tellSettled(m_p, done.settled);
    m_counts.records += done.records;
    return false;
}

void BatchScheduler::settleOrRedo()
{
    if (settle())
        redo(m_again);
}

// A batch done again the locking way, whole: in the table's snapshot it finds the same rows.
void BatchScheduler::redo(PageRange range)
{
    if (range.leaf.remote) {
        locking().lockingBatch(range.leaf, range.first, range.end);
        return;
    }
    for (Reach reach = locking().heldBatch(range); !reach.cut.isEmpty(); reach = locking().heldBatch(range))
        range.from = db::PushdownTable::after(reach.cut);
}

// The locking way needs the first connection and the journal writer: no batch may be being finished.
LockingStore BatchScheduler::locking()
{
    settleOrRedo();
    return LockingStore(m_table, m_p, m_observer, m_entry, m_entryCount, *m_first.table, m_holder, *m_writer,
                        m_counts);
}

Lane* BatchScheduler::laneInHand()
{
    if (m_first)
        return &m_first;
    if (Lane* second = secondLane(); second && *second)
        return second;
    settleOrRedo();
    return &m_first;
}

Lane BatchScheduler::openLane() const
{
    Lane lane;
    try {
        lane.connection = std::make_unique<db::Connection>();
        lane.connection->open(m_table.request.connectionString);
        // The shape as read already: the table's lock keeps it so until the run has done the table.
        lane.table = std::make_unique<db::PushdownTable>(*lane.connection, m_table.namer);
    } catch (...) {
        lane = {}; // the one connection does it all, a little slower
    }
    return lane;
}

// Opens the second connection while the first batches run, where the table is large enough for its
// batches to share the work: a small table is done before the connection would be.
void BatchScheduler::openLaneBeside()
{
    if (!m_laneTried && !m_laneOpening.valid())
        m_laneOpening = std::async(std::launch::async, [this] { return openLane(); });
}

// The connection a batch's statement runs on while the one before is read, put on record and committed
// on the other; null when it could not be opened, and the batches then take turns on the one.
Lane* BatchScheduler::secondLane()
{
    if (!m_laneTried) {
        m_laneTried = true;
        m_second = m_laneOpening.valid() ? m_laneOpening.get() : openLane();
        m_hasSecond = bool(m_second);
    }
    return m_hasSecond ? &m_second : nullptr;
}

} // namespace quarvel::engine
