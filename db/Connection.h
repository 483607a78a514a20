#pragma once
// A database connection over ODBC, in the role of the classic connection object: open with a
// connection string, execute one query, close. Releasing (destroying) an open connection closes it.

#include "db/DbError.h"

#include <QString>

#include <memory>

namespace quarvel::db {

class RecordSet;
struct ConnectionState;

enum class CursorLocation { Server = 2, Client = 3 };

class Connection
{
public:
    Connection();
    ~Connection();
    Connection(Connection&&) noexcept;
    Connection& operator=(Connection&&) noexcept;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Before open: a client-side connection fetches results whole, with a known record count.
    void setCursorLocation(CursorLocation location);
    CursorLocation cursorLocation() const;

    // Throws DbError (driver or server message) when the connection cannot be opened.
    void open(const QString& connectionString);
    bool isOpen() const;

    // Runs a query and returns its result on the first row. Throws DbError.
    RecordSet execute(const QString& sql);

    // Closes an open connection; closing a closed one does nothing.
    void close() noexcept;

    // The layer's own state (handles); for RecordSet.
    ConnectionState& state() const;

private:
    std::unique_ptr<ConnectionState> m_state;
};

} // namespace quarvel::db
