#include "engine/PushdownRun.h"

#include "core/Procedure.h"
#include "db/Connection.h"
#include "db/Pushdown.h"
#include "db/RecordSet.h"
#include "engine/Replace.h"
#include "engine/ReplacementLog.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QScopeGuard>
#include <QStringList>

#include <algorithm>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>

namespace quarvel::engine {

namespace {

class RunStopped : public std::exception
{
};

class TableLeft : public std::exception
{
};

// The report lines of the record walk, so that a failure reads the same whichever way a table went.
struct PairLines
{
    int log;
    int store;
};
constexpr PairLines SinglePairLines{138, 140};
constexpr PairLines SetLines{148, 150};
constexpr int StoreLine = 156;

const QString StaleMessage = QStringLiteral(
    "Row cannot be located for updating. Some values may have been changed since it was last read.");

void tellProgress(RunHost& host, int entry, int entryCount, long long record, long long recordCount) noexcept
{
    try {
        host.progress(entry, entryCount, record, recordCount);
    } catch (...) {
    }
}

void tellReplaced(RunHost& host, const QString& fieldName) noexcept
{
    try {
        host.replaced(fieldName);
    } catch (...) {
    }
}

void tellUnlogged(RunHost& host, const QString& fieldName) noexcept
{
    try {
        host.unlogged(fieldName);
    } catch (...) {
    }
}

bool stopAsked(RunHost& host) noexcept
{
    try {
        return host.stopRequested();
    } catch (...) {
        return false;
    }
}

// Reports a failure; one that stops the run or leaves the table is thrown on as such.
void reportFailure(Procedure& p, int line, const std::exception_ptr& failure)
{
    p.report(line, failure);
    try {
        std::rethrow_exception(failure);
    } catch (const db::DbError& e) {
        if (e.stopsTheRun())
            throw RunStopped();
        if (e.ruinsTheTable())
            throw TableLeft();
    } catch (...) {
    }
}

template <class F> bool walkStep(Procedure& p, int line, F&& body)
{
    try {
        body();
        return true;
    } catch (...) {
        reportFailure(p, line, std::current_exception());
        return false;
    }
}

const QString JournalMessage = QStringLiteral(
    "The journal of old values could not be written (%1). Nothing more is stored: the run stops here, and "
    "what its journal holds can still be undone.");

// What the run does, fixed when it starts.
struct RunRequest
{
    int tab = -1;
    db::PushdownPairs pairs; // in list order; pairs that cannot match left out
    QStringList tables;
    RunPairs journalPairs;
};

RunRequest readRequest(RunHost& host)
{
    RunRequest request;
    for (int i = 0; i < host.tableCount(); ++i)
        if (host.isTicked(i))
            request.tables << host.tableText(i);
    request.tab = host.selectedTab();
    if (request.tab == 0)
        request.journalPairs.append({host.findText(), host.replaceText()});
    else if (request.tab == 1)
        for (int k = 0; k < host.setCount(); ++k)
            request.journalPairs.append({host.setFindText(k), host.setReplaceText(k)});
    for (const auto& [find, replacement] : std::as_const(request.journalPairs))
        if (!find.isEmpty())
            request.pairs.emplace_back(find, replacement);
    return request;
}

// One table's run: its shape, the host, and where the run stands in it.
struct TableRun
{
    Procedure& p;
    RunHost& host;
    db::PushdownTable& shape;
    const db::Table& table;
    const QString& tableText;
    const RunRequest& request;
    db::StoreJournal* journal;
    int entry;
    int entryCount;
    std::vector<QString> ownVersions; // xmins of the row versions this run wrote
    long long examined = 0;
    long long journaledRecords = 0;

    // The rows of one statement share their version's xmin: each is kept once, so that the list every
    // later batch sends and tests each row against stays as short as the run's statements are few.
    void ownVersion(const QString& xmin)
    {
        if (std::find(ownVersions.begin(), ownVersions.end(), xmin) == ownVersions.end())
            ownVersions.push_back(xmin);
    }

    PairLines lines() const { return request.tab == 1 ? SetLines : SinglePairLines; }

    QString rowName(const db::PushdownLeaf& leaf, const QString& ctid, const std::vector<QString>& key) const
    {
        return shape.rowName(leaf, ctid, key);
    }

    // The lines of a whole batch, written with one opening of the log; a log that cannot take them is
    // reported for each line, as the record walk reports each line it could not write.
    // Writes a batch's lines with one opening of the log, and gives back why it could not. Touches
    // nothing but the log, so that it can run beside the next batch.
    std::exception_ptr writeLines(const std::vector<std::pair<size_t, size_t>>& matches) const noexcept
    {
        if (matches.empty())
            return {};
        try {
            const QString now = logTimestamp(QDateTime::currentDateTime());
            std::map<std::pair<size_t, size_t>, QString> made; // a batch's lines repeat: each made once
            QStringList lines;
            for (const auto& match : matches) {
                auto line = made.find(match);
                if (line == made.end())
                    line = made.emplace(match, stampedLogLine(now, request.pairs[match.second].first,
                                                              request.pairs[match.second].second, tableText,
                                                              shape.columns()[match.first].name))
                               .first;
                lines << line->second;
            }
            AppendLogLines(lines);
        } catch (...) {
            return std::current_exception();
        }
        return {};
    }

