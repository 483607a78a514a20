#include "db/RowRestore.h"

#include "db/ConnectionState.h"
#include "db/Statement.h"

#include <QScopeGuard>

namespace quarvel::db {

namespace {

const QString TableQuery = QStringLiteral(
    "SELECT c.oid::pg_catalog.text, c.relkind::pg_catalog.text FROM pg_catalog.pg_class c JOIN "
    "pg_catalog.pg_namespace n ON n.oid = c.relnamespace WHERE n.nspname = ? AND c.relname = ?");
const QString ColumnsQuery = QStringLiteral(
    "SELECT a.attname::pg_catalog.text, pg_catalog.format_type(a.atttypid, NULL), "
    "pg_catalog.format_type(a.atttypid, a.atttypmod) FROM pg_catalog.pg_attribute a "
    "WHERE a.attrelid = CAST(? AS pg_catalog.oid) AND a.attnum > 0 AND NOT a.attisdropped");

const QString RestoreJournalMessage =
    QStringLiteral("The journal could not take what the undo puts back (%1). Nothing of it was put back.");

void setAutocommit(SQLHDBC handle, bool on)
{
    const SQLRETURN result = SQLSetConnectAttr(
        handle, SQL_ATTR_AUTOCOMMIT,
        reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF)), 0);
    if (!SQL_SUCCEEDED(result))
        throw diagnosticsError(SQL_HANDLE_DBC, handle, QStringLiteral("Cannot open a transaction for the undo."));
}

} // namespace

std::optional<QString> transactionStatus(Connection& connection, const QString& transaction)
{
    Statement status(connection.state().openHandle());
    status.prepare(QStringLiteral("SELECT pg_catalog.txid_status(CAST(? AS pg_catalog.int8))"));
    status.execute({transaction});
    std::optional<QString> result = status.fetch() ? status.text(1) : std::nullopt;
    status.closeCursor();
    return result;
}

RowRestore::RowRestore(Connection& connection, const Table& table, std::vector<QString> keyColumns)
    : m_connection(connection), m_table(table), m_keyColumns(std::move(keyColumns))
{
    const SQLHDBC handle = m_connection.state().openHandle();
    Statement lookup(handle);
    lookup.prepare(TableQuery);
    lookup.execute({table.schema, table.name});
    if (!lookup.fetch())
        throw DbError(QStringLiteral("relation \"%1.%2\" does not exist").arg(table.schema, table.name),
                      QStringLiteral("42P01"));
    const QString oid = lookup.text(1).value_or(QString());
    const QString kind = lookup.text(2).value_or(QString());
    lookup.closeCursor();
    if (kind == u"r")
        m_from = QStringLiteral("ONLY ") + table.qualifiedName();
    else if (kind == u"p")
        m_from = table.qualifiedName();
    else
        throw DbError(QStringLiteral("\"%1\" is not a table").arg(table.displayName()), QStringLiteral("42809"));
    Statement columns(handle);
    columns.prepare(ColumnsQuery);
    columns.execute({oid});
    while (columns.fetch()) {
        const QString name = columns.text(1).value_or(QString());
        Column& c = m_columns[name];
        c.castType = columns.text(2).value_or(QString());
        c.storedType = columns.text(3).value_or(QString());
    }
    columns.closeCursor();
    for (const QString& key : m_keyColumns)
        column(key);
}

RowRestore::~RowRestore() = default;

const RowRestore::Column& RowRestore::column(const QString& name) const
{
    const auto found = m_columns.find(name);
    if (found == m_columns.end())
        throw DbError(QStringLiteral("column \"%1\" of relation \"%2\" does not exist").arg(name, m_table.displayName()),
                      QStringLiteral("42703"));
    return found->second;
}

