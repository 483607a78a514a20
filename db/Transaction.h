#pragma once
// A transaction on an open connection: begun when made, committed only when asked, rolled back when it
// goes uncommitted. The one place where the layer switches a connection out of and back to committing
// each statement on its own. Internal to the data access layer.

#include "db/DbError.h"

#include <QString>

#include <memory>
#include <optional>

namespace quarvel::db {

struct ConnectionState;

class Transaction
{
public:
    // What a store tells when its commit fails and the driver says nothing more.
    static const QString& storeNotCommitted();

    // Begins a transaction on the open connection. Throws DbError: the connection is closed, or it will
    // not leave autocommit (the driver's diagnostics, else cannotBegin).
    Transaction(std::shared_ptr<ConnectionState> connection, const QString& cannotBegin);
    // Rolls back unless committed. Never fails.
    ~Transaction();
    Transaction(Transaction&& other) noexcept;
    Transaction& operator=(Transaction&& other) noexcept;
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    // Commits. Throws DbError when it does not: the driver's diagnostics, or notCommitted when there are
    // none (SQLSTATE 08006 when the connection is gone); what the transaction did is then rolled back.
    // Either way the connection commits each statement again afterwards.
    void commit(const QString& notCommitted = storeNotCommitted());

    // Drops what the transaction did; nothing when it has ended. Never fails.
    void rollback() noexcept;
    // Drops what the transaction did and goes on in a new one: a snapshot that must see newer rows.
    void restart() noexcept;

    bool isActive() const { return m_connection != nullptr; }

private:
    // Ends the transaction as asked and goes back to autocommit; a commit that fails puts why in failure.
    void end(bool commit, const QString& notCommitted, std::optional<DbError>* failure) noexcept;

    std::shared_ptr<ConnectionState> m_connection; // while active
};

} // namespace quarvel::db