    // A log that could not take a batch's lines is reported for each line it did not take, as the record
    // walk reports each line it could not write.
    void tellLines(const std::vector<std::pair<size_t, size_t>>& matches, const std::exception_ptr& failure)
    {
        size_t written = failure ? 0 : matches.size();
        if (failure) {
            try {
                std::rethrow_exception(failure);
            } catch (const LogWriteError& e) {
                written = size_t(e.linesWritten());
            } catch (...) {
            }
        }
        for (size_t i = 0; i < matches.size(); ++i) {
            const QString& field = shape.columns()[matches[i].first].name;
            if (i < written) {
                tellReplaced(host, field);
                continue;
            }
            reportFailure(p, this->lines().log, failure);
            tellUnlogged(host, field);
        }
    }

    void log(const std::vector<std::pair<size_t, size_t>>& matches)
    {
        tellLines(matches, writeLines(matches));
    }

    void log(size_t column, size_t pair)
    {
        const QString& field = shape.columns()[column].name;
        if (walkStep(p, lines().log, [&] {
                AppendLogLine(logLine(QDateTime::currentDateTime(), request.pairs[pair].first,
                                      request.pairs[pair].second, tableText, field));
            }))
            tellReplaced(host, field);
        else
            tellUnlogged(host, field);
    }

    // What putting a batch on record and committing it came to.
    struct Settled
    {
        std::optional<QString> journalFailure; // the batch was rolled back
        std::exception_ptr commitFailure;
    };

    // Puts the batch's rows on record inside its transaction, then commits it on the connection it ran
    // on. Touches nothing but the journal and that connection, so that it can run beside the next batch.
    static Settled putOnRecord(db::StoreJournal* journal, db::PushdownTable& on, const db::Table& table,
                               const std::vector<QString>& keyColumns, const QString& transaction,
                               const std::vector<db::JournaledRecord>& records) noexcept
    {
        Settled settled;
        const bool journaled = journal && !records.empty();
        if (journaled) {
            try {
                journal->storing(table, keyColumns, transaction, records);
            } catch (...) {
                on.rollback();
                journal->stored(false);
                settled.journalFailure = QStringLiteral("unknown failure");
                try {
                    throw;
                } catch (const std::exception& e) {
                    settled.journalFailure = QString::fromUtf8(e.what());
                } catch (...) {
                }
                return settled;
            }
        }
        try {
            on.commit();
        } catch (...) {
            settled.commitFailure = std::current_exception();
        }
        if (journaled)
            journal->stored(!settled.commitFailure);
        return settled;
    }

    // A journal that could not take a batch stops the run with nothing of that batch stored.
    void tell(const Settled& settled)
    {
        if (settled.journalFailure) {
            reportFailure(p, StoreLine,
                          std::make_exception_ptr(
                              db::DbError::stoppingTheRun(JournalMessage.arg(*settled.journalFailure))));
            throw RunStopped();
        }
        if (settled.commitFailure)
            std::rethrow_exception(settled.commitFailure);
    }

    void commit(const QString& transaction, const std::vector<db::JournaledRecord>& records)
    {
        tell(putOnRecord(journal, shape, table, shape.keyColumns(), transaction, records));
        journaledRecords += static_cast<long long>(records.size());
    }

    // What finishing a batch beside the next one came to.
    struct Finished
    {
        bool again = false; // nothing of it stored or logged: it goes the locking way
        bool againFromNowOn = false;
        std::vector<std::pair<size_t, size_t>> matched;
        std::exception_ptr logFailure;
        long long records = 0;
        Settled settled;
        std::exception_ptr failure; // rolled back: its answer could not be read, or differs from the run's
    };

    // Places [from, to) of a leaf; a foreign leaf's batches go by pages [first, end).
    struct Range
    {
        db::PushdownLeaf leaf;
        QString from;
        QString to;
        long long first = 0;
        long long end = 0;
    };

    // How far a batch went: the rows it found, and where the cap stopped it (empty when it did not).
    struct Reach
    {
        long long found = 0;
        QString cut;
    };

    static Range pagesOf(const db::PushdownLeaf& leaf, long long first, long long end)
    {
        return {leaf, db::PushdownTable::place(first), db::PushdownTable::place(end), first, end};
    }

    // Waits for the batch being finished beside this one and tells how it ended; true when it must be
    // done again the locking way (again holds it).
    bool settle()
    {
        if (!pending.valid())
            return false;
        const Finished done = pending.get();
        if (done.failure)
            std::rethrow_exception(done.failure);
        if (done.again) {
            if (done.againFromNowOn)
                atOnce = false;
            again = pendingRange;
            return true;
        }
        tellLines(done.matched, done.logFailure);
        examined += pendingFound;
        tellProgress(host, entry, entryCount, examined, 0);
        tell(done.settled);
        journaledRecords += done.records;
        return false;
    }

    void settleOrRedo()
    {
        if (settle())
            redo(again);
    }

