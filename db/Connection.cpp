#include "db/Connection.h"

#include "db/ConnectionState.h"
#include "db/RecordSet.h"
#include "db/RecordSetState.h"

#include <algorithm>

namespace quarvel::db {

SQLHDBC ConnectionState::openHandle() const
{
    if (!open)
        throw DbError(QStringLiteral("Operation is not allowed when the object is closed."));
    return connection.get();
}

Connection::Connection() : m_state(std::make_unique<ConnectionState>()) {}

Connection::~Connection()
{
    close();
}

Connection::Connection(Connection&&) noexcept = default;

Connection& Connection::operator=(Connection&& other) noexcept
{
    if (this != &other) {
        close();
        m_state = std::move(other.m_state);
    }
    return *this;
}

void Connection::setCursorLocation(CursorLocation location)
{
    state().location = location;
}

CursorLocation Connection::cursorLocation() const
{
    return m_state ? m_state->location : CursorLocation::Server;
}

void Connection::open(const QString& connectionString)
{
    ConnectionState& s = state();
    if (s.open)
        throw DbError(QStringLiteral("Operation is not allowed when the object is open."));
    EnvironmentHandle environment = EnvironmentHandle::allocate(nullptr);
    environment.check(SQLSetEnvAttr(environment.get(), SQL_ATTR_ODBC_VERSION,
                                    reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0),
                      "SQLSetEnvAttr");
    ConnectionHandle connection = ConnectionHandle::allocate(environment.get());
    SQLSMALLINT completedLength = 0;
    connection.check(SQLDriverConnectW(connection.get(), nullptr,
                                       const_cast<SQLWCHAR*>(odbcText(connectionString)),
                                       static_cast<SQLSMALLINT>(connectionString.size()), nullptr, 0,
                                       &completedLength, SQL_DRIVER_NOPROMPT),
                     "SQLDriverConnect");
    // Every statement is its own transaction: one record's UPDATE commits alone, as it is stored.
    const SQLRETURN autocommit = SQLSetConnectAttr(connection.get(), SQL_ATTR_AUTOCOMMIT,
                                                   reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
    if (!SQL_SUCCEEDED(autocommit)) {
        DbError failure = diagnosticsError(SQL_HANDLE_DBC, connection.get(),
                                           QStringLiteral("Cannot switch the connection to autocommit."));
        SQLDisconnect(connection.get());
        throw failure;
    }
    s.environment = std::move(environment);
    s.connection = std::move(connection);
    s.connectionString = connectionString;
    s.open = true;
}

bool Connection::isOpen() const
{
    return m_state && m_state->open;
}

RecordSet Connection::execute(const QString& sql)
{
    return RecordSet(openQuery(state(), sql));
}

void Connection::close() noexcept
{
    if (!m_state)
        return;
    ConnectionState& s = *m_state;
    // Closing a record set unregisters it, so take them from the back.
    while (!s.recordSets.empty())
        s.recordSets.back()->release();
    if (s.open)
        SQLDisconnect(s.connection.get());
    s.open = false;
    s.connectionString.clear();
    s.connection.reset();
    s.environment.reset();
}

ConnectionState& Connection::state() const
{
    if (!m_state) // moved from: becomes a closed connection again
        const_cast<Connection*>(this)->m_state = std::make_unique<ConnectionState>();
    return *m_state;
}

} // namespace quarvel::db
