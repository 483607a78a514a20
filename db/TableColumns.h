#pragma once
// The columns of the tables a run may take, as the catalogue has them now: what the selection of schemas,
// tables and columns is resolved against before anything is read.

#include "db/Table.h"

#include <QString>

#include <vector>

namespace quarvel::db {

struct ListedColumn
{
    QString name;
    QString type; // with its modifier, as the server spells it
    // Why no text can be stored into it ("generated", "identity GENERATED ALWAYS"); empty when one can.
    QString unwritable;
    // The connected role may update it; a run leaves out one it may not, as if it were excluded.
    bool updatable = true;
};

struct TableColumns
{
    Table table;
    std::vector<ListedColumn> columns; // in table order
};

// The columns of each table, in the order given, on one connection. Throws DbError.
std::vector<TableColumns> ReadTableColumns(const QString& connectionString, const std::vector<Table>& tables);

} // namespace quarvel::db