    // A batch done again the locking way, whole: in the table's snapshot it finds the same rows.
    void redo(Range range)
    {
        if (range.leaf.remote) {
            lockingBatch(range.leaf, range.first, range.end);
            return;
        }
        for (Reach reach = heldBatch(range); !reach.cut.isEmpty(); reach = heldBatch(range))
            range.from = db::PushdownTable::after(reach.cut);
    }

    // The connection no batch is being finished on.
    db::PushdownTable& idle()
    {
        if (pending.valid() && pendingOn == &shape) {
            if (db::PushdownTable* lane = secondLane())
                return *lane;
            settleOrRedo();
        }
        return shape;
    }

    // The second connection and the table's shape on it.
    struct Lane
    {
        std::unique_ptr<db::Connection> connection;
        std::unique_ptr<db::PushdownTable> table;
    };

    Lane openLane() const
    {
        Lane lane;
        try {
            lane.connection = std::make_unique<db::Connection>();
            lane.connection->open(connectionString);
            // The shape as read already: the table's lock keeps it so until the run has done the table.
            lane.table = std::make_unique<db::PushdownTable>(*lane.connection, shape);
        } catch (...) {
            lane = {}; // the one connection does it all, a little slower
        }
        return lane;
    }

    // Opens the second connection while the first batches run, where the table is large enough for its
    // batches to share the work: a small table is done before the connection would be.
    void openLaneBeside()
    {
        if (!laneTried && !laneOpening.valid())
            laneOpening = std::async(std::launch::async, [this] { return openLane(); });
    }

    // The connection a batch's statement runs on while the one before is read, put on record and
    // committed on the other; null when it could not be opened, and the batches then take turns on the
    // one.
    db::PushdownTable* secondLane()
    {
        if (!laneTried) {
            laneTried = true;
            Lane lane = laneOpening.valid() ? laneOpening.get() : openLane();
            if (lane.table) {
                laneConnection = std::move(lane.connection);
                second = std::move(lane.table);
            }
        }
        return second.get();
    }

    // The record numbered as the run stores it in this table: the batch's records after those before.
    db::JournaledRecord journaled(const db::PushdownLeaf& leaf, const std::vector<int>& columns,
                                  const std::vector<std::optional<QString>>& oldValues,
                                  const std::vector<QString>& newValues, const db::PushdownStored& stored,
                                  size_t inBatch = 0) const
    {
        db::JournaledRecord record;
        record.record = journaledRecords + static_cast<long long>(inBatch) + 1;
        for (int j : columns) {
            record.columns.push_back(shape.columns()[static_cast<size_t>(j)].name);
            record.oldValues.push_back(oldValues[static_cast<size_t>(j)]);
        }
        // What the server stored, where it tells: a trigger may have made the text something else.
        record.newValues = newValues;
        for (size_t k = 0; k < columns.size(); ++k) {
            const auto j = static_cast<size_t>(columns[k]);
            if (j < stored.stored.size() && stored.stored[j])
                record.newValues[k] = *stored.stored[j];
        }
        record.key = stored.key;
        record.rowOid = stored.tableOid.isEmpty() ? leaf.oid : stored.tableOid;
        record.ctid = stored.ctid;
        record.xmin = stored.xmin;
        return record;
    }

    // One row on its own, in a transaction of its own, as the record walk stores it: each pair's new
    // text is offered to the column, a text it refuses is reported and the field goes on from its value
    // before; then the row is stored, and the server's refusal of it is reported for this record alone.
    // A row read in the table's snapshot (its xmin known) that another session changed since gets the
    // replacement on top of that session's value, found by its primary key; without one, or gone, it is
    // reported. Its log lines are written here unless they were (logged).
    void storeAlone(const db::PushdownLeaf& leaf, const db::PushdownRow& read, bool logged)
    {
        const QString readName = rowName(leaf, read.ctid, read.key);
        std::optional<db::PushdownRow> row;
        try {
            shape.begin(leaf);
            row = shape.lockRow(leaf, read.ctid, ownVersions, read.xmin);
            if (!row && !read.xmin.isEmpty())
                row = shape.lockByKey(leaf, read.key, ownVersions);
            if (!row && (logged || !read.xmin.isEmpty())) {
                const bool there = !read.xmin.isEmpty() && shape.stillThere(leaf, read);
                throw there ? shape.skipped(leaf) : db::DbError(StaleMessage, QStringLiteral("01001"));
            }
        } catch (const db::DbError& error) {
            shape.rollback();
            // As the record walk logs a field before it finds that its record cannot be stored.
            if (!logged)
                log(plan(read).matched);
            reportFailure(p, StoreLine, std::make_exception_ptr(error.describing(readName)));
            return;
        }
        auto rolledBack = qScopeGuard([&] { shape.rollback(); });
        if (!row)
            return;
        const QString name = rowName(leaf, row->ctid, row->key);
        std::vector<int> changed;
        std::vector<QString> texts;
        for (size_t j = 0; j < row->values.size(); ++j) {
            std::optional<QString> value = row->values[j];
            for (size_t k = 0; k < request.pairs.size(); ++k) {
                if (!matches(value, request.pairs[k].first))
                    continue;
                if (!logged)
                    log(j, k);
                const QString next = replaceAndTrim(*value, request.pairs[k].first, request.pairs[k].second);
                if (const std::optional<db::DbError> refused = shape.refusal(int(j), next))
                    reportFailure(p, lines().store, std::make_exception_ptr(refused->describing(name)));
                else
                    value = next;
            }
            if (value != row->values[j]) {
                changed.push_back(int(j));
                texts.push_back(*value);
            }
        }
        if (changed.empty())
            return;
        QString transaction;
        std::optional<db::PushdownStored> stored;
        try {
            stored = shape.storeRow(leaf, row->ctid, changed, texts, transaction);
        } catch (const db::DbError& error) {
            shape.rollback();
            reportFailure(p, StoreLine, std::make_exception_ptr(error.describing(name)));
            return;
        }
        if (!stored) {
            shape.rollback();
            reportFailure(
                p, StoreLine,
                std::make_exception_ptr(
                    db::DbError(QStringLiteral("The row is still as it was read, but the server changed "
                                               "nothing and gave no error."),
                                QStringLiteral("02000"))
                        .describing(name)));
            return;
        }
        rolledBack.dismiss();
        ownVersion(stored->xmin);
        commit(transaction, {journaled(leaf, changed, row->values, texts, *stored)});
    }

