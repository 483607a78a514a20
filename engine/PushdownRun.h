#pragma once
// The server-side run of the command line: the same replacement as the record walk, with the same log
// lines, refusals and journal, but each batch of pages is found, locked and rewritten by the server
// itself, so the rows that no find text matches never leave it and the rows that change never come
// back as values to store.
//
// A table the server cannot do exactly (a column that would round or cut what the record walk
// refuses, a foreign partition of another wrapper than postgres_fdw) goes through the record walk, and the
// host is told why.

#include "engine/ReplaceRun.h"

#include <QString>

#include <functional>

namespace quarvel::engine {

class PushdownRun
{
public:
    static constexpr char Location[] = "PushdownRun.run";

    // The whole run over the host's ticked tables with the pairs it shows when the run starts, from the
    // hourglass to "Done.", journaled in the host's journal as one run. False when already running.
    bool run(RunHost& host);

    // Told for every ticked table, before anything of it is written: empty when the server does it, else
    // why the record walk does ("column n is numeric(7,2)").
    std::function<void(int entry, const QString& walkReason)> tableWay;

    // About how many rows a batch of pages holds: one transaction, its rows locked until it ends.
    static constexpr int DefaultBatchRows = 5000;
    void setBatchRows(int rows) { m_batchRows = rows > 0 ? rows : 1; }

private:
    bool m_running = false;
    int m_batchRows = DefaultBatchRows;
};

} // namespace quarvel::engine
