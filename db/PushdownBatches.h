#pragma once
// The server-side run's batches that are one statement each on a local leaf: the batch that finds and
// rewrites the rows of a range of places in the table's snapshot, the rows of such a range as the held
// snapshot shows them, and the reads of a preview.

#include "db/PushdownData.h"

#include <QString>

#include <map>
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
                                 const std::vector<ChangedColumns>& sets, int lockWaitMs);
    PushdownBatch finishBatch();
    std::vector<PushdownRow> heldRows(const PushdownLeaf& leaf, const QString& from, const QString& to,
                                      QString& cut);
    std::vector<PushdownPreviewRow> previewBatch(const PushdownLeaf& leaf, long long first, long long end);
    long long rowsIn(const PushdownLeaf& leaf, long long first, long long end);

    // The statements prepared before are gone (the pairs changed).
    void forget()
    {
        m_batch = nullptr;
        m_batches.clear();
    }
    // The answer of a batch left unread, as when its transaction ends without it: the connection's next
    // batch could not run while it is open.
    void dropAnswer() noexcept;

private:
    // The one statement of a batch: its head row first, then a row for each row written, then one for
    // each row found that the replacement leaves as it was.
    QString batchStatement(const PushdownLeaf& leaf, const std::vector<ChangedColumns>& sets) const;
    // The columns the batch's UPDATE of one set of changed columns sets, from the rows found (v).
    QString setList(const ChangedColumns& changed) const;
    // Of the rows found (v) that change the columns given, what the batch's UPDATE sets and gives back.
    QString batchUpdate(const PushdownLeaf& leaf, const ChangedColumns& changed) const;
    // The rows at the places the query given selects, each with its texts before and after the pairs
    // and the columns they change (mk).
    QString foundRows(const PushdownLeaf& leaf, const QString& places) const;
    // The answer's rows: the head with the count meant, the count of the rows found and the sets of
    // columns they change, the rows written (u), then the rows found unchanged.
    QString batchAnswer() const;

    PushdownSession& m_session;
    const PushdownSql& m_sql;
    Statement* m_batch = nullptr;            // the batch started last
    std::map<QString, Statement*> m_batches; // prepared, by leaf and sets of changed columns
};

} // namespace quarvel::db