    // What the pairs make of one row, as the record walk applies them.
    struct Plan
    {
        std::vector<std::optional<QString>> expected;
        std::vector<std::pair<size_t, size_t>> matched; // column, pair
        bool alone = false;                             // a refusal could fall between two pairs
        std::vector<int> changed;
    };

    Plan plan(const db::PushdownRow& row) const
    {
        Plan plan;
        plan.expected = row.values;
        for (size_t j = 0; j < row.values.size(); ++j) {
            int hits = 0;
            for (size_t k = 0; k < request.pairs.size(); ++k) {
                if (!matches(plan.expected[j], request.pairs[k].first))
                    continue;
                plan.matched.emplace_back(j, k);
                plan.expected[j] =
                    replaceAndTrim(*plan.expected[j], request.pairs[k].first, request.pairs[k].second);
                ++hits;
            }
            // The record walk offers each pair's text to the column: a type could refuse a text between
            // two pairs that it would take at the end, so such a field goes the walk's way.
            if (hits > 1 && !shape.columns()[j].takesAnyText)
                plan.alone = true;
            if (plan.expected[j] != row.values[j]) {
                plan.changed.push_back(int(j));
                // A text the type would store as something else (a seventh digit of a second, two
                // jsonb keys become one) is refused, as the record walk refuses it: alone.
                if (db::mayRound(shape.columns()[j].rounding, *plan.expected[j]))
                    plan.alone = true;
            }
        }
        return plan;
    }

    // The server's new texts are the run's own: what the run changes, and nothing else.
    static bool sameChange(const std::vector<std::optional<QString>>& stored, const Plan& planned)
    {
        for (size_t j = 0; j < stored.size(); ++j) {
            const bool changed =
                std::find(planned.changed.begin(), planned.changed.end(), int(j)) != planned.changed.end();
            if (changed ? stored[j] != planned.expected[j] : stored[j].has_value())
                return false;
        }
        return true;
    }

    std::exception_ptr differing(const db::PushdownLeaf& leaf, const db::PushdownRow& row) const
    {
        return std::make_exception_ptr(std::logic_error(
            QStringLiteral("The server's replacement in %1 differs from the run's; nothing of its batch was "
                           "stored.")
                .arg(rowName(leaf, row.ctid, row.key))
                .toStdString()));
    }

    // The batch in one statement, in the table's snapshot, where its answer tells each row's story:
    // nullopt when the batch must go the locking way (a row another session changed since the snapshot,
    // a row locked too long, a refusal), with nothing of it stored or logged. The statement's answer is
    // read and the batch logged, put on record and committed beside the next batch's statement.
    std::optional<Reach> batchAtOnce(const Range& range)
    {
        db::PushdownTable* on = &shape;
        if (pending.valid() && pendingOn == &shape)
            on = secondLane();
        if (!on) {
            settleOrRedo();
            on = &shape;
        }
        on->begin(range.leaf, held.snapshot);
        auto rolledBack = qScopeGuard([&] { on->rollback(); });
        db::PushdownBatchHead head;
        try {
            head = on->startBatch(range.leaf, range.from, range.to);
        } catch (const db::DbError&) {
            // The locking way tells what the server refused, and of which row.
            on->rollback();
            settleOrRedo();
            return std::nullopt;
        }
        if (head.found == 0) {
            // Nothing to read, log or store: no need of the other connection.
            on->finishBatch();
            return Reach{};
        }
        if (!head.xmin.isEmpty())
            ownVersion(head.xmin);
        if (settle()) {
            // The batch before goes the locking way, and this one after it.
            on->rollback();
            redo(again);
            return std::nullopt;
        }
        rolledBack.dismiss();
        finishBeside(*on, range, head);
        return Reach{head.found, head.cut};
    }

