#pragma once
// What a Connection owns: the environment and connection handles, and which record sets have
// statements on them. Internal to the data access layer (and its benchmark).

#include "db/Connection.h"
#include "db/OdbcHandle.h"

#include <memory>
#include <vector>

namespace quarvel::db {

struct RecordSetState;

// Who outlives whom: a record set whose statements live on this connection shares this state, so it
// can never point at a state that is gone; the state only watches its record sets (weakly), and
// closing it releases every one of them before it disconnects, so that no statement handle is freed
// after the connection handle it was allocated on.
struct ConnectionState : std::enable_shared_from_this<ConnectionState>
{
    EnvironmentHandle environment;
    ConnectionHandle connection;
    bool open = false;
    // What it was opened with: a record set opens a reading connection of its own with the same.
    QString connectionString;

    ConnectionState() = default;
    ConnectionState(const ConnectionState&) = delete;
    ConnectionState& operator=(const ConnectionState&) = delete;
    ~ConnectionState() { close(); }

    // Throws DbError unless open.
    SQLHDBC openHandle() const;

    // The record set's statements live on this connection from now on: it shares the state until it
    // is released, and closing the connection releases it first.
    void attach(const std::shared_ptr<RecordSetState>& recordSet);
    // Forgets a record set that has freed its statements on this connection. Never fails.
    void detach(const RecordSetState* recordSet) noexcept;

    // Releases every attached record set, then disconnects and frees the handles; a closed state can
    // be opened again. Never fails.
    void close() noexcept;

private:
    std::vector<std::weak_ptr<RecordSetState>> m_recordSets;
};

} // namespace quarvel::db
