#pragma once
// A table's shape as the server-side run reads it from the catalogue: the leaves that hold its rows, its
// columns and key, the server's encoding, and whatever keeps the server from doing the table exactly.
// Read once; the connections of one run share it.

#include "db/OdbcHandle.h"
#include "db/PushdownData.h"

#include <QString>

#include <functional>
#include <optional>
#include <vector>

namespace quarvel::db {

struct CatalogueColumn;

class Statement;

// Whether a run may search the column, by name; an empty filter lets every column through.
using ColumnFilter = std::function<bool(const QString& column)>;

class PushdownShape
{
public:
    // Reads the shape on the open connection, with only the columns `searched` lets through and the
    // role may update: a column left out is never read into a batch, tested or set. Throws DbError when the
    // table cannot be read.
    PushdownShape(const std::shared_ptr<ConnectionState>& connection, const Table& table,
                  const ColumnFilter& searched = {});

    const Table& table() const { return m_table; }
    const QString& oid() const { return m_oid; }
    const std::vector<PushdownLeaf>& leaves() const { return m_leaves; }
    const std::vector<PushdownColumn>& columns() const { return m_columns; }
    const std::vector<QString>& keyColumns() const { return m_keyColumns; }
    // The columns `searched` let through that the connected role may not update, in table order: left
    // out of columns() as the filter's are.
    const std::vector<QString>& notUpdatable() const { return m_notUpdatable; }

    // Why the record walk must do this table with these pairs, as the user is told; nullopt when the
    // server can do it exactly. Asks the server on the connection given. Throws DbError.
    std::optional<QString> walkReason(const std::shared_ptr<ConnectionState>& connection,
                                      const PushdownPairs& pairs) const;

private:
    void readLeaves(const std::shared_ptr<ConnectionState>& connection);
    void readColumns(const std::shared_ptr<ConnectionState>& connection, const ColumnFilter& searched);
    // The column as the catalogue has it, with what its type makes of a text.
    PushdownColumn readColumn(const std::shared_ptr<ConnectionState>& connection,
                              const CatalogueColumn& found) const;
    // Whether the column's rounding can be checked by comparing on the server.
    static bool roundingCheckPlans(const std::shared_ptr<ConnectionState>& connection,
                                   const ColumnRounding& rounding);
    void readRules(const std::shared_ptr<ConnectionState>& connection);
    void readKeys(const std::shared_ptr<ConnectionState>& connection);
    // The first reason found is the one the user is told.
    void walkBecause(const QString& reason);

    Table m_table;
    QString m_oid;
    QString m_encoding;      // the server's
    bool m_isoDates = false; // dates and times read as text in the ISO style
    std::optional<QString> m_walkReason;
    std::vector<PushdownLeaf> m_leaves;
    std::vector<PushdownColumn> m_columns;
    std::vector<QString> m_keyColumns;
    std::vector<QString> m_notUpdatable;
};

} // namespace quarvel::db
