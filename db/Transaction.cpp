#include "db/Transaction.h"

#include "db/ConnectionState.h"

#include <optional>
#include <utility>

namespace quarvel::db {

const QString& Transaction::storeNotCommitted()
{
    static const QString message = QStringLiteral("The store did not commit.");
    return message;
}

Transaction::Transaction(std::shared_ptr<ConnectionState> connection, const QString& cannotBegin)
{
    const SQLHDBC handle = connection->openHandle();
    const SQLRETURN manual =
        SQLSetConnectAttr(handle, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0);
    if (!SQL_SUCCEEDED(manual))
        throw diagnosticsError(SQL_HANDLE_DBC, handle, cannotBegin);
    m_connection = std::move(connection);
}

Transaction::~Transaction()
{
    rollback();
}

Transaction::Transaction(Transaction&& other) noexcept : m_connection(std::move(other.m_connection)) {}

Transaction& Transaction::operator=(Transaction&& other) noexcept
{
    if (this != &other) {
        rollback();
        m_connection = std::move(other.m_connection);
    }
    return *this;
}

void Transaction::end(bool commit, const QString& notCommitted, std::optional<DbError>* failure) noexcept
{
    const std::shared_ptr<ConnectionState> connection = std::exchange(m_connection, nullptr);
    // A connection closed meanwhile has ended its transaction with it.
    if (!connection || !connection->open) {
        if (failure)
            failure->emplace(notCommitted, QStringLiteral("08006"));
        return;
    }
    const SQLHDBC handle = connection->connection.get();
    const bool ended = SQL_SUCCEEDED(SQLEndTran(SQL_HANDLE_DBC, handle, commit ? SQL_COMMIT : SQL_ROLLBACK));
    if (!ended && failure) {
        // Read before the rollback, which clears the handle's diagnostics.
        try {
            failure->emplace(diagnosticsError(SQL_HANDLE_DBC, handle, notCommitted));
        } catch (...) {
            failure->emplace(notCommitted, QStringLiteral("08006"));
        }
    }
    if (!ended)
        SQLEndTran(SQL_HANDLE_DBC, handle, SQL_ROLLBACK);
    SQLSetConnectAttr(handle, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
}

void Transaction::commit(const QString& notCommitted)
{
    std::optional<DbError> failure;
    end(true, notCommitted, &failure);
    if (failure)
        throw *failure;
}

void Transaction::rollback() noexcept
{
    end(false, QString(), nullptr);
}

void Transaction::restart() noexcept
{
    if (m_connection && m_connection->open)
        SQLEndTran(SQL_HANDLE_DBC, m_connection->connection.get(), SQL_ROLLBACK);
}

} // namespace quarvel::db
