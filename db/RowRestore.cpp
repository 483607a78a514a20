#include "db/RowRestore.h"

#include "db/ConnectionState.h"
#include "db/Statement.h"

#include <QScopeGuard>

#include <map>

namespace quarvel::db {

namespace {

const QString TableQuery = QStringLiteral(
    "SELECT c.oid::pg_catalog.text, c.relkind::pg_catalog.text FROM pg_catalog.pg_class c JOIN "
    "pg_catalog.pg_namespace n ON n.oid = c.relnamespace WHERE n.nspname = ? AND c.relname = ?");
const QString ColumnsQuery =
    QStringLiteral("SELECT a.attname::pg_catalog.text, pg_catalog.format_type(a.atttypid, NULL), "
                   "pg_catalog.format_type(a.atttypid, a.atttypmod) FROM pg_catalog.pg_attribute a "
                   "WHERE a.attrelid = CAST(? AS pg_catalog.oid) AND a.attnum > 0 AND NOT a.attisdropped");

// What else runs when a row of the table is updated: its rules and its UPDATE triggers.
const QString SideEffectsQuery = QStringLiteral(
    "SELECT 'rule ' || pg_catalog.quote_ident(r.rulename::pg_catalog.text) FROM pg_catalog.pg_rewrite r "
    "WHERE r.ev_class = CAST(? AS pg_catalog.oid) AND r.ev_type = '2' UNION ALL SELECT 'trigger ' || "
    "pg_catalog.quote_ident(g.tgname::pg_catalog.text) FROM pg_catalog.pg_trigger g WHERE g.tgrelid = "
    "CAST(? AS pg_catalog.oid) AND NOT g.tgisinternal AND g.tgenabled <> 'D' AND "
    "(g.tgtype::pg_catalog.int4 & 16) <> 0 ORDER BY 1");

const QString RestoreJournalMessage =
    QStringLiteral("The journal could not take what the undo puts back (%1). Nothing of it was put back.");

void setAutocommit(SQLHDBC handle, bool on)
{
    const SQLRETURN result = on ? SQLSetConnectAttr(handle, SQL_ATTR_AUTOCOMMIT,
                                                    reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0)
                                : SQLSetConnectAttr(handle, SQL_ATTR_AUTOCOMMIT,
                                                    reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0);
    if (!SQL_SUCCEEDED(result))
        throw diagnosticsError(SQL_HANDLE_DBC, handle,
                               QStringLiteral("Cannot open a transaction for the undo."));
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
        throw DbError(QStringLiteral("\"%1\" is not a table").arg(table.displayName()),
                      QStringLiteral("42809"));
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
    Statement effects(handle);
    effects.prepare(SideEffectsQuery);
    effects.execute({oid, oid});
    while (effects.fetch()) {
        const QString effect = effects.text(1).value_or(QString());
        m_rewritten = m_rewritten || effect.startsWith(u"rule ");
        m_sideEffects << effect;
    }
    effects.closeCursor();
}

RowRestore::~RowRestore() = default;

const RowRestore::Column& RowRestore::column(const QString& name) const
{
    const auto found = m_columns.find(name);
    if (found == m_columns.end())
        throw DbError(QStringLiteral("column \"%1\" of relation \"%2\" does not exist")
                          .arg(name, m_table.displayName()),
                      QStringLiteral("42703"));
    return found->second;
}

// Locks the row (on the version the journal names, else by key) and reads what each field holds now
// beside what the journal says was stored there, both in the column's text form.
void RowRestore::restoreRow(const RestoreRow& row, RestoreOutcome& outcome,
                            std::vector<JournaledRecord>& journaled, QString& transaction, bool lookOnly)
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
        statement.prepare(select + where + (lookOnly ? QString() : QStringLiteral(" FOR UPDATE")));
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
            where += QStringLiteral("q.") + quoteIdentifier(m_keyColumns[k]) +
                     QStringLiteral(" = CAST(? AS ") + column(m_keyColumns[k]).castType + u')';
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
    if (restoring.empty() || lookOnly)
        return;

