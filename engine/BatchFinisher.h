#pragma once
// The server engine's batch finisher: reads a batch's answer on the connection it ran on, checks each
// row against the run's own replacement, writes its log lines, puts it on record and commits it, beside
// the next batch's statement. It is handed the connection and the journal writer, and the number its
// first record takes, and hands them back through its future: it can reach nothing else of the run.
// Internal to the server engine.

#include "engine/ServerTable.h"

namespace quarvel::engine {

struct FinishOrder
{
    Lane lane; // the batch's statement has run on it, its transaction open
    std::unique_ptr<JournalWriter> writer;
    db::PushdownLeaf leaf;
    db::PushdownBatchHead head;
    long long firstRecord = 1; // given by the scheduler: the records put on record before it come first
};

struct Finished
{
    Lane lane;
    std::unique_ptr<JournalWriter> writer;
    bool again = false; // nothing of it stored: it goes the locking way
    bool againFromNowOn = false;
    bool logged = false; // its lines are in the log already: the server refused its commit
    std::vector<FieldMatch> matched;
    std::exception_ptr logFailure;
    long long records = 0; // put on record
    Settled settled;
    std::exception_ptr failure; // rolled back: its answer could not be read, or differs from the run's
};

// Touches only what the order hands it, the log, and the table's fixed shape.
Finished finishBatch(const ServerTable& table, FinishOrder order) noexcept;

// Batches of pages in place order, finished one after the other with the one journal writer (the first
// order's), each record numbered after those of the batches before. After one that goes again, fails, or
// cannot be put on record, the rest are rolled back, neither stored nor logged, and go again too. The
// writer comes back with the first.
std::vector<Finished> finishBatches(const ServerTable& table, std::vector<FinishOrder> orders) noexcept;

} // namespace quarvel::engine
