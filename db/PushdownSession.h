#pragma once
// The connection a server-side table runs its statements on: kept alive by sharing its state, with the
// statements prepared on it once per text and the transaction it is in.

#include "db/PushdownData.h"
#include "db/Statement.h"
#include "db/Transaction.h"

#include <QString>

#include <map>
#include <memory>
#include <optional>

namespace quarvel::db {

class Connection;
struct ConnectionState;

class PushdownSession
{
public:
    // Sets the session up for batches on the open connection. Throws DbError.
    PushdownSession(Connection& connection, int lockWaitMs);
    ~PushdownSession();
    PushdownSession(const PushdownSession&) = delete;
    PushdownSession& operator=(const PushdownSession&) = delete;

    // The connection, kept open by every statement made on it.
    const std::shared_ptr<ConnectionState>& state() const { return m_state; }
    // The statement of this text, prepared on first use. Throws DbError.
    Statement& prepared(const QString& sql);
    // Forgets the prepared statements: the texts they were made of are no longer asked.
    void forgetPrepared() { m_statements.clear(); }
    // Runs a text that takes no parameter and gives no rows. Throws DbError.
    void run(const QString& sql);
    // A text the server gives back on its first row (empty when none). Throws DbError.
    QString single(const QString& sql);

    // As PushdownTable tells them.
    void begin();
    void begin(const PushdownLeaf& leaf, const QString& snapshot, const Table& table);
    void commit();
    void rollback() noexcept;
    // Drops the work of the transaction so far and goes on in a new one, with a new snapshot. Throws
    // DbError when the connection is closed.
    void restart();
    // The table's lock and snapshot in a transaction kept until rollback; local leaves' sizes then.
    PushdownHold hold(const Table& table, const QString& oid, const std::vector<PushdownLeaf>& leaves);
    // A local leaf's size in pages now. Throws DbError.
    long long localPages(const PushdownLeaf& leaf);

private:
    // Declared before the statements: the connection outlives every statement prepared on it.
    std::shared_ptr<ConnectionState> m_state;
    std::map<QString, std::unique_ptr<Statement>> m_statements;
    std::optional<Transaction> m_transaction;
};

} // namespace quarvel::db
