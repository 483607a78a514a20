#pragma once
// The connection string, the silent connection check and the table catalogue.

#include "db/Table.h"

#include <QString>

namespace quarvel::db {

struct ConnectionDetails
{
    QString server;
    QString port;
    QString user;
    QString password;
    QString database;
};

// "Driver={PostgreSQL Unicode};Server=...;Port=...;Uid=...;Pwd=...;Database=..." with the texts as
// typed. A text holding ';', '{', '}' or leading or trailing blanks is wrapped in braces (a '}' inside
// doubled), so that it reaches the driver intact.
QString BuildConnectionString(const ConnectionDetails& details);

// True when a connection with the string opens. Swallows every failure; shows nothing.
bool CanConnect(const QString& connectionString) noexcept;

// Where FillTableList puts the names; the window's table list implements it.
class TableListSink
{
public:
    virtual ~TableListSink() = default;
    virtual void processEvents() = 0;
    virtual void appendTable(const Table& table) = 0;
};

// Appends every user table of the database (no system catalogues; a partitioned table once, its
// partitions not), sorted by display name. Throws DbError; the names appended before a failure stay.
void FillTableList(const QString& connectionString, TableListSink& list);

} // namespace quarvel::db
