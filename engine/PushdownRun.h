#pragma once
// The server-side run of the command line: the same replacement as the record walk, with the same log
// lines, refusals and journal, but each batch of pages is found, locked and rewritten by the server
// itself, so the rows that no find text matches never leave it and the rows that change never come
// back as values to store.
//
// A table the server cannot do exactly (a column that would round or cut what the record walk
// refuses, a foreign partition of another wrapper than postgres_fdw) goes through the record walk, and the
// host is told why.

#include "core/Procedure.h"
#include "db/Connection.h"
#include "db/Pushdown.h"
#include "db/StoreJournal.h"
#include "engine/ReplaceRun.h"
#include "engine/RunRequest.h"

#include <QString>

#include <functional>
#include <future>
#include <memory>

namespace quarvel::engine {

struct ServerTable;

class PushdownRun
{
public:
    static constexpr char Location[] = "PushdownRun.run";

    // The whole run over the request's tables with its pairs, up to "Done.", journaled in the observer's
    // journal as one run. False when already running.
    bool run(const RunRequest& request, RunObserver& observer);
    // The same over a host's ticked tables with the pairs it shows when the run starts.
    bool run(RunHost& host);

    // Told for every table, before anything of it is written, as the observer is told: empty when the
    // server does it, else why the record walk does ("column n is numeric(7,2)").
    std::function<void(int entry, const QString& walkReason)> tableWay;

    // About how many rows a batch of pages holds: one transaction, its rows locked until it ends.
    static constexpr int DefaultBatchRows = 5000;
    void setBatchRows(int rows) { m_batchRows = rows > 0 ? rows : 1; }

private:
    void runTable(Procedure& p, RunObserver& observer, const RunRequest& request, int entry,
                  db::StoreJournal* journal);
    void runOnServer(Procedure& p, RunObserver& observer, const ServerTable& table,
                     std::unique_ptr<db::PushdownTable> shape, db::StoreJournal* journal, int entry);

    bool m_running = false;
    db::Connection m_holdConnection; // holds the tables' locks and snapshots, open for the whole run
    std::future<void> m_holdOpening; // opening it beside the first table's shape
    int m_batchRows = DefaultBatchRows;
};

} // namespace quarvel::engine
