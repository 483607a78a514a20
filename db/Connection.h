#pragma once
// A database connection over ODBC, in the role of the classic connection object: open with a
// connection string, execute one query, close. Releasing (destroying) an open connection closes it.

#include "db/DbError.h"
#include "db/StateOwner.h"

#include <QString>

#include <memory>

namespace quarvel::db {

class RecordSet;
struct ConnectionState;

class Connection : private StateOwner<ConnectionState>
{
public:
    Connection();

    // Throws DbError (driver or server message) when the connection cannot be opened.
    void open(const QString& connectionString);
    bool isOpen() const;

    // Runs a query and returns its result on the first row. Throws DbError.
    RecordSet execute(const QString& sql);

    // Closes an open connection, and first the record sets open on it; closing a closed one does
    // nothing.
    void close() noexcept;

    // The layer's own state (handles), shared with the record sets whose statements live on it; for
    // RecordSet. A moved-from connection gets a new, closed one.
    ConnectionState& state();
};

} // namespace quarvel::db
