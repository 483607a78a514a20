#include "engine/BatchScheduler.h"

#include <QElapsedTimer>
#include <QScopeGuard>

#include <algorithm>
#include <chrono>
#include <utility>

namespace quarvel::engine {

namespace {

long long pageOf(const QString& ctid)
{
    return QString(ctid).remove(u'(').section(u',', 0, 0).toLongLong();
}

// Whether place a ("(page,item)") comes after place b.
bool placeAfter(const QString& a, const QString& b)
{
    const auto parts = [](const QString& ctid) {
        const QString bare = QString(ctid).remove(u'(').remove(u')');
        return std::pair(bare.section(u',', 0, 0).toLongLong(), bare.section(u',', 1, 1).toLongLong());
    };
    return parts(a) > parts(b);
}

// The statements of two halves of pages at the same time, each on its own connection: the head of each
// half, or nullopt where the server refused it.
std::pair<std::optional<db::PushdownBatchHead>, std::optional<db::PushdownBatchHead>>
startBoth(db::PushdownTable& one, const PageRange& firstHalf, db::PushdownTable& other,
          const PageRange& secondHalf, const std::vector<db::ChangedColumns>& sets)
{
    // Neither commits before both have answered: a wait of one for the other ends soon.
    constexpr int LockWaitMs = 1000;
    std::future<db::PushdownBatchHead> later = std::async(std::launch::async, [&other, &secondHalf, &sets] {
        return other.startBatch(secondHalf.leaf, secondHalf.from, secondHalf.to, sets, LockWaitMs);
    });
    std::pair<std::optional<db::PushdownBatchHead>, std::optional<db::PushdownBatchHead>> heads;
    try {
        heads.first = one.startBatch(firstHalf.leaf, firstHalf.from, firstHalf.to, sets, LockWaitMs);
    } catch (const db::DbError&) {
    }
    try {
        heads.second = later.get();
    } catch (const db::DbError&) {
    }
    return heads;
}

// Of two halves run at once, those to finish, the first first, and how far they went; a half that found
// nothing is rolled back. Where the first half's cut stopped it, the rest of it comes next, and the second
// half goes again after it.
std::pair<std::vector<Beside>, Reach> halvesToFinish(const Beside& first, const Beside& second)
{
    std::vector<Beside> batches;
    if (first.head.found == 0)
        first.lane->table->rollback();
    else
        batches.push_back(first);
    if (!first.head.cut.isEmpty()) {
        second.lane->table->rollback();
        return {batches, Reach{first.head.found, first.head.cut}};
    }
    if (second.head.found == 0)
        second.lane->table->rollback();
    else
        batches.push_back(second);
    return {batches, Reach{first.head.found + second.head.found, second.head.cut}};
}

} // namespace

BatchDispatch::BatchDispatch(const ServerTable& table, Procedure& p, RunObserver& observer, int entry,
                             int entryCount, Lane first, db::PushdownTable& holder, db::StoreJournal* journal)
    : m_table(table), m_p(p), m_observer(observer), m_entry(entry), m_entryCount(entryCount),
      m_holder(holder), m_sets(table), m_lanes(table, std::move(first)),
      m_writer(std::make_unique<JournalWriter>(journal, table))
{}

BatchDispatch::~BatchDispatch() = default;

const db::PushdownHold& BatchDispatch::hold()
{
    m_held = m_holder.hold();
    return m_held;
}

long long BatchDispatch::finishedPages(const db::PushdownLeaf& leaf)
{
    settleOrRedo();
    return m_lanes.first().table->pages(leaf);
}

void BatchDispatch::settleAfterFailure()
{
    try {
        settle();
    } catch (const RunStopped&) {
        throw;
    } catch (...) {
    }
}

void BatchScheduler::run()
{
    m_pages = m_batches.hold().pages;
    const auto released = qScopeGuard([this] { m_batches.release(); });
    try {
        // As the record walk tells a table opened: record 0. How many records hold a find text is known
        // only at the end.
        tellProgress(m_observer, m_batches.entry(), m_batches.entryCount(), 0, 0);
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
    } catch (...) {
        // The batch being put on record ends first: its lines are in the log already.
        m_batches.settleAfterFailure();
        throw;
    }
    m_batches.settleOrRedo();
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
    const auto size = m_pages.find(leaf.oid);
    const long long pages = size == m_pages.end() ? 0 : size->second;
    if (4 * step < pages)
        m_batches.openBeside();
    long long page = 0;
    QString from = db::PushdownTable::place(0);
    bool scanning = true; // nothing found of late: two halves of pages go at once
    while (page < pages) {
        if (stopAsked(m_observer))
            throw RunStopped();
        const bool paired = from == db::PushdownTable::place(page) && page > 0 && page + step < pages &&
                            m_batches.canPair(scanning);
        QElapsedTimer took;
        took.start();
        const Reach reach =
            paired ? m_batches.batchPair(leaf, page, page + step, page + 2 * step)
                   : m_batches.batch({leaf, from, db::PushdownTable::place(page + step), page, page + step});
        scanning = reach.found == 0;
        if (!reach.cut.isEmpty()) {
            // The cap stopped it: the next batch goes on from there, over pages as dense holding three
            // quarters of the cap. Sized for the cap or more, a stretch this dense cuts every batch, and
            // the pages past each cut are read for nothing.
            const long long at = pageOf(reach.cut);
            step = std::max<long long>(1, (at - page + 1) * batchCapRows(m_table.request) * 3 /
                                              (4 * std::max<long long>(1, reach.found)));
            page = at;
            from = db::PushdownTable::after(reach.cut);
            continue;
        }
        page += paired ? 2 * step : step;
        from = db::PushdownTable::place(page);
        step = nextStep(step, paired ? reach.found / 2 : reach.found, took.elapsed());
    }
    m_batches.settleOrRedo();
}

// A foreign leaf has no snapshot shared with this server: its end is read again after each batch, so
// that a row another session moved past it meanwhile is reached too, and this run's own versions there
// are passed over by their places.
void BatchScheduler::runForeignLeaf(const db::PushdownLeaf& leaf, long long step)
{
    for (long long page = 0;;) {
        // The last batch is finished before the leaf is.
        if (page >= m_batches.pages(leaf) && page >= m_batches.finishedPages(leaf))
            break;
        if (stopAsked(m_observer))
            throw RunStopped();
        QElapsedTimer took;
        took.start();
        const long long found = m_batches.batch(PageRange::pages(leaf, page, page + step)).found;
        page += step;
        step = nextStep(step, found, took.elapsed());
    }
}

Reach BatchDispatch::batch(const PageRange& range)
{
    if (m_atOnce && !range.leaf.remote) {
        m_notCarried.reset();
        if (const std::optional<Reach> reach = batchAtOnce(range))
            return *reach;
        if (m_notCarried)
            return RowsApart(*this).narrow(range);
    }
    settleOrRedo();
    if (range.leaf.remote)
        return {locking().lockingBatch(range.leaf, range.first, range.end), {}};
    return locking().heldBatch(range);
}

// The batch in one statement, in the table's snapshot, where its answer tells each row's story: nullopt
// when the batch must go the locking way (a row another session changed since the snapshot, a row
// locked too long, a refusal), with nothing of it stored or logged. The statement's answer is read and
// the batch logged, put on record and committed beside the next batch's statement.
std::optional<Reach> BatchDispatch::batchAtOnce(const PageRange& range, bool retried)
{
    Lane* on = laneInHand();
    db::PushdownTable& table = *on->table;
    table.begin(range.leaf, m_held.snapshot);
    auto rolledBack = qScopeGuard([&] { table.rollback(); });
    db::PushdownBatchHead head;
    try {
        head = table.startBatch(range.leaf, range.from, range.to, m_sets.sets());
    } catch (const db::DbError& error) {
        // The locking way tells what the server refused, and of which row; a text the driver cannot
        // carry is looked for by halves.
        if (error.notCarried())
            m_notCarried = error;
        table.rollback();
        settleOrRedo();
        return std::nullopt;
    }
    if (head.found == 0) {
        // Nothing to read, log or store: no need of the other connection.
        table.finishBatch();
        return Reach{};
    }
    if (!m_sets.fits(head.changed)) {
        // Its rows change columns no UPDATE names: once more with an UPDATE for each, where the statement
        // can take them, else the locking way. The lane may go to a finisher then: rolled back here.
        rolledBack.dismiss();
        table.rollback();
        if (!retried && m_sets.learn(head.changed))
            return batchAtOnce(range, true);
        return std::nullopt;
    }
    if (!head.xmin.isEmpty())
        m_counts.ownVersion(head.xmin);
    if (settle()) {
        // The batch before goes the locking way, and this one after it.
        table.rollback();
        redoAll();
        return std::nullopt;
    }
    rolledBack.dismiss();
    finishBeside({{on, range, head}});
    return Reach{head.found, head.cut};
}

// Two halves of pages, each in one statement on a connection of its own at the same time: the server
// reads them as its own parallel scan would, while the batches before are finished on two others. Neither
// statement sees what the other writes, as both read the table's snapshot; where they meet (a unique
// index, say) one waits for the other until its short lock wait ends, and the halves go again one by one.
Reach BatchDispatch::batchPair(const db::PushdownLeaf& leaf, long long first, long long middle, long long end)
{
    const PageRange firstHalf = PageRange::pages(leaf, first, middle);
    const PageRange secondHalf = PageRange::pages(leaf, middle, end);
    const auto oneByOne = [&] {
        Reach a = batch(firstHalf);
        if (!a.cut.isEmpty())
            return a; // the rest of the first half, then the second, come next
        const Reach b = batch(secondHalf);
        return Reach{a.found + b.found, b.cut};
    };
    std::vector<Lane*> lanes = m_lanes.inHand(2);
    if (lanes.size() < 2) {
        settleOrRedo();
        lanes = m_lanes.inHand(2);
        if (lanes.size() < 2)
            return oneByOne();
    }
    db::PushdownTable& one = *lanes[0]->table;
    db::PushdownTable& other = *lanes[1]->table;
    bool open = true;
    const auto rollBack = [&] {
        if (std::exchange(open, false)) {
            one.rollback();
            other.rollback();
        }
    };
    auto rolledBack = qScopeGuard(rollBack);
    one.begin(leaf, m_held.snapshot);
    other.begin(leaf, m_held.snapshot);
    auto [firstHead, secondHead] = startBoth(one, firstHalf, other, secondHalf, m_sets.sets());
    if (!firstHead || !secondHead) {
        rollBack();
        return oneByOne();
    }
    // A half that found nothing has nothing to read: its rollback ends its answer.
    if (firstHead->found == 0 && secondHead->found == 0)
        return {};
    if (!m_sets.fits(firstHead->changed) || !m_sets.fits(secondHead->changed)) {
        // Rows that change columns no UPDATE of the statements names: one by one, with those UPDATEs.
        rollBack();
        m_sets.learn(firstHead->changed);
        m_sets.learn(secondHead->changed);
        return oneByOne();
    }
    for (const db::PushdownBatchHead* head : {&*firstHead, &*secondHead})
        if (!head->xmin.isEmpty())
            m_counts.ownVersion(head->xmin);
    if (settle()) {
        // The batches before go the locking way, and these after them.
        rollBack();
        redoAll();
        return oneByOne();
    }
    rolledBack.dismiss();
    auto [batches, reach] =
        halvesToFinish({lanes[0], firstHalf, *firstHead}, {lanes[1], secondHalf, *secondHead});
    finishBeside(batches);
    return reach;
}

void BatchDispatch::finishBeside(const std::vector<Beside>& batches)
{
    if (batches.empty())
        return;
    std::vector<FinishOrder> orders;
    m_pendingRanges.clear();
    m_pendingFound.clear();
    for (const Beside& batch : batches) {
        PageRange range = batch.range;
        // What it went over: up to its cut, where the cap stopped it.
        if (!batch.head.cut.isEmpty())
            range.to = db::PushdownTable::after(batch.head.cut);
        orders.push_back(FinishOrder{std::move(*batch.lane), nullptr, range.leaf, batch.head, 0});
        m_pendingRanges.push_back(range);
        m_pendingFound.push_back(batch.head.found);
    }
    orders.front().writer = std::move(m_writer);
    orders.front().firstRecord = m_counts.records + 1;
    m_pending = std::async(std::launch::async, [&table = m_table, orders = std::move(orders)]() mutable {
        return finishBatches(table, std::move(orders));
    });
}

// Waits for the batches being finished beside this one, takes back what they held and tells how they
// ended; true when some must be done again the locking way (m_again holds them, in place order).
bool BatchDispatch::settle()
{
    if (!m_pending.valid())
        return false;
    std::vector<Finished> parts = m_pending.get();
    for (Finished& part : parts) {
        m_lanes.giveBack(std::move(part.lane));
        if (part.writer)
            m_writer = std::move(part.writer);
    }
    for (size_t i = 0; i < parts.size(); ++i) {
        Finished& done = parts[i];
        if (done.failure)
            std::rethrow_exception(done.failure);
        if (done.again) {
            if (done.againFromNowOn)
                m_atOnce = false;
            if (done.logged)
                tellLogLines(m_p, m_observer, m_table, done.matched, done.logFailure);
            m_again.push_back({m_pendingRanges[i], done.logged});
            continue;
        }
        tellLogLines(m_p, m_observer, m_table, done.matched, done.logFailure);
        m_counts.examined += m_pendingFound[i];
        tellProgress(m_observer, m_entry, m_entryCount, m_counts.examined, 0);
        tellSettled(m_p, done.settled);
        m_counts.records += done.records;
    }
    return !m_again.empty();
}

void BatchDispatch::settleOrRedo()
{
    if (settle())
        redoAll();
}

void BatchDispatch::redoAll()
{
    for (Again& again : std::exchange(m_again, {}))
        redo(std::move(again));
}

// A batch done again the locking way, whole: in the table's snapshot it finds the same rows.
void BatchDispatch::redo(Again again)
{
    PageRange& range = again.range;
    if (range.leaf.remote) {
        locking().lockingBatch(range.leaf, range.first, range.end);
        return;
    }
    for (Reach reach = locking().heldBatch(range, again.logged); !reach.cut.isEmpty();
         reach = locking().heldBatch(range, again.logged))
        range.from = db::PushdownTable::after(reach.cut);
}

// The range's rows are listed in the table's snapshot by their places alone, which the driver can always
// carry.
Reach RowsApart::narrow(const PageRange& range)
{
    Lane* on = m_batches.laneInHand();
    db::PushdownTable& table = *on->table;
    table.begin(range.leaf, m_batches.m_held.snapshot);
    std::vector<db::PushdownRow> rows;
    try {
        rows = table.placesIn(range.leaf, range.from, range.to);
    } catch (...) {
        table.rollback();
        throw;
    }
    table.rollback();
    narrowRows(range, rows, 0, rows.size());
    return Reach{static_cast<long long>(rows.size()), {}};
}

void RowsApart::narrowRows(const PageRange& range, const std::vector<db::PushdownRow>& rows, size_t first,
                           size_t end)
{
    if (first >= end)
        return;
    PageRange part = range;
    part.from = rows[first].ctid;
    part.to = db::PushdownTable::after(rows[end - 1].ctid);
    m_batches.m_notCarried.reset();
    if (const std::optional<Reach> reach = m_batches.batchAtOnce(part)) {
        // Where the cap stopped it, the rest of the part goes on after its cut.
        size_t next = first;
        while (!reach->cut.isEmpty() && next < end && !placeAfter(rows[next].ctid, reach->cut))
            ++next;
        if (!reach->cut.isEmpty())
            narrowRows(range, rows, next, end);
        return;
    }
    if (!m_batches.m_notCarried) {
        m_batches.redo({part, false});
        return;
    }
    if (end - first == 1) {
        reportFailure(m_batches.m_p, step::Store,
                      std::make_exception_ptr(m_batches.m_notCarried->describing(
                          m_batches.m_table.rowName(range.leaf, rows[first].ctid, rows[first].key))));
        return;
    }
    const size_t middle = first + (end - first) / 2;
    narrowRows(range, rows, first, middle);
    narrowRows(range, rows, middle, end);
}

bool ChangedSets::fits(const std::vector<db::ChangedColumns>& sets) const
{
    return std::all_of(sets.begin(), sets.end(), [this](const db::ChangedColumns& set) {
        return std::find(m_sets.begin(), m_sets.end(), set) != m_sets.end();
    });
}

bool ChangedSets::learn(const std::vector<db::ChangedColumns>& sets)
{
    for (const db::ChangedColumns& set : sets) {
        if (std::find(m_sets.begin(), m_sets.end(), set) != m_sets.end())
            continue;
        // A generated column or an identity column that is always generated refuses every new value: such
        // rows go the locking way, which refuses them as the record walk does.
        bool settable = set.size() == qsizetype(m_table.columns.size());
        for (qsizetype j = 0; settable && j < set.size(); ++j)
            settable = set[j] == u'0' || m_table.columns[size_t(j)].settable();
        if (settable && m_sets.size() < Most)
            m_sets.push_back(set);
    }
    return fits(sets);
}

// The locking way needs the first connection and the journal writer: no batch may be being finished.
LockingStore BatchDispatch::locking()
{
    settleOrRedo();
    return LockingStore(m_table, m_p, m_observer, m_entry, m_entryCount, *m_lanes.first().table, m_holder,
                        *m_writer, m_counts);
}

Lane* BatchDispatch::laneInHand()
{
    std::vector<Lane*> lanes = m_lanes.inHand(1);
    if (lanes.empty()) {
        settleOrRedo();
        lanes = m_lanes.inHand(1);
    }
    return lanes.front();
}

Lanes::Lanes(const ServerTable& table, Lane first) : m_table(table), m_lanes(Most)
{
    m_lanes.front() = std::move(first);
}

// The finishers that may hold a lane are gone before the lanes are.
Lanes::~Lanes() = default;

Lane Lanes::openOne() const
{
    Lane lane;
    try {
        lane.connection = std::make_unique<db::Connection>();
        lane.connection->open(m_table.request.connectionString);
        // The shape as read already: the table's lock keeps it so until the run has done the table.
        lane.table = std::make_unique<db::PushdownTable>(*lane.connection, m_table.namer);
    } catch (...) {
        lane = {}; // the others do it all, a little slower
    }
    return lane;
}

// A small table is done before the connections would be open: only a large one opens them beside.
void Lanes::openBeside()
{
    if (m_tried)
        return;
    m_tried = true;
    for (size_t i = 1; i < Most; ++i)
        m_opening.push_back(std::async(std::launch::async, [this] { return openOne(); }));
    m_open = Most;
}

size_t Lanes::open()
{
    return m_open;
}

std::vector<Lane*> Lanes::inHand(size_t wanted)
{
    const auto collect = [this] {
        std::vector<Lane*> lanes;
        for (Lane& lane : m_lanes)
            if (lane)
                lanes.push_back(&lane);
        return lanes;
    };
    // Those opened by now; all that are opening where fewer are in hand than wanted.
    std::vector<Lane*> lanes;
    for (bool wait : {false, true}) {
        for (auto opening = m_opening.begin(); opening != m_opening.end();) {
            if (!wait && opening->wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
                ++opening;
                continue;
            }
            Lane lane = opening->get();
            opening = m_opening.erase(opening);
            if (lane)
                giveBack(std::move(lane));
            else
                --m_open;
        }
        lanes = collect();
        if (lanes.size() >= wanted || m_opening.empty())
            break;
    }
    return lanes;
}

void Lanes::giveBack(Lane lane)
{
    if (!lane)
        return;
    // The first has no connection of its own.
    if (!lane.connection) {
        m_lanes.front() = std::move(lane);
        return;
    }
    for (auto slot = m_lanes.begin() + 1; slot != m_lanes.end(); ++slot)
        if (!*slot) {
            *slot = std::move(lane);
            return;
        }
}

} // namespace quarvel::engine
