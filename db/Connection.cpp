#include "db/Connection.h"

#include "db/ConnectionState.h"
#include "db/RecordSet.h"
#include "db/RecordSetState.h"

#include <utility>

namespace quarvel::db {

SQLHDBC ConnectionState::openHandle() const
{
    if (!open)
        throw DbError(QStringLiteral("Operation is not allowed when the object is closed."));
    return connection.get();
}

void ConnectionState::attach(const std::shared_ptr<RecordSetState>& recordSet)
{
    m_recordSets.push_back(recordSet);
    recordSet->connection = shared_from_this();
}

void ConnectionState::detach(const RecordSetState* recordSet) noexcept
{
    // A record set that went without being detached is dropped here too.
    std::erase_if(m_recordSets, [recordSet](const std::weak_ptr<RecordSetState>& entry) {
        const std::shared_ptr<RecordSetState> attached = entry.lock();
        return !attached || attached.get() == recordSet;
    });
}

void ConnectionState::close() noexcept
{
    // Releasing a record set detaches it, so the list is taken first.
    for (const std::weak_ptr<RecordSetState>& entry : std::exchange(m_recordSets, {}))
        if (const std::shared_ptr<RecordSetState> recordSet = entry.lock())
            recordSet->release();
    if (open)
        SQLDisconnect(connection.get());
    open = false;
    connectionString.clear();
    connection.reset();
    environment.reset();
}

void closeState(ConnectionState& state) noexcept
{
    state.close();
}

Connection::Connection() = default;

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
    closeOwned();
}

ConnectionState& Connection::state()
{
    return ownState();
}

} // namespace quarvel::db
