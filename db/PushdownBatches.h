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
    // The answer of a batch left unread, as when its transaction ends without it: the connection's next
    // batch could not run while it is open.
    void dropAnswer() noexcept;

private:
    // The one statement of a batch: its head row first, then a row for each row written, then one for
    // each row found that the replacement leaves as it was.
    QString batchStatement(const PushdownLeaf& leaf) const;
    // Each column the batch's UPDATE sets, from the rows found (v).
    QString setList() const;
    // Of the rows found (v, the FROM item given), what the batch's UPDATE sets and gives back.
    QString batchUpdate(const PushdownLeaf& leaf, const QString& rowsFound) const;
    // The rows at the places the query given selects, each with its texts before and after the pairs.
    QString foundRows(const PushdownLeaf& leaf, const QString& places) const;
    // The answer's rows: the head with the count meant and the count of the rows found (in the relation
    // found), the rows written (u), then the rows found unchanged (in the relation unchanged).
    QString batchAnswer(const QString& meant, const QString& found, const QString& unchanged) const;
    bool returnsOld() const { return m_serverVersion >= 180000; }

    PushdownSession& m_session;
    const PushdownSql& m_sql;
    Statement* m_batch = nullptr; // the batch started last
    // server_version_num, asked at the first batch: from 180000 an UPDATE can give back the row it
    // replaced (RETURNING old).
    int m_serverVersion = 0;
};

} // namespace quarvel::db