    // Two halves of pages where nothing was found of late, each in one statement on its own connection at
    // the same time: the server reads them as its own parallel scan would. Neither statement sees what the
    // other writes, as both read the table's snapshot; where they meet (a unique index, say) one waits
    // for the other until its short lock wait ends, and the halves go again one by one.
    Reach batchPair(const db::PushdownLeaf& leaf, long long first, long long middle, long long end)
    {
        settleOrRedo();
        db::PushdownTable& one = shape;
        db::PushdownTable& other = *second;
        auto rolledBack = qScopeGuard([&] {
            one.rollback();
            other.rollback();
        });
        one.begin(leaf, held.snapshot);
        other.begin(leaf, held.snapshot);
        const Range firstHalf = pagesOf(leaf, first, middle);
        const Range secondHalf = pagesOf(leaf, middle, end);
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
                ownVersion(head->xmin);
        // The first half is finished, then the second goes on beside the next batch, as any batch does.
        rolledBack.dismiss();
        auto otherBack = qScopeGuard([&] { other.rollback(); });
        if (firstHead->found == 0) {
            one.rollback();
        } else {
            finishBeside(one, firstHalf, *firstHead);
            // The rest of the first half comes first; the second half goes again after it.
            if (!firstHead->cut.isEmpty())
                return {firstHead->found, firstHead->cut};
            if (settle()) {
                other.rollback();
                otherBack.dismiss();
                redo(again);
                const Reach b = batch(secondHalf);
                return {firstHead->found + b.found, b.cut};
            }
        }
        otherBack.dismiss();
        if (secondHead->found == 0) {
            other.rollback();
            return {firstHead->found, {}};
        }
        finishBeside(other, secondHalf, *secondHead);
        return {firstHead->found + secondHead->found, secondHead->cut};
    }

    void finishBeside(db::PushdownTable& on, Range range, const db::PushdownBatchHead& head)
    {
        // What it went over: up to its cut, where the cap stopped it.
        if (!head.cut.isEmpty())
            range.to = db::PushdownTable::after(head.cut);
        pending = std::async(std::launch::async,
                             [this, &on, leaf = range.leaf, head] { return finish(on, leaf, head); });
        pendingOn = &on;
        pendingRange = range;
        pendingFound = head.found;
    }

    // Reads a batch's answer, checks each row against the run's own replacement, logs it, puts it on
    // record and commits it. Runs beside the next batch's statement: touches only the batch's connection,
    // the log and the journal.
    Finished finish(db::PushdownTable& on, const db::PushdownLeaf& leaf,
                    const db::PushdownBatchHead& head) const noexcept
    {
        Finished out;
        try {
            const db::PushdownBatch done = on.finishBatch();
            const long long stored = std::count_if(done.stored.begin(), done.stored.end(),
                                                   [](const auto& row) { return row.has_value(); });
            // Another session changed some rows meanwhile: the locking way reads their newest versions.
            if (stored != head.meant) {
                on.rollback();
                out.again = true;
                return out;
            }
            std::vector<db::JournaledRecord> records;
            for (size_t i = 0; i < done.rows.size(); ++i) {
                const db::PushdownRow& row = done.rows[i];
                const Plan planned = plan(row);
                if (planned.alone) {
                    // Such fields come again in a table: the rest of it goes the locking way.
                    on.rollback();
                    out.again = out.againFromNowOn = true;
                    return out;
                }
                out.matched.insert(out.matched.end(), planned.matched.begin(), planned.matched.end());
                const std::optional<db::PushdownStored>& version = done.stored[i];
                if (version ? !sameChange(version->values, planned) : !planned.changed.empty()) {
                    on.rollback();
                    out.failure = differing(leaf, row);
                    return out;
                }
                if (!version)
                    continue;
                std::vector<QString> texts;
                for (int j : planned.changed)
                    texts.push_back(*planned.expected[static_cast<size_t>(j)]);
                records.push_back(
                    journaled(leaf, planned.changed, row.values, texts, *version, records.size()));
            }
            // Written before the store commits, as the record walk writes them before it stores.
            out.logFailure = writeLines(out.matched);
            out.records = static_cast<long long>(records.size());
            if (records.empty())
                on.rollback();
            else
                out.settled = putOnRecord(journal, on, table, shape.keyColumns(), head.transaction, records);
        } catch (...) {
            on.rollback();
            out.failure = std::current_exception();
        }
        return out;
    }

    Reach batch(const Range& range)
    {
        if (atOnce && !range.leaf.remote)
            if (const std::optional<Reach> reach = batchAtOnce(range))
                return *reach;
        settleOrRedo();
        if (range.leaf.remote)
            return {lockingBatch(range.leaf, range.first, range.end), {}};
        return heldBatch(range);
    }