// Locks the row (on the version the journal names, else by key) and reads what each field holds now
// beside what the journal says was stored there, both in the column's text form.
void RowRestore::restoreRow(const RestoreRow& row, RestoreOutcome& outcome, std::vector<JournaledRecord>& journaled,
                            QString& transaction)
{
    for (const RestoreField& field : row.fields)
        if (!m_columns.count(field.column))
            outcome.changedColumns << field.column;
    if (!outcome.changedColumns.isEmpty()) {
        // A column dropped or renamed since: what it held is not there to be checked.
        outcome.result = RestoreResult::ChangedSince;
        return;
    }
    const SQLHDBC handle = m_connection.state().openHandle();
    QString select = QStringLiteral("SELECT q.tableoid::pg_catalog.text, q.ctid::pg_catalog.text, "
                                    "q.xmin::pg_catalog.text");
    std::vector<QString> expected;
    for (const RestoreField& field : row.fields) {
        const Column& c = column(field.column);
        select += QStringLiteral(", q.") + quoteIdentifier(field.column) +
                  QStringLiteral("::pg_catalog.text, CAST(CAST(? AS pg_catalog.text) AS ") + c.storedType +
                  QStringLiteral(")::pg_catalog.text");
        expected.push_back(field.expected);
    }
    select += QStringLiteral(" FROM ") + m_from + QStringLiteral(" AS q WHERE ");

    struct Found
    {
        QString oid, ctid, xmin;
        std::vector<std::optional<QString>> now, stored;
    };
    const auto find = [&](const QString& where, std::vector<QString> parameters) -> std::optional<Found> {
        Statement statement(handle);
        statement.prepare(select + where + QStringLiteral(" FOR UPDATE"));
        std::vector<QString> all = expected;
        all.insert(all.end(), parameters.begin(), parameters.end());
        if (!statement.execute(all) || !statement.fetch())
            return std::nullopt;
        Found f;
        f.oid = statement.text(1).value_or(QString());
        f.ctid = statement.text(2).value_or(QString());
        f.xmin = statement.text(3).value_or(QString());
        for (size_t i = 0; i < row.fields.size(); ++i) {
            f.now.push_back(statement.text(static_cast<SQLUSMALLINT>(4 + 2 * i)));
            f.stored.push_back(statement.text(static_cast<SQLUSMALLINT>(5 + 2 * i)));
        }
        statement.closeCursor();
        return f;
    };

    std::optional<Found> found = find(QStringLiteral("q.tableoid = CAST(? AS pg_catalog.oid) AND q.ctid = "
                                                     "CAST(? AS pg_catalog.tid)"),
                                      {row.rowOid, row.ctid});
    // Another version in that place is another row, or this one changed and moved since.
    if (found && found->xmin != row.xmin)
        found.reset();
    if (!found) {
        if (m_keyColumns.empty() || row.key.size() != m_keyColumns.size()) {
            outcome.result = m_keyColumns.empty() ? RestoreResult::Moved : RestoreResult::Missing;
            return;
        }
        QString where;
        for (size_t k = 0; k < m_keyColumns.size(); ++k) {
            if (k > 0)
                where += QStringLiteral(" AND ");
            where += QStringLiteral("q.") + quoteIdentifier(m_keyColumns[k]) + QStringLiteral(" = CAST(? AS ") +
                     column(m_keyColumns[k]).castType + u')';
        }
        found = find(where, row.key);
        if (!found) {
            outcome.result = RestoreResult::Missing;
            return;
        }
    }

    std::vector<size_t> restoring;
    for (size_t i = 0; i < row.fields.size(); ++i) {
        if (found->now[i].has_value() && found->now[i] == found->stored[i])
            restoring.push_back(i);
        else
            outcome.changedColumns << row.fields[i].column;
    }
    outcome.result = outcome.changedColumns.isEmpty() ? RestoreResult::Restored : RestoreResult::ChangedSince;
    if (restoring.empty())
        return;

    QString update = QStringLiteral("UPDATE ") + m_from + QStringLiteral(" AS q SET ");
    std::vector<QString> parameters;
    JournaledRecord record;
    record.record = row.record;
    for (size_t n = 0; n < restoring.size(); ++n) {
        const RestoreField& field = row.fields[restoring[n]];
        if (n > 0)
            update += QStringLiteral(", ");
        update += quoteIdentifier(field.column) + QStringLiteral(" = ");
        if (field.value) {
            update += QStringLiteral("CAST(? AS ") + column(field.column).castType + u')';
            parameters.push_back(*field.value);
        } else {
            update += QStringLiteral("NULL");
        }
        record.columns.push_back(field.column);
        record.oldValues.push_back(found->now[restoring[n]]);
        record.newValues.push_back(field.value.value_or(QString()));
    }
    update += QStringLiteral(" WHERE q.tableoid = CAST(? AS pg_catalog.oid) AND q.ctid = CAST(? AS pg_catalog.tid) "
                             "RETURNING q.tableoid::pg_catalog.text, q.ctid::pg_catalog.text, "
                             "pg_catalog.txid_current()::pg_catalog.text, q.xmin::pg_catalog.text");
    parameters.push_back(found->oid);
    parameters.push_back(found->ctid);
    Statement statement(handle);
    statement.prepare(update);
    if (!statement.execute(parameters) || !statement.fetch()) {
        // Locked above, so only a trigger or a rule can have skipped it.
        outcome.result = RestoreResult::ChangedSince;
        outcome.changedColumns.clear();
        for (const RestoreField& field : row.fields)
            outcome.changedColumns << field.column;
        return;
    }
    record.rowOid = statement.text(1).value_or(QString());
    record.ctid = statement.text(2).value_or(QString());
    transaction = statement.text(3).value_or(QString());
    record.xmin = statement.text(4).value_or(QString());
    statement.closeCursor();
    for (size_t k = 0; k < m_keyColumns.size() && k < row.key.size(); ++k) {
        QString value = row.key[k];
        for (size_t n = 0; n < restoring.size(); ++n)
            if (row.fields[restoring[n]].column == m_keyColumns[k])
                value = row.fields[restoring[n]].value.value_or(QString());
        record.key.push_back(value);
    }
    journaled.push_back(std::move(record));
}

