#include "db/PushdownSession.h"

#include "db/Connection.h"
#include "db/ConnectionState.h"
#include "db/PushdownRead.h"
#include "db/RecordSet.h"

#include <QRegularExpression>
#include <QStringList>

namespace quarvel::db {

namespace {

const QString PagesQuery = QStringLiteral(
    "SELECT (pg_catalog.pg_relation_size(CAST(CAST(? AS pg_catalog.oid) AS pg_catalog.regclass)) / "
    "pg_catalog.current_setting('block_size')::pg_catalog.int8)::pg_catalog.text");

} // namespace

PushdownSession::PushdownSession(Connection& connection, int lockWaitMs)
    : m_state(connection.state().shared_from_this())
{
    // A lock another session holds ends the wait with the server's message.
    run(QStringLiteral("SET lock_timeout = %1").arg(lockWaitMs));
    // A plan made once for any page range scans the whole table for every batch: each range is planned
    // as what it is.
    run(QStringLiteral("SET plan_cache_mode = force_custom_plan"));
}

PushdownSession::~PushdownSession()
{
    rollback();
}

Statement& PushdownSession::prepared(const QString& sql)
{
    auto found = m_statements.find(sql);
    if (found == m_statements.end()) {
        auto statement = std::make_unique<Statement>(m_state);
        statement->prepare(sql);
        found = m_statements.emplace(sql, std::move(statement)).first;
    }
    return *found->second;
}

void PushdownSession::run(const QString& sql)
{
    Statement(m_state).executeDirect(sql);
}

QString PushdownSession::single(const QString& sql)
{
    Statement statement(m_state);
    statement.executeDirect(sql);
    QString text = statement.fetch() ? requiredText(statement, 1) : QString();
    statement.closeCursor();
    return text;
}

long long PushdownSession::localPages(const PushdownLeaf& leaf)
{
    Statement& query = prepared(PagesQuery);
    query.execute({leaf.oid});
    const long long pages = query.fetch() ? requiredText(query, 1).toLongLong() : 0;
    query.closeCursor();
    return pages;
}

void PushdownSession::begin()
{
    m_transaction.emplace(m_state, QStringLiteral("Cannot open a transaction for storing."));
}

void PushdownSession::begin(const PushdownLeaf& leaf, const QString& snapshot, const Table& table)
{
    begin();
    if (leaf.remote)
        return;
    QString sql;
    if (!snapshot.isEmpty()) {
        // SET TRANSACTION SNAPSHOT takes no parameter: the text is the server's own, of a form checked
        // here. It and the isolation level must come first in the transaction, before the driver puts
        // its savepoint around the next statement: one text.
        static const QRegularExpression form(QStringLiteral("^[0-9A-Fa-f]+(-[0-9A-Fa-f]+)+$"));
        if (!form.match(snapshot).hasMatch()) {
            rollback();
            throw DbError(QStringLiteral("The server gave a snapshot of an unknown form."),
                          QStringLiteral("XX000"));
        }
        sql = QStringLiteral("SET TRANSACTION ISOLATION LEVEL REPEATABLE READ; SET TRANSACTION SNAPSHOT '") +
              snapshot + QStringLiteral("'; ");
    }
    // A role that may update only some columns may not LOCK the table. Its lock for a row-locking read
    // still waits out a rewrite; a share lock (CREATE INDEX) then holds up the store itself.
    if (leaf.lockable)
        sql += QStringLiteral("LOCK TABLE ONLY ") + leaf.table.qualifiedName() +
               QStringLiteral(" IN ROW EXCLUSIVE MODE");
    else
        sql += QStringLiteral("SELECT FROM ONLY ") + leaf.table.qualifiedName() +
               QStringLiteral(" WHERE false FOR UPDATE");
    try {
        run(sql);
    } catch (const DbError& error) {
        rollback();
        if (error.sqlState() == u"55P03")
            throw lockedTable(error, table);
        throw;
    }
}

PushdownHold PushdownSession::hold(const Table& table, const QString& oid,
                                   const std::vector<PushdownLeaf>& leaves)
{
    // The transaction waits, idle, while the batches run: a server that ends idle transactions would
    // take the snapshot from under them.
    run(QStringLiteral("SET idle_in_transaction_session_timeout = 0"));
    begin();
    PushdownHold held;
    try {
        // The lock before the snapshot: no rewrite can then come between them.
        QStringList targets{QStringLiteral("ONLY ") + table.qualifiedName()};
        for (const PushdownLeaf& leaf : leaves)
            if (!leaf.remote && leaf.oid != oid)
                targets << QStringLiteral("ONLY ") + leaf.table.qualifiedName();
        run(QStringLiteral("SET TRANSACTION ISOLATION LEVEL REPEATABLE READ"));
        run(QStringLiteral("LOCK TABLE ") + targets.join(QStringLiteral(", ")) +
            QStringLiteral(" IN ACCESS SHARE MODE"));
        held.snapshot = single(QStringLiteral("SELECT pg_catalog.pg_export_snapshot()"));
        for (const PushdownLeaf& leaf : leaves)
            if (!leaf.remote)
                held.pages[leaf.oid] = localPages(leaf);
    } catch (const DbError& error) {
        rollback();
        if (error.sqlState() == u"55P03")
            throw lockedTable(error, table);
        throw;
    }
    return held;
}

void PushdownSession::commit()
{
    if (!m_transaction)
        throw DbError(Transaction::storeNotCommitted(), QStringLiteral("08006"));
    Transaction ending = std::move(*m_transaction);
    m_transaction.reset();
    ending.commit();
}

void PushdownSession::rollback() noexcept
{
    m_transaction.reset();
}

void PushdownSession::restart()
{
    m_transaction->restart();
}

} // namespace quarvel::db