    // The locking way in the table's snapshot: the rows read there (locking nothing), then each locked
    // only where it is still the version read; the others, changed or held by another session since,
    // go one by one. Returns how far it went.
    Reach heldBatch(const Range& range)
    {
        Reach reach;
        const std::vector<db::PushdownRow> rows =
            holder->heldRows(range.leaf, range.from, range.to, reach.cut);
        reach.found = static_cast<long long>(rows.size());
        examined += reach.found;
        tellProgress(host, entry, entryCount, examined, 0);
        if (rows.empty())
            return reach;
        shape.begin(range.leaf);
        std::vector<db::PushdownRow> locked;
        try {
            locked = shape.lockHeld(range.leaf, rows);
        } catch (...) {
            shape.rollback();
            throw;
        }
        std::set<QString> taken;
        for (const db::PushdownRow& row : locked)
            taken.insert(row.ctid);
        storeLocked(range.leaf, range.from, range.to, locked);
        for (const db::PushdownRow& row : rows)
            if (!taken.count(row.ctid))
                storeAlone(range.leaf, row, false);
        return reach;
    }

    // The batch of a foreign leaf locked, then rewritten: each row read on its newest version, and a row
    // the server refuses told apart. Returns how many rows of the pages held some find text.
    long long lockingBatch(const db::PushdownLeaf& leaf, long long first, long long end)
    {
        shape.begin();
        std::vector<db::PushdownRow> rows;
        try {
            rows = shape.lockBatch(leaf, first, end, ownVersions);
        } catch (...) {
            shape.rollback();
            throw;
        }
        examined += static_cast<long long>(rows.size());
        tellProgress(host, entry, entryCount, examined, 0);
        storeLocked(leaf, db::PushdownTable::place(first), db::PushdownTable::place(end), rows);
        return static_cast<long long>(rows.size());
    }

    // The rows locked in the open transaction, within places [from, to), rewritten in one statement and
    // committed with their journal; a batch the server refuses is rolled back and each of its rows
    // stored alone, as are rows where two pairs meet in a typed column. Ends the transaction.
    void storeLocked(const db::PushdownLeaf& leaf, const QString& from, const QString& to,
                     const std::vector<db::PushdownRow>& rows)
    {
        auto rolledBack = qScopeGuard([&] { shape.rollback(); });
        std::vector<Plan> plans;
        std::vector<QString> ctids;
        std::vector<size_t> stored;
        std::vector<size_t> alone;
        std::vector<std::pair<size_t, size_t>> matched;
        for (size_t i = 0; i < rows.size(); ++i) {
            plans.push_back(plan(rows[i]));
            if (plans.back().alone) {
                alone.push_back(i);
                continue;
            }
            matched.insert(matched.end(), plans.back().matched.begin(), plans.back().matched.end());
            if (!plans.back().changed.empty()) {
                ctids.push_back(rows[i].ctid);
                stored.push_back(i);
            }
        }
        // Written before the store commits, as the record walk writes them before it stores.
        log(matched);
        std::vector<size_t> refused;
        if (!ctids.empty()) {
            QString transaction;
            std::vector<db::PushdownStored> written;
            try {
                written = shape.replaceRows(leaf, from, to, ctids, transaction);
            } catch (const db::DbError& error) {
                if (error.ruinsTheTable())
                    reportFailure(p, StoreLine, std::current_exception());
                refused = stored;
            }
            if (refused.empty() && written.size() != ctids.size())
                refused = stored; // a trigger or rule skipped some: each row tells its own story
            if (refused.empty()) {
                std::map<QString, size_t> byCtid;
                for (size_t i : stored)
                    byCtid.emplace(rows[i].ctid, i);
                std::vector<db::JournaledRecord> records;
                for (const db::PushdownStored& row : written) {
                    const size_t i = byCtid.at(row.oldCtid);
                    const Plan& planned = plans[i];
                    if (!sameChange(row.values, planned)) {
                        shape.rollback();
                        std::rethrow_exception(differing(leaf, rows[i]));
                    }
                    ownVersion(row.xmin);
                    std::vector<QString> texts;
                    for (int j : planned.changed)
                        texts.push_back(*planned.expected[static_cast<size_t>(j)]);
                    records.push_back(
                        journaled(leaf, planned.changed, rows[i].values, texts, row, records.size()));
                }
                rolledBack.dismiss();
                commit(transaction, records);
            }
        }
        // Whatever was not committed ends here, and with it the locks.
        rolledBack.dismiss();
        shape.rollback();
        for (size_t i : refused)
            storeAlone(leaf, rows[i], true);
        for (size_t i : alone)
            storeAlone(leaf, rows[i], false);
    }

