#pragma once
// The server-side run's batches that are one statement each on a local leaf: the batch that finds and
// rewrites the rows of a range of places in the table's snapshot, the rows of such a range as the held
// snapshot shows them, and the reads of a preview.

#include "db/PushdownData.h"

#include <QString>

#include <vector>

namespace quarvel::db {

class PushdownSession;
class PushdownSql;
class Statement;

class PushdownBatches
{
public:
    // Both outlive it.
    PushdownBatches(PushdownSession& session, const PushdownSql& sql);

    // As PushdownTable tells them.
    PushdownBatchHead startBatch(const PushdownLeaf& leaf, const QString& from, const QString& to,
                                 int lockWaitMs);
    PushdownBatch finishBatch();
    std::vector<PushdownRow> heldRows(const PushdownLeaf& leaf, const QString& from, const QString& to,
                                      QString& cut);
    std::vector<PushdownPreviewRow> previewBatch(const PushdownLeaf& leaf, long long first, long long end);
    long long rowsIn(const PushdownLeaf& leaf, long long first, long long end);

    // The statements prepared before are gone (the pairs changed).
    void forget() { m_batch = nullptr; }

private:
    // The one statement of a batch: its head row first, then a row for each row written, then one for
    // each row found that the replacement leaves as it was.
    QString batchStatement(const PushdownLeaf& leaf) const;
    // Of the rows found (v), what the batch's UPDATE sets and gives back.
    QString batchUpdate(const PushdownLeaf& leaf) const;

    PushdownSession& m_session;
    const PushdownSql& m_sql;
    Statement* m_batch = nullptr; // the batch started last
};

} // namespace quarvel::db