    QString update = QStringLiteral("UPDATE ") + m_from + QStringLiteral(" AS q SET ");
    std::vector<QString> parameters;
    std::vector<std::optional<QString>> held;
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
        held.push_back(found->now[restoring[n]]);
    }
    update +=
        QStringLiteral(" WHERE q.tableoid = CAST(? AS pg_catalog.oid) AND q.ctid = CAST(? AS pg_catalog.tid) "
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
    JournaledRecord record = restoredRecord(row, restoring, held);
    record.rowOid = statement.text(1).value_or(QString());
    record.ctid = statement.text(2).value_or(QString());
    transaction = statement.text(3).value_or(QString());
    record.xmin = statement.text(4).value_or(QString());
    statement.closeCursor();
    journaled.push_back(std::move(record));
}

// What the undo journals of a row it put back: old is what the fields held, new what went back.
JournaledRecord RowRestore::restoredRecord(const RestoreRow& row, const std::vector<size_t>& restoring,
                                           const std::vector<std::optional<QString>>& held) const
{
    JournaledRecord record;
    record.record = row.record;
    for (size_t n = 0; n < restoring.size(); ++n) {
        const RestoreField& field = row.fields[restoring[n]];
        record.columns.push_back(field.column);
        record.oldValues.push_back(held[n]);
        record.newValues.push_back(field.value.value_or(QString()));
    }
    for (size_t k = 0; k < m_keyColumns.size() && k < row.key.size(); ++k) {
        QString value = row.key[k];
        for (const size_t i : restoring)
            if (row.fields[i].column == m_keyColumns[k])
                value = row.fields[i].value.value_or(QString());
        record.key.push_back(value);
    }
    return record;
}

// The rows still the very version the journal names, put back with one statement per set of fields:
// each field only where it holds what was stored, and nothing else touched. A row the statement does not
// settle (moved, changed since in every field, a null to put back) is left to restoreRow.
void RowRestore::restoreVersions(const std::vector<RestoreRow>& rows, const std::vector<size_t>& which,
                                 std::vector<RestoreOutcome>& outcomes, std::vector<bool>& settled,
                                 std::vector<JournaledRecord>& journaled, QString& transaction, bool lookOnly)
{
    std::map<QStringList, std::vector<size_t>> groups;
    for (const size_t i : which) {
        QStringList names;
        bool fits = true;
        for (const RestoreField& field : rows[i].fields) {
            names << field.column;
            fits = fits && field.value.has_value() && m_columns.count(field.column);
        }
        if (fits && !names.isEmpty())
            groups[names].push_back(i);
    }
    const SQLHDBC handle = m_connection.state().openHandle();
    for (const auto& [names, members] : groups) {
        const auto fields = static_cast<size_t>(names.size());
        QString unnests = QStringLiteral("pg_catalog.unnest(CAST(? AS pg_catalog.oid[])), "
                                         "pg_catalog.unnest(CAST(? AS pg_catalog.tid[])), "
                                         "pg_catalog.unnest(CAST(? AS pg_catalog.xid[]))");
        QString aliases = QStringLiteral("o, ct, xm");
        QString current;
        QString sets;
        QString any;
        QString returned;
        for (size_t k = 0; k < fields; ++k) {
            const Column& c = column(names[static_cast<qsizetype>(k)]);
            const QString name = quoteIdentifier(names[static_cast<qsizetype>(k)]);
            const QString n = QString::number(k + 1);
            unnests += QStringLiteral(", pg_catalog.unnest(CAST(? AS pg_catalog.text[])), "
                                      "pg_catalog.unnest(CAST(? AS pg_catalog.text[]))");
            aliases += QStringLiteral(", e%1, n%1").arg(n);
            current +=
                QStringLiteral(", q.%1::pg_catalog.text AS now%2, q.%1::pg_catalog.text = CAST(v.e%2 AS %3)"
                               "::pg_catalog.text AS m%2")
                    .arg(name, n, c.storedType);
            sets += QStringLiteral("%1%2 = CASE WHEN cur.m%3 THEN CAST(v.n%3 AS %4) ELSE q.%2 END")
                        .arg(k > 0 ? QStringLiteral(", ") : QString(), name, n, c.castType);
            any += QStringLiteral("%1cur.m%2").arg(k > 0 ? QStringLiteral(" OR ") : QString(), n);
            returned += QStringLiteral(", cur.m%1::pg_catalog.text, cur.now%1").arg(n);
        }
        // The rows still at the version the journal names, beside what the journal holds for them.
        const QString rowsNow =
            QStringLiteral("WITH v AS (SELECT * FROM ROWS FROM (") + unnests +
            QStringLiteral(") WITH ORDINALITY AS v(") + aliases +
            QStringLiteral(", i)), cur AS (SELECT v.i, q.tableoid AS o, q.ctid AS ct") + current +
            QStringLiteral(" FROM ") + m_from +
            QStringLiteral(" AS q JOIN v ON q.tableoid = v.o AND q.ctid = v.ct AND q.xmin = v.xm");
        // Looking only: the same rows and comparisons, unlocked, in the columns the update returns.
        const QString sql =
            lookOnly
                ? rowsNow +
                      QStringLiteral(") SELECT cur.i::pg_catalog.text, cur.o::pg_catalog.text, "
                                     "cur.ct::pg_catalog.text, NULL, NULL") +
                      returned + QStringLiteral(" FROM cur WHERE ") + any
                : rowsNow + QStringLiteral(" FOR UPDATE OF q) UPDATE ") + m_from +
                      QStringLiteral(" AS q SET ") + sets +
                      QStringLiteral(" FROM cur JOIN v ON v.i = cur.i WHERE q.tableoid = cur.o AND q.ctid = "
                                     "cur.ct AND (") +
                      any +
                      QStringLiteral(") RETURNING cur.i::pg_catalog.text, q.tableoid::pg_catalog.text, "
                                     "q.ctid::pg_catalog.text, "
                                     "pg_catalog.txid_current()::pg_catalog.text, q.xmin::pg_catalog.text") +
                      returned;
        std::vector<std::vector<QString>> arrays(3 + 2 * fields);
        for (const size_t i : members) {
            const RestoreRow& row = rows[i];
            arrays[0].push_back(row.rowOid);
            arrays[1].push_back(row.ctid);
            arrays[2].push_back(row.xmin);
            for (size_t k = 0; k < fields; ++k) {
                arrays[3 + 2 * k].push_back(row.fields[k].expected);
                arrays[4 + 2 * k].push_back(*row.fields[k].value);
            }
        }
        std::vector<QString> parameters;
        parameters.reserve(arrays.size());
        for (const auto& array : arrays)
            parameters.push_back(arrayLiteral(array));
        auto statement = m_statements.find(sql);
        if (statement == m_statements.end()) {
            Statement prepared(handle);
            prepared.prepare(sql);
            statement = m_statements.emplace(sql, std::move(prepared)).first;
        }
        Statement& update = statement->second;
        if (update.execute(parameters)) {
            while (update.fetch()) {
                const long long ordinal = update.text(1).value_or(QString()).toLongLong();
                if (ordinal < 1 || ordinal > static_cast<long long>(members.size()))
                    continue;
                const size_t i = members[static_cast<size_t>(ordinal - 1)];
                const RestoreRow& row = rows[i];
                const QString rowOid = update.text(2).value_or(QString());
                const QString ctid = update.text(3).value_or(QString());
                transaction = update.text(4).value_or(QString());
                const QString xmin = update.text(5).value_or(QString());
                std::vector<size_t> restoring;
                std::vector<std::optional<QString>> held;
                RestoreOutcome& outcome = outcomes[i];
                for (size_t k = 0; k < fields; ++k) {
                    const bool matched = update.text(static_cast<SQLUSMALLINT>(6 + 2 * k)) == u"true";
                    std::optional<QString> now = update.text(static_cast<SQLUSMALLINT>(7 + 2 * k));
                    if (matched) {
                        restoring.push_back(k);
                        held.push_back(std::move(now));
                    } else {
                        outcome.changedColumns << row.fields[k].column;
                    }
                }
                outcome.result =
                    outcome.changedColumns.isEmpty() ? RestoreResult::Restored : RestoreResult::ChangedSince;
                JournaledRecord record = restoredRecord(row, restoring, held);
                record.rowOid = rowOid;
                record.ctid = ctid;
                record.xmin = xmin;
                journaled.push_back(std::move(record));
                settled[i] = true;
            }
        }
        update.closeCursor();
    }
}

// Every row: those at the version the journal names all at once, the rest one by one. A rule makes the
// update more than one statement, which a statement with WITH cannot be: such a table's rows go one by one.
std::vector<RestoreOutcome> RowRestore::walk(const std::vector<RestoreRow>& rows,
                                             std::vector<JournaledRecord>& journaled, QString& transaction,
                                             bool lookOnly)
{
    std::vector<RestoreOutcome> outcomes(rows.size());
    std::vector<bool> settled(rows.size(), false);
    std::vector<size_t> all(rows.size());
    for (size_t i = 0; i < rows.size(); ++i)
        all[i] = i;
    if (!m_rewritten)
        restoreVersions(rows, all, outcomes, settled, journaled, transaction, lookOnly);
    for (size_t i = 0; i < rows.size(); ++i)
        if (!settled[i])
            restoreRow(rows[i], outcomes[i], journaled, transaction, lookOnly);
    return outcomes;
}

std::vector<RestoreOutcome> RowRestore::check(const std::vector<RestoreRow>& rows)
{
    std::vector<JournaledRecord> unused;
    QString transaction;
    return walk(rows, unused, transaction, true);
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
    std::vector<JournaledRecord> journaled;
    QString transaction;
    std::vector<RestoreOutcome> outcomes = walk(rows, journaled, transaction, false);
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