    // The table's lock and snapshot are held from before its first batch until its last is committed.
    void run()
    {
        held = holder->hold();
        const auto released = qScopeGuard([this] { holder->release(); });
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

    void runLeaves()
    {
        // As the record walk tells a table opened: record 0. How many records hold a find text is
        // known only at the end.
        tellProgress(host, entry, entryCount, 0, 0);
        for (const db::PushdownLeaf& leaf : shape.leaves()) {
            // A table never analysed is taken as pages of narrow rows: a batch too small costs a few
            // statements more, one too large holds its locks longer and cannot be interrupted.
            constexpr long long NarrowRowsPerPage = 250;
            const long long rowsPerPage = leaf.rowsPerPage > 0 ? leaf.rowsPerPage : NarrowRowsPerPage;
            const long long step = std::max<long long>(1, batchRows / rowsPerPage);
            if (leaf.remote)
                runForeignLeaf(leaf, step);
            else
                runLeaf(leaf, step);
        }
    }

    // What a batch costs beyond the server's scan goes with the rows it finds: where few match, more
    // pages go into one batch (the rows locked stay about as many). A batch holds its rows locked and
    // cannot be interrupted, so a slow one (wide rows, a busy server, triggers) makes the next ones
    // smaller.
    long long nextStep(long long step, long long found, qint64 ms) const
    {
        constexpr long long MostPages = 1 << 16;
        constexpr qint64 LongestBatchMs = 2000;
        if (ms > LongestBatchMs)
            step = std::max<long long>(1, step / 2);
        else if (found < batchRows / 4 && ms < LongestBatchMs / 4 && step < MostPages)
            step *= found == 0 ? 4 : 2; // nothing held there: pages are all the batch costs
        return std::min(step, MostPages);
    }

    // A leaf's pages as they were when the table's snapshot was taken: every row version visible in it
    // is there, and each is met by exactly one batch.
    void runLeaf(const db::PushdownLeaf& leaf, long long step)
    {
        const auto size = held.pages.find(leaf.oid);
        const long long pages = size == held.pages.end() ? 0 : size->second;
        if (4 * step < pages)
            openLaneBeside();
        long long page = 0;
        QString from = db::PushdownTable::place(0);
        bool scanning = true; // nothing found of late: two halves of pages go at once
        while (page < pages) {
            if (stopAsked(host))
                throw RunStopped();
            const bool paired = scanning && from == db::PushdownTable::place(page) && page > 0 && atOnce &&
                                page + step < pages && (laneTried || laneOpening.valid()) && secondLane();
            QElapsedTimer took;
            took.start();
            const Reach reach =
                paired ? batchPair(leaf, page, page + step, page + 2 * step)
                       : batch({leaf, from, db::PushdownTable::place(page + step), page, page + step});
            scanning = reach.found == 0;
            if (!reach.cut.isEmpty()) {
                // The cap stopped it: the next batch goes on from there, over as many pages as held
                // the rows this one took.
                const long long at = pageOf(reach.cut);
                step =
                    std::max<long long>(1, (at - page + 1) * batchRows / std::max<long long>(1, reach.found));
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
    // that a row another session moved past it meanwhile is reached too, and this run's own versions
    // there are passed over by their places.
    void runForeignLeaf(const db::PushdownLeaf& leaf, long long step)
    {
        for (long long page = 0;;) {
            // The last batch is finished before the leaf is.
            if (page >= idle().pages(leaf)) {
                settleOrRedo();
                if (page >= shape.pages(leaf))
                    break;
            }
            if (stopAsked(host))
                throw RunStopped();
            QElapsedTimer took;
            took.start();
            const long long found = batch(pagesOf(leaf, page, page + step)).found;
            page += step;
            step = nextStep(step, found, took.elapsed());
        }
    }

    static long long pageOf(const QString& ctid)
    {
        return QString(ctid).remove(u'(').section(u',', 0, 0).toLongLong();
    }

    long long batchRows = PushdownRun::DefaultBatchRows;
    bool atOnce = true; // batches go in one statement each, until a field two pairs meet in is found
    QString connectionString{};
    db::PushdownTable* holder = nullptr; // the table's lock and snapshot, on a connection of their own
    db::PushdownHold held{};

    // Declared before the batch they serve, so that they outlive it.
    bool laneTried = false;
    std::unique_ptr<db::Connection> laneConnection{};
    std::unique_ptr<db::PushdownTable> second{};
    std::future<Lane> laneOpening{};
    std::future<Finished> pending{}; // the batch being finished beside the next
    db::PushdownTable* pendingOn = nullptr;
    Range pendingRange{};
    long long pendingFound = 0;
    Range again{};
};

// The record walk over one table, with the run's pairs and journal: for a table the server cannot do
// exactly.
void walkTable(Procedure& p, RunHost& host, db::Connection& connection, const db::Table& table,
               const QString& tableText, const RunRequest& request, db::StoreJournal* journal, int entry,
               int entryCount)
{
    db::RecordSet records;
    records.setBatchSize(db::RecordSet::DefaultBatchRows);
    records.setJournal(journal);
    if (!p.step(118, [&] { records.open(table, connection, db::LockType::Optimistic); }))
        return;
    const PairLines lines = request.tab == 1 ? SetLines : SinglePairLines;
    const int fields = p.value(126, 0, [&] { return records.fieldCount(); });
    const long long recordCount = p.value<long long>(126, 0, [&] { return records.recordCount(); });
    long long record = 0;
    auto reportStoreFailures = [&] {
        for (const db::StoreFailure& failure : records.takeFailures())
            reportFailure(p, StoreLine, std::make_exception_ptr(failure.error.describing(failure.row)));
    };
    try {
        while (!records.isEOF()) {
            if (stopAsked(host))
                throw RunStopped();
            tellProgress(host, entry, entryCount, ++record, recordCount);
            for (int j = 0; j < fields; ++j) {
                for (const auto& pair : request.pairs) {
                    const QString& find = pair.first;
                    const QString& replacement = pair.second;
                    const std::optional<QString> value = records.value(j);
                    if (!matches(value, find))
                        continue;
                    const QString fieldName = records.fieldName(j);
                    if (walkStep(p, lines.log, [&] {
                            AppendLogLine(logLine(QDateTime::currentDateTime(), find, replacement, tableText,
                                                  fieldName));
                        }))
                        tellReplaced(host, fieldName);
                    else
                        tellUnlogged(host, fieldName);
                    walkStep(p, lines.store,
                             [&] { records.setValue(j, replaceAndTrim(*value, find, replacement)); });
                }
            }
            walkStep(p, StoreLine, [&] { records.moveNext(); });
            reportStoreFailures();
        }
    } catch (const TableLeft&) {
    } catch (const RunStopped&) {
        try {
            walkStep(p, StoreLine, [&] { records.flush(); });
            reportStoreFailures();
        } catch (...) {
        }
        records.close();
        throw;
    }
    try {
        walkStep(p, StoreLine, [&] { records.flush(); });
        reportStoreFailures();
    } catch (const TableLeft&) {
    }
    records.close();
}

} // namespace

bool PushdownRun::run(RunHost& host)
{
    if (m_running)
        return false;
    m_running = true;
    const auto notRunning = qScopeGuard([this] { m_running = false; });

    RunRequest request;
    Journal* journal = nullptr;
    qint64 journalRun = 0;
    std::unique_ptr<db::StoreJournal> recorder;
    try {
        request = readRequest(host);
        journal = host.journal();
        if (journal) {
            RunPlace place;
            try {
                place = runPlaceOf(host.connectionString());
            } catch (...) {
                // What cannot be told now is reported by the run's own steps; the journal keeps what it has.
            }
            journalRun = journal->beginRun(place, request.tables, request.journalPairs, 0,
                                           QString::fromLatin1(ServerEngine));
            recorder = journal->recorder(journalRun);
        }
    } catch (const std::exception& e) {
        host.prompts().message(ReplaceRun::journalMissingMessage(QString::fromUtf8(e.what())));
        return true;
    }
    const auto runEnded = qScopeGuard([&] {
        if (recorder)
            journal->endRun(journalRun);
    });
    Procedure p(host.prompts(), QLatin1String(Location));
    p.step(104, [&] { host.setPointerMode(Hourglass); });

    const int entries = p.loopCount(108, [&] { return host.tableCount(); });
    bool stopped = false;
    db::Connection holdConnection;
    for (int i = 0; i < entries && !stopped; ++i) {
        if (!p.test(110, [&] { return host.isTicked(i); }))
            continue;
        db::Connection connection;
        if (!p.step(112, [&] { connection.open(host.connectionString()); }))
            continue;
        db::Table table;
        QString tableText;
        if (!p.step(114, [&] {
                table = host.table(i);
                tableText = host.tableText(i);
            }))
            continue;
        std::optional<db::PushdownTable> shape;
        std::optional<QString> walkReason;
        if (!p.step(118, [&] {
                shape.emplace(connection, table);
                if (!request.pairs.empty())
                    walkReason = shape->walkReason(request.pairs);
            }))
            continue;
        if (tableWay) {
            try {
                tableWay(i, walkReason.value_or(QString()));
            } catch (...) {
            }
        }
        try {
            if (walkReason) {
                shape.reset();
                walkTable(p, host, connection, table, tableText, request, recorder.get(), i, entries);
            } else if (!request.pairs.empty() && !shape->columns().empty()) {
                shape->setPairs(request.pairs);
                shape->setCap({std::max(1LL, m_batchRows / 2LL), db::PushdownCap{}.bytes});
                // The tables' locks and snapshots are held on a connection of their own, open for the
                // whole run. It rolls a failed statement back with its transaction: the driver's
                // savepoint before each statement would keep the snapshot from being exported.
                if (!holdConnection.isOpen() && !p.step(112, [&] {
                        holdConnection.open(host.connectionString() + QStringLiteral(";Protocol=7.4-1"));
                    }))
                    continue;
                std::optional<db::PushdownTable> holder;
                if (!p.step(118, [&] { holder.emplace(holdConnection, *shape); }))
                    continue;
                TableRun tableRun{p, host, *shape, table, tableText, request, recorder.get(), i, entries, {}};
                tableRun.batchRows = m_batchRows;
                tableRun.connectionString = host.connectionString();
                tableRun.holder = &*holder;
                try {
                    tableRun.run();
                } catch (const db::DbError& error) {
                    reportFailure(p, StoreLine, std::make_exception_ptr(error));
                } catch (const std::logic_error& error) {
                    p.report(StoreLine, QString::fromUtf8(error.what()));
                    throw RunStopped();
                }
            }
        } catch (const TableLeft&) {
        } catch (const RunStopped&) {
            stopped = true;
        }
        shape.reset();
        connection.close();
    }
    p.step(164, [&] { host.setPointerMode(DefaultPointer); });
    // A run stopped because its window is closing ends with the program: nothing is left to answer.
    if (!stopAsked(host))
        p.step(170, [&] { host.prompts().message(QStringLiteral("Done.")); });
    return true;
}

} // namespace quarvel::engine
