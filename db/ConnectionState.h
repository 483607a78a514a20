#pragma once
// What a Connection owns: the environment and connection handles and the record sets open on it.
// Internal to the data access layer (and its benchmark).

#include "db/Connection.h"
#include "db/OdbcHandle.h"

#include <vector>

namespace quarvel::db {

struct RecordSetState;

struct ConnectionState
{
    EnvironmentHandle environment;
    ConnectionHandle connection;
    CursorLocation location = CursorLocation::Server;
    bool open = false;
    // What it was opened with: a record set opens a reading connection of its own with the same.
    QString connectionString;
    // Record sets whose statements live on this connection: they are closed before it disconnects,
    // so that no statement handle outlives its connection.
    std::vector<RecordSetState*> recordSets;

    // Throws DbError unless open.
    SQLHDBC openHandle() const;
};

} // namespace quarvel::db
