#include "engine/BatchFinisher.h"

#include <algorithm>

namespace quarvel::engine {

namespace {

// The batch's records, numbered from the order's first; nullopt when the batch must go again (again set)
// or has failed (failure set), rolled back.
std::optional<std::vector<db::JournaledRecord>> checkedRecords(const ServerTable& table,
                                                               const FinishOrder& order,
                                                               const db::PushdownBatch& done, Finished& out)
{
    std::vector<db::JournaledRecord> records;
    const std::vector<RowPlan> plans = planRows(table, *order.lane.table, done.rows);
    for (const RowPlan& planned : plans)
        if (planned.alone) {
            // Two pairs meeting in a typed column come again in a table: the rest of it goes the
            // locking way. A text the type rounds is this batch's own.
            out.again = true;
            out.againFromNowOn = out.againFromNowOn || !planned.rounded;
        }
    if (out.again)
        return std::nullopt;
    for (size_t i = 0; i < done.rows.size(); ++i) {
        const db::PushdownRow& row = done.rows[i];
        const RowPlan& planned = plans[i];
        out.matched.insert(out.matched.end(), planned.matched.begin(), planned.matched.end());
        const std::optional<db::PushdownStored>& version = done.stored[i];
        if (version ? !sameChange(version->values, planned) : !planned.changed.empty()) {
            out.failure = differing(table.rowName(order.leaf, row.ctid, row.key));
            return std::nullopt;
        }
        if (version)
            records.push_back(journaledRecord(table, order.leaf, planned.changed, row.values,
                                              planned.changedTexts(), *version,
                                              order.firstRecord + static_cast<long long>(records.size())));
    }
    return records;
}

} // namespace

Finished finishBatch(const ServerTable& table, FinishOrder order) noexcept
{
    Finished out;
    db::PushdownTable& on = *order.lane.table;
    try {
        const db::PushdownBatch done = on.finishBatch();
        const long long stored = std::count_if(done.stored.begin(), done.stored.end(),
                                               [](const auto& row) { return row.has_value(); });
        // Another session changed some rows meanwhile: the locking way reads their newest versions.
        if (stored != order.head.meant) {
            on.rollback();
            out.again = true;
        } else if (const auto records = checkedRecords(table, order, done, out)) {
            // Written before the store commits, as the record walk writes them before it stores.
            out.logFailure = writeLogLines(table, out.matched);
            out.records = static_cast<long long>(records->size());
            if (records->empty())
                on.rollback();
            else
                out.settled = order.writer->putOnRecord(on, order.head.transaction, *records);
            if (out.settled.commitFailure) {
                // Refused at its commit (a deferred constraint, a constraint trigger): stored again row
                // by row, each refused row named, as the record walk leaves the table.
                out.settled.commitFailure = nullptr;
                out.again = out.logged = true;
                out.records = 0;
            }
        } else {
            on.rollback();
        }
    } catch (...) {
        on.rollback();
        out.failure = std::current_exception();
    }
    out.lane = std::move(order.lane);
    out.writer = std::move(order.writer);
    return out;
}

std::vector<Finished> finishBatches(const ServerTable& table, std::vector<FinishOrder> orders) noexcept
{
    std::vector<Finished> done;
    std::unique_ptr<JournalWriter> writer = std::move(orders.front().writer);
    long long record = orders.front().firstRecord;
    bool stopped = false;
    for (FinishOrder& order : orders) {
        if (stopped) {
            order.lane.table->rollback();
            Finished out;
            out.lane = std::move(order.lane);
            out.again = true;
            done.push_back(std::move(out));
            continue;
        }
        order.writer = std::move(writer);
        order.firstRecord = record;
        Finished out = finishBatch(table, std::move(order));
        writer = std::move(out.writer);
        record += out.records;
        stopped = out.again || out.failure || out.settled.journalFailure;
        done.push_back(std::move(out));
    }
    done.front().writer = std::move(writer);
    return done;
}

} // namespace quarvel::engine