std::vector<RestoreOutcome> RowRestore::restore(const std::vector<RestoreRow>& rows, StoreJournal* journal)
{
    const SQLHDBC handle = m_connection.state().openHandle();
    setAutocommit(handle, false);
    bool ended = false;
    const auto rollback = qScopeGuard([&] {
        if (!ended)
            SQLEndTran(SQL_HANDLE_DBC, handle, SQL_ROLLBACK);
        SQLSetConnectAttr(handle, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
    });
    std::vector<RestoreOutcome> outcomes(rows.size());
    std::vector<JournaledRecord> journaled;
    QString transaction;
    for (size_t i = 0; i < rows.size(); ++i)
        restoreRow(rows[i], outcomes[i], journaled, transaction);
    if (journal && !journaled.empty()) {
        try {
            journal->storing(m_table, m_keyColumns, transaction, journaled);
        } catch (const std::exception& e) {
            SQLEndTran(SQL_HANDLE_DBC, handle, SQL_ROLLBACK);
            ended = true;
            journal->stored(false);
            throw DbError::stoppingTheRun(RestoreJournalMessage.arg(QString::fromUtf8(e.what())));
        }
    }
    const SQLRETURN committed = SQLEndTran(SQL_HANDLE_DBC, handle, SQL_COMMIT);
    ended = true;
    if (journal && !journaled.empty())
        journal->stored(SQL_SUCCEEDED(committed));
    if (!SQL_SUCCEEDED(committed))
        throw diagnosticsError(SQL_HANDLE_DBC, handle, QStringLiteral("The undo did not commit."));
    return outcomes;
}

} // namespace quarvel::db
