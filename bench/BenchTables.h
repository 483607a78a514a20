#pragma once
// The table the run benchmarks work on, and the server's own way of making their change.

#include "db/ConnectionState.h"
#include "db/OdbcHandle.h"
#include "db/Table.h"

#include <QString>
#include <QStringList>

#include <functional>

namespace quarvel::bench {

// Its five text columns.
inline const QStringList TableColumns = {"c1", "c2", "c3", "c4", "c5"};

double secondsOf(const std::function<void()>& body);

// Fills the table with rows of five text columns; every tenth (or every matchEvery-th) holds the find text
// once, in the middle of its third column.
void createTable(const std::shared_ptr<db::ConnectionState>& handle, const db::Table& table, long long rows,
                 const QString& find, int matchEvery = 10);

void copyTable(const std::shared_ptr<db::ConnectionState>& handle, const db::Table& from,
               const db::Table& to);

// The same change made by the server itself, one statement per column.
double serverUpdateSeconds(const std::shared_ptr<db::ConnectionState>& handle, const db::Table& table,
                           const QString& find, const QString& replacement,
                           const QStringList& columns = TableColumns);

// Whether two tables hold the same rows, duplicates counted.
bool sameRows(const std::shared_ptr<db::ConnectionState>& handle, const db::Table& a, const db::Table& b);

} // namespace quarvel::bench
