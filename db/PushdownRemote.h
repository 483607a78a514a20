#pragma once
// The server-side run's reading of a leaf that is a postgres_fdw foreign table. A foreign leaf shows no
// xmin (postgres_fdw reads it as 0) and no size: its row versions this run wrote are known by their
// places on the other server, and its end by its last row there.

#include "db/PushdownData.h"

#include <QString>

#include <optional>
#include <set>
#include <utility>
#include <vector>

namespace quarvel::db {

class PushdownSession;
class PushdownSql;

class PushdownRemote
{
public:
    // Both outlive it.
    PushdownRemote(PushdownSession& session, const PushdownSql& sql);

    // Locks and reads the rows of pages [first, end) where some column holds some find text, leaving out
    // the versions this run wrote there. Throws DbError.
    std::vector<PushdownRow> lockBatch(const PushdownLeaf& leaf, long long first, long long end);
    // The leaf's end on the other server, in pages. Throws DbError.
    long long pages(const PushdownLeaf& leaf);
    // The run wrote a version at ctid there.
    void wrote(const PushdownLeaf& leaf, const QString& ctid);
    // Throws a DbError that leaves the table when rows there share the place ctid.
    void rowApart(const PushdownLeaf& leaf, const QString& ctid);

private:
    bool shippable(const PushdownColumn& c);
    // Throws a DbError that leaves the table when rows there share a place in [from, to).
    void placesApart(const PushdownLeaf& leaf, const QString& from, const QString& to);
    // The SELECT of lockBatch, and the parameters its conditions take (after the places).
    QString batchSelect(const PushdownLeaf& leaf, std::vector<QString>& selectParameters,
                        std::vector<QString>& conditionParameters);
    // The places this run wrote within pages [first, end).
    std::vector<QString> ownPlaces(long long first, long long end);

    PushdownSession& m_session;
    const PushdownSql& m_sql;
    QString m_leaf;                                   // the foreign leaf the following refer to
    std::set<std::pair<long long, int>> m_own;        // places of versions this run wrote there
    long long m_end = -1;                             // its pages as last read, -1 when not yet
    long long m_reached = 0;                          // the end of the last batch read there
    std::optional<std::set<QString>> m_deterministic; // columns whose collation compares bytes
};

} // namespace quarvel::db
