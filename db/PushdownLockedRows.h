#pragma once
// The locking way of the server-side run on a table's leaves: rows found and locked first, then stored
// one statement at a time, each row as the run chose.

#include "db/PushdownData.h"

#include <QString>

#include <optional>
#include <vector>

namespace quarvel::db {

class PushdownSession;
class PushdownSql;

class PushdownLockedRows
{
public:
    // Both outlive it.
    PushdownLockedRows(PushdownSession& session, const PushdownSql& sql);

    // As PushdownTable tells them; lockBatch only for a local leaf, and the others leave the places of
    // what they wrote on a foreign leaf to the caller.
    std::vector<PushdownRow> lockBatch(const PushdownLeaf& leaf, long long first, long long end,
                                       const std::vector<QString>& ownVersions);
    std::optional<PushdownRow> lockRow(const PushdownLeaf& leaf, const QString& ctid,
                                       const std::vector<QString>& ownVersions, const QString& xmin);
    std::vector<PushdownRow> lockHeld(const PushdownLeaf& leaf, const std::vector<PushdownRow>& rows);
    std::optional<PushdownRow> lockNewest(const PushdownLeaf& leaf, const PushdownRow& read,
                                          const std::vector<QString>& ownVersions);
    bool stillThere(const PushdownLeaf& leaf, const PushdownRow& row);
    std::vector<PushdownRow> placesIn(const PushdownLeaf& leaf, const QString& from, const QString& to);
    std::vector<PushdownStored> replaceRows(const PushdownLeaf& leaf, const QString& from, const QString& to,
                                            const std::vector<QString>& ctids, const ChangedColumns& changed,
                                            QString& transaction);
    std::optional<PushdownStored> storeRow(const PushdownLeaf& leaf, const QString& ctid,
                                           const std::vector<int>& columns, const std::vector<QString>& texts,
                                           QString& transaction);

private:
    // The UPDATE of replaceRows, with the replacement computed by the server, setting the columns given.
    QString replacementUpdate(const PushdownLeaf& leaf, const ChangedColumns& changed) const;
    // Runs a storeRow UPDATE and reads back the row it stored.
    std::optional<PushdownStored> storeOne(const QString& sql, const std::vector<QString>& parameters,
                                           const QString& ctid, const std::vector<int>& columns,
                                           const std::vector<QString>& texts, QString& transaction);

    PushdownSession& m_session;
    const PushdownSql& m_sql;
};

} // namespace quarvel::db
