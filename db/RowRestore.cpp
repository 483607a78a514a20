#include "db/RowRestore.h"

#include "db/Catalogue.h"
#include "db/ConnectionState.h"
#include "db/Statement.h"
#include "db/Transaction.h"

#include <algorithm>
#include <map>

namespace quarvel::db {

namespace {

const QString RestoreJournalMessage =
    QStringLiteral("The journal could not take what the undo puts back (%1). Nothing of it was put back.");

const QString UndoNotCommitted = QStringLiteral("The undo did not commit.");

// Statements of versions kept prepared at once, each for one set of fields.
constexpr size_t PreparedStatements = 8;

} // namespace

std::optional<QString> transactionStatus(Connection& connection, const QString& transaction)
{
    Statement status(connection.state().shared_from_this());
    status.prepare(QStringLiteral("SELECT pg_catalog.txid_status(CAST(? AS pg_catalog.int8))"));
    status.execute({transaction});
    std::optional<QString> result = status.fetch() ? status.text(1) : std::nullopt;
    status.closeCursor();
    return result;
}

RowRestore::RowRestore(Connection& connection, const Table& table, std::vector<QString> keyColumns)
    : m_connection(connection.state().shared_from_this()), m_table(table), m_keyColumns(std::move(keyColumns))
{
    const CatalogueRelation relation = findRelation(m_connection, table);
    const QString& oid = relation.oid;
    m_from = rowSource(relation, table);
    Statement columns(m_connection);
    columns.prepare(catalogueQuery(CatalogueQuery::RestoreColumns));
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
    Statement effects(m_connection);
    effects.prepare(catalogueQuery(CatalogueQuery::SideEffects));
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

// A row as a lookup found it: where it is, what each field holds now and what the journal's text for it
// becomes in the column (both in the column's text form).
struct RowAsFound
{
    QString oid, ctid, xmin;
    std::vector<std::optional<QString>> now, stored;
};

namespace {

// Every field of the row with its journal text converted by the column, for a lookup to append its
// condition to; the journal texts are its first parameters.
QString rowLookup(const RestoreRow& row, const std::map<QString, RowRestore::Column>& columns,
                  const QString& from)
{
    QString select = QStringLiteral("SELECT q.tableoid::pg_catalog.text, q.ctid::pg_catalog.text, "
                                    "q.xmin::pg_catalog.text");
    for (const RestoreField& field : row.fields)
        select += QStringLiteral(", q.") + quoteIdentifier(field.column) +
                  QStringLiteral("::pg_catalog.text, CAST(CAST(? AS pg_catalog.text) AS ") +
                  columns.at(field.column).storedType + QStringLiteral(")::pg_catalog.text");
    return select + QStringLiteral(" FROM ") + from + QStringLiteral(" AS q WHERE ");
}

std::optional<RowAsFound> findRow(const std::shared_ptr<ConnectionState>& connection, const QString& sql,
                                  const RestoreRow& row, const std::vector<QString>& where)
{
    Statement statement(connection);
    statement.prepare(sql);
    std::vector<QString> parameters;
    for (const RestoreField& field : row.fields)
        parameters.push_back(field.expected);
    parameters.insert(parameters.end(), where.begin(), where.end());
    if (!statement.execute(parameters) || !statement.fetch())
        return std::nullopt;
    RowAsFound f;
    f.oid = statement.text(1).value_or(QString());
    f.ctid = statement.text(2).value_or(QString());
    f.xmin = statement.text(3).value_or(QString());
    for (size_t i = 0; i < row.fields.size(); ++i) {
        f.now.push_back(statement.text(static_cast<SQLUSMALLINT>(4 + 2 * i)));
        f.stored.push_back(statement.text(static_cast<SQLUSMALLINT>(5 + 2 * i)));
    }
    statement.closeCursor();
    return f;
}

// The fields of the row that still hold what was stored there.
std::vector<size_t> stillAsStored(const RestoreRow& row, const RowAsFound& found, RestoreOutcome& outcome)
{
    std::vector<size_t> restoring;
    for (size_t i = 0; i < row.fields.size(); ++i) {
        if (found.now[i].has_value() && found.now[i] == found.stored[i])
            restoring.push_back(i);
        else
            outcome.changedColumns << row.fields[i].column;
    }
    outcome.result = outcome.changedColumns.isEmpty() ? RestoreResult::Restored : RestoreResult::ChangedSince;
    return restoring;
}

// The UPDATE that puts the fields back on the row found, with its parameters.
QString restoreUpdate(const RestoreRow& row, const std::vector<size_t>& restoring, const RowAsFound& found,
                      const std::map<QString, RowRestore::Column>& columns, const QString& from,
                      std::vector<QString>& parameters)
{
    QString update = QStringLiteral("UPDATE ") + from + QStringLiteral(" AS q SET ");
    for (size_t n = 0; n < restoring.size(); ++n) {
        const RestoreField& field = row.fields[restoring[n]];
        if (n > 0)
            update += QStringLiteral(", ");
        update += quoteIdentifier(field.column) + QStringLiteral(" = ");
        if (field.value) {
            update += QStringLiteral("CAST(? AS ") + columns.at(field.column).castType + u')';
            parameters.push_back(*field.value);
        } else {
            update += QStringLiteral("NULL");
        }
    }
    parameters.push_back(found.oid);
    parameters.push_back(found.ctid);
    return update +
           QStringLiteral(
               " WHERE q.tableoid = CAST(? AS pg_catalog.oid) AND q.ctid = CAST(? AS pg_catalog.tid) "
               "RETURNING q.tableoid::pg_catalog.text, q.ctid::pg_catalog.text, "
               "pg_catalog.txid_current()::pg_catalog.text, q.xmin::pg_catalog.text");
}

// What the undo journals of a row it put back: old is what the fields held, new what went back.
JournaledRecord restoredRecord(const RestoreRow& row, const std::vector<QString>& keyColumns,
                               const std::vector<size_t>& restoring,
                               const std::vector<std::optional<QString>>& held)
{
    JournaledRecord record;
    record.record = row.record;
    for (size_t n = 0; n < restoring.size(); ++n) {
        const RestoreField& field = row.fields[restoring[n]];
        record.columns.push_back(field.column);
        record.oldValues.push_back(held[n]);
        record.newValues.push_back(field.value.value_or(QString()));
    }
    for (size_t k = 0; k < keyColumns.size() && k < row.key.size(); ++k) {
        QString value = row.key[k];
        for (const size_t i : restoring)
            if (row.fields[i].column == keyColumns[k])
                value = row.fields[i].value.value_or(QString());
        record.key.push_back(value);
    }
    return record;
}

// The rows v of the versions statement, one for each row it is given: its version (o, ct, xm), each
// field's journal text and text to put back (e1, n1, e2, ...), and its place among them (i). Several come
// as arrays; one alone comes as it is, since an array would be a second copy of what may be megabytes.
QString versionsSource(qsizetype fields, bool oneRow)
{
    QString source = oneRow ? QStringLiteral("(VALUES (CAST(? AS pg_catalog.oid), CAST(? AS pg_catalog.tid), "
                                             "CAST(? AS pg_catalog.xid)")
                            : QStringLiteral("ROWS FROM (pg_catalog.unnest(CAST(? AS pg_catalog.oid[])), "
                                             "pg_catalog.unnest(CAST(? AS pg_catalog.tid[])), "
                                             "pg_catalog.unnest(CAST(? AS pg_catalog.xid[]))");
    QString aliases = QStringLiteral("o, ct, xm");
    for (qsizetype k = 1; k <= fields; ++k) {
        source += oneRow ? QStringLiteral(", CAST(? AS pg_catalog.text), CAST(? AS pg_catalog.text)")
                         : QStringLiteral(", pg_catalog.unnest(CAST(? AS pg_catalog.text[])), "
                                          "pg_catalog.unnest(CAST(? AS pg_catalog.text[]))");
        aliases += QStringLiteral(", e%1, n%1").arg(k);
    }
    source += oneRow ? QStringLiteral(", CAST(1 AS pg_catalog.int8))) AS v(")
                     : QStringLiteral(") WITH ORDINALITY AS v(");
    return source + aliases + QStringLiteral(", i)");
}

// One statement for the rows still at the version the journal names that set the same fields (names):
// each field only where it holds what was stored, nothing else touched. Looking only: the same rows and
// comparisons, unlocked, in the columns the update returns.
QString versionsStatement(const QStringList& names, const std::map<QString, RowRestore::Column>& columns,
                          const QString& from, bool lookOnly, bool oneRow)
{
    QString current;
    QString sets;
    QString any;
    QString returned;
    for (qsizetype k = 0; k < names.size(); ++k) {
        const RowRestore::Column& c = columns.at(names[k]);
        const QString name = quoteIdentifier(names[k]);
        const QString n = QString::number(k + 1);
        current +=
            QStringLiteral(", q.%1::pg_catalog.text AS now%2, q.%1::pg_catalog.text = CAST(v.e%2 AS %3)"
                           "::pg_catalog.text AS m%2")
                .arg(name, n, c.storedType);
        sets += QStringLiteral("%1%2 = CASE WHEN cur.m%3 THEN CAST(v.n%3 AS %4) ELSE q.%2 END")
                    .arg(k > 0 ? QStringLiteral(", ") : QString(), name, n, c.castType);
        any += QStringLiteral("%1cur.m%2").arg(k > 0 ? QStringLiteral(" OR ") : QString(), n);
        // What the field held goes into the undo's own journal; where that is byte for byte the text the
        // journal gave, it is not sent back (a value of megabytes would come back whole, to be held twice).
        returned += lookOnly
                        ? QStringLiteral(", cur.m%1::pg_catalog.text, NULL").arg(n)
                        : QStringLiteral(", cur.m%1::pg_catalog.text, CASE WHEN cur.now%1 = v.e%1 COLLATE "
                                         "pg_catalog.\"C\" THEN NULL ELSE cur.now%1 END")
                              .arg(n);
    }
    // The rows still at the version the journal names, beside what the journal holds for them.
    const QString rowsNow =
        QStringLiteral("WITH v AS (SELECT * FROM ") + versionsSource(names.size(), oneRow) +
        QStringLiteral("), cur AS (SELECT v.i, q.tableoid AS o, q.ctid AS ct") + current +
        QStringLiteral(" FROM ") + from +
        QStringLiteral(" AS q JOIN v ON q.tableoid = v.o AND q.ctid = v.ct AND q.xmin = v.xm");
    if (lookOnly)
        return rowsNow +
               QStringLiteral(") SELECT cur.i::pg_catalog.text, cur.o::pg_catalog.text, "
                              "cur.ct::pg_catalog.text, NULL, NULL") +
               returned + QStringLiteral(" FROM cur WHERE ") + any;
    return rowsNow + QStringLiteral(" FOR UPDATE OF q) UPDATE ") + from + QStringLiteral(" AS q SET ") +
           sets +
           QStringLiteral(
               " FROM cur JOIN v ON v.i = cur.i WHERE q.tableoid = cur.o AND q.ctid = cur.ct AND (") +
           any +
           QStringLiteral(") RETURNING cur.i::pg_catalog.text, q.tableoid::pg_catalog.text, "
                          "q.ctid::pg_catalog.text, pg_catalog.txid_current()::pg_catalog.text, "
                          "q.xmin::pg_catalog.text") +
           returned;
}

// The statement's parameters for the rows (members): the versions, then each field's journal text and
// the text to put back, as arrays, or for one row as they are.
std::vector<QString> versionArrays(const std::vector<RestoreRow>& rows, const std::vector<size_t>& members,
                                   size_t fields)
{
    if (members.size() == 1) {
        const RestoreRow& row = rows[members.front()];
        std::vector<QString> parameters{row.rowOid, row.ctid, row.xmin};
        for (size_t k = 0; k < fields; ++k) {
            parameters.push_back(row.fields[k].expected);
            parameters.push_back(*row.fields[k].value);
        }
        return parameters;
    }
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
    return parameters;
}

// One row the versions statement returned: its outcome, and what the journal takes of it.
JournaledRecord settledVersion(Statement& update, const RestoreRow& row,
                               const std::vector<QString>& keyColumns, RestoreOutcome& outcome,
                               QString& transaction)
{
    const QString rowOid = update.text(2).value_or(QString());
    const QString ctid = update.text(3).value_or(QString());
    transaction = update.text(4).value_or(QString());
    const QString xmin = update.text(5).value_or(QString());
    std::vector<size_t> restoring;
    std::vector<std::optional<QString>> held;
    for (size_t k = 0; k < row.fields.size(); ++k) {
        const bool matched = update.text(static_cast<SQLUSMALLINT>(6 + 2 * k)) == u"true";
        if (matched) {
            // A field that matched is not null: null stands for the journal's own text.
            std::optional<QString> now = update.text(static_cast<SQLUSMALLINT>(7 + 2 * k));
            restoring.push_back(k);
            held.push_back(now ? std::move(now) : row.fields[k].expected);
        } else {
            outcome.changedColumns << row.fields[k].column;
        }
    }
    outcome.result = outcome.changedColumns.isEmpty() ? RestoreResult::Restored : RestoreResult::ChangedSince;
    JournaledRecord record = restoredRecord(row, keyColumns, restoring, held);
    record.rowOid = rowOid;
    record.ctid = ctid;
    record.xmin = xmin;
    return record;
}

} // namespace

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
    const std::optional<RowAsFound> found = lockRow(row, outcome, lookOnly);
    if (!found)
        return;
    const std::vector<size_t> restoring = stillAsStored(row, *found, outcome);
    if (restoring.empty() || lookOnly)
        return;
    std::vector<QString> parameters;
    std::vector<std::optional<QString>> held;
    held.reserve(restoring.size());
    for (const size_t i : restoring)
        held.push_back(found->now[i]);
    Statement statement(m_connection);
    statement.prepare(restoreUpdate(row, restoring, *found, m_columns, m_from, parameters));
    if (!statement.execute(parameters) || !statement.fetch()) {
        // Locked above, so only a trigger or a rule can have skipped it.
        outcome.result = RestoreResult::ChangedSince;
        outcome.changedColumns.clear();
        for (const RestoreField& field : row.fields)
            outcome.changedColumns << field.column;
        return;
    }
    JournaledRecord record = restoredRecord(row, m_keyColumns, restoring, held);
    record.rowOid = statement.text(1).value_or(QString());
    record.ctid = statement.text(2).value_or(QString());
    transaction = statement.text(3).value_or(QString());
    record.xmin = statement.text(4).value_or(QString());
    statement.closeCursor();
    journaled.push_back(std::move(record));
}

// The row on the version the journal names, else the one with its key, locked unless only looking;
// nullopt (and the outcome said) when neither is there.
std::optional<RowAsFound> RowRestore::lockRow(const RestoreRow& row, RestoreOutcome& outcome,
                                              bool lookOnly) const
{
    const QString select = rowLookup(row, m_columns, m_from);
    const QString lock = lookOnly ? QString() : QStringLiteral(" FOR UPDATE");
    std::optional<RowAsFound> found = findRow(
        m_connection,
        select +
            QStringLiteral("q.tableoid = CAST(? AS pg_catalog.oid) AND q.ctid = CAST(? AS pg_catalog.tid)") +
            lock,
        row, {row.rowOid, row.ctid});
    // Another version in that place is another row, or this one changed and moved since.
    if (found && found->xmin == row.xmin)
        return found;
    if (m_keyColumns.empty() || row.key.size() != m_keyColumns.size()) {
        outcome.result = m_keyColumns.empty() ? RestoreResult::Moved : RestoreResult::Missing;
        return std::nullopt;
    }
    QString where;
    for (size_t k = 0; k < m_keyColumns.size(); ++k) {
        if (k > 0)
            where += QStringLiteral(" AND ");
        where += QStringLiteral("q.") + quoteIdentifier(m_keyColumns[k]) + QStringLiteral(" = CAST(? AS ") +
                 column(m_keyColumns[k]).castType + u')';
    }
    found = findRow(m_connection, select + where + lock, row, row.key);
    if (!found)
        outcome.result = RestoreResult::Missing;
    return found;
}

Statement& RowRestore::prepared(const QString& sql)
{
    auto found = m_statements.find(sql);
    if (found == m_statements.end()) {
        // Not one kept for every set of fields the rows set: rows of a wide table that each set other
        // fields would keep as many statements, each as long as its fields, until the undo ends.
        if (m_statements.size() >= PreparedStatements)
            m_statements.erase(
                std::min_element(m_statements.begin(), m_statements.end(),
                                 [](const auto& a, const auto& b) { return a.second.used < b.second.used; }));
        Statement statement(m_connection);
        statement.prepare(sql);
        found = m_statements.emplace(sql, Prepared{std::move(statement)}).first;
    }
    found->second.used = ++m_uses;
    return found->second.statement;
}

// The rows still the very version the journal names, put back with one statement per set of fields. A row
// the statement does not settle (moved, changed since in every field, a null to put back) is left to
// restoreRow.
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
    for (const auto& [names, members] : groups) {
        Statement& update =
            prepared(versionsStatement(names, m_columns, m_from, lookOnly, members.size() == 1));
        if (update.execute(versionArrays(rows, members, static_cast<size_t>(names.size())))) {
            while (update.fetch()) {
                const long long ordinal = update.text(1).value_or(QString()).toLongLong();
                if (ordinal < 1 || ordinal > static_cast<long long>(members.size()))
                    continue;
                const size_t i = members[static_cast<size_t>(ordinal - 1)];
                journaled.push_back(settledVersion(update, rows[i], m_keyColumns, outcomes[i], transaction));
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
    Transaction undo(m_connection, QStringLiteral("Cannot open a transaction for the undo."));
    std::vector<JournaledRecord> journaled;
    QString transaction;
    std::vector<RestoreOutcome> outcomes = walk(rows, journaled, transaction, false);
    if (!journal || journaled.empty()) {
        undo.commit(UndoNotCommitted);
        return outcomes;
    }
    try {
        journal->storing(m_table, m_keyColumns, transaction, journaled);
    } catch (const std::exception& e) {
        undo.rollback();
        journal->stored(false);
        throw DbError::stoppingTheRun(RestoreJournalMessage.arg(QString::fromUtf8(e.what())));
    }
    try {
        undo.commit(UndoNotCommitted);
    } catch (...) {
        journal->stored(false);
        throw;
    }
    journal->stored(true);
    return outcomes;
}

} // namespace quarvel::db
