#include "db/RecordSet.h"

#include "db/Catalogue.h"
#include "db/RecordSetState.h"
#include "db/RowIdentity.h"

#include <algorithm>
#include <exception>
#include <utility>

namespace quarvel::db {

namespace {
const QString ClosedMessage = QStringLiteral("Operation is not allowed when the object is closed.");
const QString OpenMessage = QStringLiteral("Operation is not allowed when the object is open.");
const QString NoCurrentRecordMessage =
    QStringLiteral("Either BOF or EOF is True, or the current record has been deleted. Requested operation "
                   "requires a current record.");
const QString NoSuchFieldMessage =
    QStringLiteral("Item cannot be found in the collection corresponding to the requested name or ordinal.");
const QString ReadOnlyMessage = QStringLiteral("Current Recordset does not support updating. This may be a "
                                               "limitation of the provider, or of the selected locktype.");
const QString StaleRowMessage =
    QStringLiteral("Row cannot be located for updating. Some values may have been "
                   "changed since it was last read.");

const QString RewrittenMessage =
    QStringLiteral("The table %1 was rewritten by another session since it was read (VACUUM FULL, CLUSTER, "
                   "TRUNCATE or ALTER TABLE), so its rows can no longer be found as they were read. The rest "
                   "of the table was left unchanged.");
const QString ReplacedMessage =
    QStringLiteral("The table %1 was dropped, renamed or replaced by another session since it was read. The "
                   "rest of the table was left unchanged.");
const QString LockedMessage =
    QStringLiteral("%1\nThe table %2 is locked by another session, or another session waits to lock it "
                   "whole, so the rest of the table was left unchanged.");
const QString SkippedMessage =
    QStringLiteral("The row is still as it was read, but the server changed nothing and gave no error%1");

// Rows of a postgres_fdw foreign table that share their place (ctid) with another: there only when it
// reaches a partitioned table or an inheritance parent on the other server, where each table numbers its
// own places.
const QString SharedPlacesQuery = QStringLiteral(
    "SELECT (pg_catalog.count(*) - pg_catalog.count(DISTINCT q.ctid))::pg_catalog.text FROM ONLY %1 AS q");

QString required(Statement& statement, SQLUSMALLINT column)
{
    return statement.text(column).value_or(QString());
}

std::vector<ColumnInfo> readColumns(const std::shared_ptr<ConnectionState>& connection,
                                    const QString& relationOid)
{
    std::vector<ColumnInfo> columns;
    for (const CatalogueColumn& found : tableColumns(connection, relationOid)) {
        ColumnInfo column;
        takeInput(found, column);
        column.storedType = found.storedType;
        column.updatable = found.updatable;
        column.rounding = columnRounding(connection, found.typeOid, found.typeKind, column.typeModifier,
                                         column.castType, column.storedType);
        columns.push_back(std::move(column));
    }
    return columns;
}

// Every value in PostgreSQL's own text form: the driver's conversions of booleans, timestamps with
// time zone, infinite and BC dates, uuids and bytea would not read back as what the table holds. The row
// identity comes last, read only when a row is stored.
QString selectText(const std::vector<ColumnInfo>& columns, const QString& from)
{
    QString sql = QStringLiteral("SELECT ");
    for (const ColumnInfo& column : columns)
        sql += QStringLiteral("q.") + quoteIdentifier(column.name) + QStringLiteral("::pg_catalog.text, ");
    return sql + QStringLiteral("q.tableoid, q.ctid, q.xmin FROM ") + from + QStringLiteral(" AS q");
}

// The row as it was read: tableoid tells the partition or inheritance child, ctid the place, xmin the
// version, and the storage file that no rewrite has moved the rows since. Rows loaded by one statement
// share one version and a rewrite (VACUUM FULL, CLUSTER) moves them to other places, but it also
// gives the table a new storage file. While the record set is open its snapshot and lock keep any
// rewrite out and the place of every row read from being taken; the storage file guards a store made
// after the reading connection was lost.
const QString RowAsRead = QStringLiteral(
    " WHERE q.tableoid = CAST(? AS pg_catalog.oid) AND q.ctid = CAST(? AS pg_catalog.tid)"
    " AND q.xmin = CAST(? AS pg_catalog.xid) AND COALESCE(pg_catalog.pg_relation_filenode(q.tableoid), 0) = "
    "CAST(? AS pg_catalog.oid)");

// Where the stored version is, and which transaction stored it: for the journal.
const QString StoredVersion =
    QStringLiteral(" RETURNING q.tableoid::pg_catalog.text, q.ctid::pg_catalog.text, "
                   "pg_catalog.txid_current()::pg_catalog.text, "
                   "q.xmin::pg_catalog.text");

// What the server stored in each of the fields, as their text: a trigger may have made it something else
// than the value given, and the journal must hold what an undo will find there.
QString storedTexts(const RecordSetState& s, const std::vector<int>& fields)
{
    QString sql;
    for (int j : fields)
        sql += QStringLiteral(", q.") + quoteIdentifier(s.columns[static_cast<size_t>(j)].name) +
               QStringLiteral("::pg_catalog.text");
    return sql;
}

// One statement for one set of changed fields, on exactly the row version that was read.
QString updateText(const RecordSetState& s, const QString& target, const std::vector<int>& fields)
{
    QString sql = QStringLiteral("UPDATE ") + target + QStringLiteral(" AS q SET ");
    for (size_t i = 0; i < fields.size(); ++i) {
        const ColumnInfo& column = s.columns[static_cast<size_t>(fields[i])];
        if (i > 0)
            sql += QStringLiteral(", ");
        sql += quoteIdentifier(column.name) + QStringLiteral(" = CAST(? AS ") + column.castType + u')';
    }
    // A table with a DO INSTEAD rule refuses RETURNING; only the journal needs it.
    return sql + RowAsRead + (s.journal ? StoredVersion + storedTexts(s, fields) : QString());
}

// Reads the next row of the result into the current row, or marks the end.
void advance(RecordSetState& s)
{
    s.changed.clear();
    try {
        if (!s.rows->fetch()) {
            s.eof = true;
            std::fill(s.current.begin(), s.current.end(), std::nullopt);
            return;
        }
        for (size_t j = 0; j < s.current.size(); ++j)
            s.current[j] = s.rows->text(static_cast<SQLUSMALLINT>(j + 1));
        ++s.record;
        if (!s.keyFields.empty() || s.journal || s.asciiOnly)
            s.original = s.current;
    } catch (...) {
        // A row that cannot be read ends the walk rather than being offered again.
        s.eof = true;
        throw;
    }
}

// Refuses a text that the column would store as something else than it says. Throws DbError.
void refuseRounding(RecordSetState& s, int index, const QString& text)
{
    ColumnInfo& column = s.columns[static_cast<size_t>(index)];
    if (!mayRound(column.rounding, text))
        return;
    std::optional<QString> stored;
    try {
        auto check = s.roundings.find(index);
        if (check == s.roundings.end()) {
            Statement statement(s.connection);
            statement.prepare(roundingCheck(column.rounding));
            check = s.roundings.emplace(index, std::move(statement)).first;
        }
        check->second.execute({text});
        if (check->second.fetch())
            stored = check->second.text(1);
        check->second.closeCursor();
    } catch (const DbError& error) {
        if (!cannotCompare(error))
            throw;
        s.roundings.erase(index);
        column.rounding.kind = ColumnRounding::Kind::None;
        return;
    }
    if (stored)
        throw roundedError(column.rounding, text, *stored);
}

// The partitions of a partitioned table: each one's storage file, the ones a row may be stored through
// directly, and the columns that decide where a row belongs.
// postgres_fdw stores a row by "UPDATE ... WHERE ctid = $1" on the other server, which reaches every row
// at that place there: a foreign partition whose rows share places would have rows stored over others.
void refuseSharedPlaces(const std::shared_ptr<ConnectionState>& connection, const Table& partition)
{
    Statement shared(connection);
    shared.executeDirect(SharedPlacesQuery.arg(partition.qualifiedName()));
    const bool apart = shared.fetch() && shared.text(1) == QStringLiteral("0");
    shared.closeCursor();
    if (!apart)
        throw DbError(QStringLiteral("Rows of %1 share their places (ctid) on the other server: it is a "
                                     "partitioned table or an inheritance parent there, where postgres_fdw "
                                     "would store a row over every row at its place. The table is left as "
                                     "it is; change the partitions there instead.")
                          .arg(partition.displayName()),
                      QStringLiteral("55000"));
}

void readPartitions(const std::shared_ptr<ConnectionState>& connection, const QString& relationOid,
                    RecordSetState& s, bool writing)
{
    Statement parentOnly(connection);
    parentOnly.prepare(catalogueQuery(CatalogueQuery::ParentOnly));
    parentOnly.execute({relationOid});
    const bool throughParent = parentOnly.fetch() && required(parentOnly, 1) == u"true";
    parentOnly.closeCursor();

    Statement partitions(connection);
    partitions.prepare(catalogueQuery(CatalogueQuery::Partitions));
    partitions.execute({relationOid});
    std::vector<Table> remote;
    while (partitions.fetch()) {
        const QString oid = required(partitions, 1);
        s.fileNodes[oid] = required(partitions, 2);
        const QString schema = required(partitions, 3);
        const QString name = required(partitions, 4);
        if (!throughParent && required(partitions, 5) == u"true")
            s.partitionTargets[oid] = QStringLiteral("ONLY ") + Table{schema, name}.qualifiedName();
        if (required(partitions, 6) == u"true")
            remote.push_back({schema, name});
    }
    partitions.closeCursor();
    if (writing)
        for (const Table& partition : remote)
            refuseSharedPlaces(connection, partition);

    Statement keys(connection);
    keys.prepare(catalogueQuery(CatalogueQuery::PartitionKeys));
    keys.execute({relationOid});
    while (keys.fetch()) {
        const std::optional<QString> column = keys.text(1);
        if (column)
            s.partitionKeyColumns.insert(*column);
        else
            s.partitionKeyExpressions = true;
    }
    keys.closeCursor();
}

// The fields of the table's primary key, in key order; none when it has no primary key.
std::vector<int> readKeyFields(const std::shared_ptr<ConnectionState>& connection, const QString& relationOid,
                               const std::vector<ColumnInfo>& columns)
{
    std::vector<int> fields;
    for (const QString& name : primaryKeyColumns(connection, relationOid))
        for (size_t j = 0; j < columns.size(); ++j)
            if (columns[j].name == name)
                fields.push_back(static_cast<int>(j));
    return fields;
}

void closeReader(RecordSetState& s) noexcept
{
    s.reading.reset();
    s.reader.reset();
}

// The reading connection: a cursor fetched a thousand rows at a time, inside one read-only
// transaction whose snapshot also gives the record count. The snapshot hides the new row versions
// that the stores make on the other connection, so no row is walked twice.
void openReader(RecordSetState& s, const QString& connectionString, const QString& from)
{
    s.reader.emplace();
    s.reader->open(connectionString + QStringLiteral(";UseDeclareFetch=1;Fetch=1000"));
    const std::shared_ptr<ConnectionState> reader = s.reader->state().shared_from_this();
    Statement(reader).executeDirect(QStringLiteral(
        "SET SESSION CHARACTERISTICS AS TRANSACTION ISOLATION LEVEL REPEATABLE READ, READ ONLY"));
    Statement(reader).executeDirect(
        QStringLiteral("SET lock_timeout = %1").arg(std::max(s.lockTimeoutMs, 1)));
    s.reading.emplace(reader, QStringLiteral("Cannot open a transaction for reading the table."));
    Statement count(reader);
    count.executeDirect(QStringLiteral("SELECT pg_catalog.count(*)::pg_catalog.text FROM ") + from);
    s.count = count.fetch() ? count.text(1).value_or(QString()).toLongLong() : 0;
    count.closeCursor();
}

// The partition to store a row through, or the table read when the row may have to move to another
// partition or the parent's own rules must apply.
QString storeTarget(const RecordSetState& s, const QString& tableOid, const std::vector<int>& fields)
{
    if (s.partitionKeyExpressions)
        return s.updateTarget;
    const auto leaf = s.partitionTargets.find(tableOid);
    if (leaf == s.partitionTargets.end())
        return s.updateTarget;
    for (int j : fields)
        if (s.partitionKeyColumns.count(s.columns[static_cast<size_t>(j)].name))
            return s.updateTarget;
    return leaf->second;
}

// Why a row could not be stored, when the reason is the table rather than the row: the table was
// rewritten (its rows moved) or replaced since it was read, or another session holds it locked.
// Throws a DbError that leaves the table; returns when the table is as it was read.
void refuseChangedTable(RecordSetState& s, const QString& tableOid, const DbError* failure)
{
    const QString name = quoteIdentifier(s.table.displayName());
    Statement now(s.connection);
    now.prepare(catalogueQuery(CatalogueQuery::TableNow));
    now.execute({s.table.schema, s.table.name, tableOid});
    if (!now.fetch())
        return;
    const std::optional<QString> relation = now.text(1);
    const QString fileNode = now.text(2).value_or(QString());
    now.closeCursor();
    if (relation != s.relationOid)
        throw DbError::leavingTheTable(ReplacedMessage.arg(name), QStringLiteral("55000"));
    const auto read = s.fileNodes.find(tableOid);
    if (read == s.fileNodes.end() || read->second != fileNode)
        throw DbError::leavingTheTable(RewrittenMessage.arg(name), QStringLiteral("55000"));
    if (failure && failure->sqlState() == u"55P03") {
        // A lock on the row is that row's; a lock on the whole table, held or waited for (a waiting
        // VACUUM FULL or ALTER TABLE queues every later store behind it), would hold every row alike.
        Statement locks(s.connection);
        locks.prepare(catalogueQuery(CatalogueQuery::TableLocks));
        locks.execute({s.relationOid, tableOid});
        const bool tableLocked = locks.fetch();
        locks.closeCursor();
        if (tableLocked)
            throw lockedTable(*failure, s.table);
    }
}

// An UPDATE that touched nothing, on a table as it was read: either the row changed since it was read
// (the classic refusal), or it is still there and something on the server skipped the update.
DbError untouchedRow(RecordSetState& s, const QString& target, const std::vector<QString>& identity)
{
    Statement still(s.connection);
    still.prepare(QStringLiteral("SELECT 1 FROM ") + target + QStringLiteral(" AS q") + RowAsRead);
    still.execute(identity);
    const bool there = still.fetch();
    still.closeCursor();
    if (!there)
        return DbError(StaleRowMessage);
    return skippedUpdate(s.connection, s.relationOid, identity.front());
}

} // namespace

namespace {
DbError skippedUpdateOn(const std::shared_ptr<ConnectionState>& connection, const QString& relationOid,
                        const QString& tableOid)
{
    Statement causes(connection);
    causes.prepare(catalogueQuery(CatalogueQuery::SkipCauses));
    causes.execute({relationOid, tableOid, relationOid, tableOid, relationOid, tableOid});
    QStringList found;
    while (causes.fetch()) {
        const QString kind = causes.text(1).value_or(QString());
        const QString what = causes.text(2).value_or(QString());
        if (kind == u"trigger")
            found
                << QStringLiteral("a BEFORE UPDATE trigger (%1) returned no row").arg(quoteIdentifier(what));
        else if (kind == u"rule")
            found << QStringLiteral("a DO INSTEAD rule (%1) replaced the update").arg(quoteIdentifier(what));
        else
            found << QStringLiteral("a row-level security policy does not let this user update the row");
    }
    causes.closeCursor();
    found.removeDuplicates();
    QString why = QStringLiteral(".");
    if (found.size() == 1)
        why = QStringLiteral(": ") + found.front() + u'.';
    else if (found.size() > 1)
        why = QStringLiteral(". One of these did it: ") + found.join(QStringLiteral("; ")) + u'.';
    return DbError(SkippedMessage.arg(why), QStringLiteral("02000"));
}
} // namespace

DbError skippedUpdate(const std::shared_ptr<ConnectionState>& connection, const QString& relationOid,
                      const QString& tableOid)
{
    return skippedUpdateOn(connection, relationOid, tableOid);
}

DbError lockedTable(const DbError& failure, const Table& table)
{
    return DbError::leavingTheTable(
        LockedMessage.arg(failure.message(), quoteIdentifier(table.displayName())), failure.sqlState());
}

const QString& staleRowMessage()
{
    return StaleRowMessage;
}

QString journalStoppedMessage(const QString& why)
{
    return QStringLiteral("The journal of old values could not be written (%1). Nothing more is stored: the "
                          "run stops here, and what its journal holds can still be undone.")
        .arg(why);
}

namespace {

// With a journal, a store is a transaction of its own; without one, each statement commits at once.
std::optional<Transaction> beginStore(const RecordSetState& s)
{
    if (!s.journal)
        return std::nullopt;
    return Transaction(s.connection, QStringLiteral("Cannot open a transaction for storing."));
}

std::vector<QString> keyColumnNames(const RecordSetState& s)
{
    std::vector<QString> names;
    for (int j : s.keyFields)
        names.push_back(s.columns[static_cast<size_t>(j)].name);
    return names;
}

// The stored version as the RETURNING of a store gives it from column first on: table, place, transaction,
// version, then the text of each field as stored.
JournaledRecord journaledRecord(const RecordSetState& s, const std::vector<int>& fields,
                                const PendingRow& row, Statement& stored, SQLUSMALLINT first,
                                QString& transaction)
{
    JournaledRecord record;
    record.walkPlace = row.record; // the journal numbers it in the order the run stores
    for (int j : fields)
        record.columns.push_back(s.columns[static_cast<size_t>(j)].name);
    record.oldValues = row.oldValues;
    record.newValues = row.values;
    record.key = row.key;
    record.rowOid = stored.text(first).value_or(QString());
    record.ctid = stored.text(first + 1).value_or(QString());
    transaction = stored.text(first + 2).value_or(QString());
    record.xmin = stored.text(first + 3).value_or(QString());
    for (size_t k = 0; k < record.newValues.size(); ++k)
        record.newValues[k] = stored.text(SQLUSMALLINT(first + 4 + k)).value_or(QString());
    return record;
}

// Puts what the open transaction stored on record, then commits it. Throws DbError: one that stops the
// run when the journal could not take it, the server's when the commit failed; the transaction is then
// rolled back and nothing of it is stored.
void commitStore(RecordSetState& s, std::optional<Transaction>& store, const QString& transaction,
                 const std::vector<JournaledRecord>& records)
{
    if (!store || records.empty())
        return; // an uncommitted store rolls back
    try {
        s.journal->storing(s.table, keyColumnNames(s), transaction, records);
    } catch (const std::exception& e) {
        store->rollback();
        s.journal->stored(false);
        throw DbError::stoppingTheRun(journalStoppedMessage(QString::fromUtf8(e.what())));
    }
    try {
        store->commit();
    } catch (...) {
        s.journal->stored(false);
        throw;
    }
    s.journal->stored(true);
}

// Stores one record's changes. Throws DbError: the server's, the stale-row refusal, or one that
// leaves the table.
void storeRow(RecordSetState& s, const StoreKey& key, const PendingRow& row)
{
    const auto& [target, fields] = key;
    const QString& tableOid = row.identity.front();
    auto update = s.updates.find(key);
    bool touched = false;
    try {
        if (update == s.updates.end()) {
            Statement statement(s.connection);
            statement.prepare(updateText(s, target, fields));
            update = s.updates.emplace(key, std::move(statement)).first;
        }
        std::vector<QString> parameters = row.values;
        parameters.insert(parameters.end(), row.identity.begin(), row.identity.end());
        ++s.counts.rowsAlone;
        Statement& statement = update->second;
        std::optional<Transaction> store = beginStore(s);
        const bool ran = statement.execute(parameters);
        std::vector<JournaledRecord> journaled;
        QString transaction;
        if (!s.journal) {
            touched = ran && statement.rowCount() > 0;
        } else if (ran && statement.fetch()) {
            touched = true;
            journaled.push_back(journaledRecord(s, fields, row, statement, 1, transaction));
        }
        statement.closeCursor();
        if (touched)
            commitStore(s, store, transaction, journaled);
    } catch (const DbError& error) {
        if (error.ruinsTheTable())
            throw;
        // A failure that comes from the table having changed under the run says so, once.
        try {
            refuseChangedTable(s, tableOid, &error);
        } catch (const DbError& changed) {
            if (changed.ruinsTheTable())
                throw;
        }
        throw;
    }
    if (touched)
        return;
    refuseChangedTable(s, tableOid, nullptr);
    throw untouchedRow(s, target, row.identity);
}

constexpr size_t IdentityParts = 4; // tableoid, ctid, xmin, storage file

// The most fields one batch statement sets; a record changing more is stored alone.
constexpr size_t MostBatchFields = 200;

// One statement for a batch of rows that change the same fields: the rows come in as arrays, each
// matched on exactly the row version that was read, and the ordinal of every row stored comes back.
QString batchUpdateText(const RecordSetState& s, const QString& target, const std::vector<int>& fields)
{
    QString sql = QStringLiteral("UPDATE ") + target + QStringLiteral(" AS q SET ");
    QString arrays;
    QString names;
    for (size_t i = 0; i < fields.size(); ++i) {
        const ColumnInfo& column = s.columns[static_cast<size_t>(fields[i])];
        const QString name = QStringLiteral("p%1").arg(i + 1);
        if (i > 0)
            sql += QStringLiteral(", ");
        sql += quoteIdentifier(column.name) + QStringLiteral(" = CAST(v.") + name + QStringLiteral(" AS ") +
               column.castType + u')';
        arrays += QStringLiteral("pg_catalog.unnest(CAST(? AS pg_catalog.text[])), ");
        names += name + QStringLiteral(", ");
    }
    // ROWS FROM rather than unnest's many-array form, which only exists unqualified.
    return sql + QStringLiteral(" FROM ROWS FROM (") + arrays +
           QStringLiteral("pg_catalog.unnest(CAST(? AS pg_catalog.oid[])), "
                          "pg_catalog.unnest(CAST(? AS pg_catalog.tid[])), "
                          "pg_catalog.unnest(CAST(? AS pg_catalog.xid[])), "
                          "pg_catalog.unnest(CAST(? AS pg_catalog.oid[]))) WITH ORDINALITY AS v(") +
           names +
           QStringLiteral("o, ct, xm, fn, i) WHERE q.tableoid = v.o AND q.ctid = v.ct AND q.xmin = v.xm "
                          "AND COALESCE(pg_catalog.pg_relation_filenode(q.tableoid), 0) = v.fn "
                          "RETURNING v.i::pg_catalog.text, q.tableoid::pg_catalog.text, "
                          "q.ctid::pg_catalog.text, pg_catalog.txid_current()::pg_catalog.text, "
                          "q.xmin::pg_catalog.text") +
           storedTexts(s, fields);
}

void dropPending(RecordSetState& s)
{
    s.batches.clear();
}

void recordFailure(RecordSetState& s, const PendingRow& row, const DbError& error)
{
    s.failures.push_back(StoreFailure{row.record, row.row, error});
    if (error.ruinsTheTable())
        dropPending(s);
}

// Stores rows one by one, each failure told for its own record.
void storeRows(RecordSetState& s, const StoreKey& key, const std::vector<PendingRow>& rows)
{
    for (const PendingRow& row : rows) {
        try {
            storeRow(s, key, row);
        } catch (const DbError& error) {
            recordFailure(s, row, error);
            if (error.ruinsTheTable())
                return;
        }
    }
}

// The batch statement's parameters: the values of each changed field, then each part of the rows'
// identity, as arrays.
std::vector<QString> batchParameters(size_t fieldCount, const std::vector<PendingRow>& rows)
{
    std::vector<std::vector<QString>> columns(fieldCount + IdentityParts);
    for (auto& column : columns)
        column.reserve(rows.size());
    for (const PendingRow& row : rows) {
        for (size_t j = 0; j < fieldCount; ++j)
            columns[j].push_back(row.values[j]);
        for (size_t k = 0; k < IdentityParts; ++k)
            columns[fieldCount + k].push_back(row.identity[k]);
    }
    std::vector<QString> parameters;
    parameters.reserve(columns.size());
    for (const auto& column : columns)
        parameters.push_back(arrayLiteral(column));
    return parameters;
}

// Tells why each row of a batch that its statement did not store was left: stale, skipped, or the table
// changed (which ends the table).
void explainUnstored(RecordSetState& s, const StoreKey& key, const std::vector<PendingRow>& rows,
                     const std::vector<bool>& stored)
{
    for (size_t i = 0; i < rows.size(); ++i) {
        if (stored[i])
            continue;
        try {
            refuseChangedTable(s, rows[i].identity.front(), nullptr);
            recordFailure(s, rows[i], untouchedRow(s, key.first, rows[i].identity));
        } catch (const DbError& error) {
            recordFailure(s, rows[i], error);
            if (error.ruinsTheTable())
                return;
        }
    }
}

// Stores a batch in one statement. A row the statement did not store is explained on its own (stale,
// skipped, the table changed); a statement the server refuses (a constraint, a type, a length) is run
// again row by row, so that each failure is told for its own record and the others are stored.
void storeBatch(RecordSetState& s, const StoreKey& key, const std::vector<PendingRow>& rows)
{
    if (rows.size() == 1 || key.second.size() > MostBatchFields) {
        storeRows(s, key, rows);
        return;
    }
    const std::vector<QString> parameters = batchParameters(key.second.size(), rows);
    std::vector<bool> stored(rows.size(), false);
    std::vector<JournaledRecord> journaled;
    QString transaction;
    try {
        auto update = s.batchUpdates.find(key);
        if (update == s.batchUpdates.end()) {
            Statement statement(s.connection);
            statement.prepare(batchUpdateText(s, key.first, key.second));
            update = s.batchUpdates.emplace(key, std::move(statement)).first;
        }
        Statement& statement = update->second;
        ++s.counts.batches;
        std::optional<Transaction> store = beginStore(s);
        if (statement.execute(parameters)) {
            while (statement.fetch()) {
                const long long ordinal = statement.text(1).value_or(QString()).toLongLong();
                if (ordinal < 1 || ordinal > static_cast<long long>(rows.size()))
                    continue;
                const auto i = static_cast<size_t>(ordinal - 1);
                stored[i] = true;
                if (!s.journal)
                    continue;
                journaled.push_back(journaledRecord(s, key.second, rows[i], statement, 2, transaction));
            }
        }
        statement.closeCursor();
        commitStore(s, store, transaction, journaled);
    } catch (const DbError& error) {
        if (error.ruinsTheTable()) {
            recordFailure(s, rows.front(), error);
            return;
        }
        // A table rewritten, replaced or locked whole would fail every row again, each after a wait.
        try {
            refuseChangedTable(s, rows.front().identity.front(), &error);
        } catch (const DbError& changed) {
            if (changed.ruinsTheTable()) {
                recordFailure(s, rows.front(), changed);
                return;
            }
        }
        storeRows(s, key, rows);
        return;
    }
    explainUnstored(s, key, rows, stored);
}

// Rows with values this large go on their own: a batch of them would be built in memory again.
constexpr qsizetype MostBatchBytes = qsizetype(4) * 1024 * 1024;

// The key must be the caller's own, not the map's: the batch, and the map's copy of it, go before it is
// stored.
void flushBatch(RecordSetState& s, const StoreKey& key)
{
    const auto batch = s.batches.find(key);
    if (batch == s.batches.end())
        return;
    const std::vector<PendingRow> rows = std::move(batch->second.rows);
    s.batches.erase(batch);
    storeBatch(s, key, rows);
}

void flushAll(RecordSetState& s)
{
    while (!s.batches.empty()) {
        const StoreKey key = s.batches.begin()->first; // the batch, and its key, go when it is stored
        flushBatch(s, key);
    }
}

// How the user is told which record a failure belongs to: where it was read, and its key as read.
QString rowName(RecordSetState& s)
{
    RowIdentity row{s.table.displayName(), {}, {}, {}};
    // Only a table's rows carry their identity after the fields; one that cannot be read leaves the
    // name to the key alone rather than failing the report it is for.
    if (s.rows && !s.columns.empty() && !s.eof) {
        try {
            row.place = s.rows->text(static_cast<SQLUSMALLINT>(s.columns.size() + 2)).value_or(QString());
        } catch (const DbError&) {
        }
    }
    for (int j : s.keyFields) {
        row.keyColumns.push_back(s.columns[static_cast<size_t>(j)].name);
        row.key.push_back(s.original[static_cast<size_t>(j)].value_or(QStringLiteral("NULL")));
    }
    return row.text();
}

// The current record's changes, with the row identity read after its fields.
PendingRow pendingRow(RecordSetState& s, const std::vector<int>& fields)
{
    PendingRow row;
    row.record = s.record;
    for (int j : fields) {
        row.values.push_back(s.current[static_cast<size_t>(j)].value_or(QString()));
        row.bytes += row.values.back().size() * qsizetype(sizeof(QChar));
    }
    const auto first = static_cast<SQLUSMALLINT>(s.columns.size() + 1);
    const QString tableOid = s.rows->text(first).value_or(QString());
    const auto fileNode = s.fileNodes.find(tableOid);
    row.identity = {tableOid, s.rows->text(first + 1).value_or(QString()),
                    s.rows->text(first + 2).value_or(QString()),
                    // A partition that was not there when the table was read: its rows were not read.
                    fileNode == s.fileNodes.end() ? QStringLiteral("0") : fileNode->second};
    row.row = rowName(s);
    if (s.journal) {
        for (int j : fields)
            row.oldValues.push_back(s.original[static_cast<size_t>(j)]);
        for (int j : s.keyFields)
            row.key.push_back(
                (s.changed.count(j) ? s.current : s.original)[static_cast<size_t>(j)].value_or(QString()));
    }
    return row;
}

// Stores the current record's changes now (one at a time) or adds them to their batch. Throws
// DbError only when storing now.
void store(RecordSetState& s)
{
    const std::vector<int> fields(s.changed.begin(), s.changed.end());
    PendingRow row = pendingRow(s, fields);
    const StoreKey key{storeTarget(s, row.identity.front(), fields), fields};
    if (s.batchRows <= 1 || row.bytes > MostBatchBytes) {
        if (s.batchRows <= 1) {
            storeRow(s, key, row);
            return;
        }
        try {
            storeRow(s, key, row);
        } catch (const DbError& error) {
            recordFailure(s, row, error);
        }
        return;
    }
    Batch& batch = s.batches[key];
    batch.bytes += row.bytes;
    batch.rows.push_back(std::move(row));
    if (static_cast<int>(batch.rows.size()) >= s.batchRows || batch.bytes > MostBatchBytes)
        flushBatch(s, key);
}
// Throws what the column says of the text in field index: a generated column, a text the type does not
// take, a value it would round or cut. True when the column takes any text and nothing was asked.
bool checkValue(RecordSetState& s, int index, const QString& text)
{
    ColumnInfo& column = s.columns[static_cast<size_t>(index)];
    if (const std::optional<DbError> fixed =
            fixedColumnRefusal(column.name, column.generated, column.identityAlways))
        throw *fixed;

    // Against the record as read, so that the preview's chained texts and the run's are judged alike.
    if (s.asciiOnly)
        refuseUnheldInAscii(s.original[static_cast<size_t>(index)], text);
    if (column.takesAnyText) {
        refuseNul(text);
        return true;
    }
    auto check = s.checks.find(index);
    if (check == s.checks.end()) {
        Statement statement(s.connection);
        statement.prepare(inputCheckSql(column));
        check = s.checks.emplace(index, std::move(statement)).first;
    }
    try {
        check->second.execute(inputCheckParameters(column, text));
    } catch (const DbError& error) {
        // A role that may not call the type's input function (or a type without a callable one) gets
        // the plain cast instead: it checks the type now, and the assignment checks the modifier at the
        // move, still refusing rather than cutting.
        if (error.sqlState() != u"42501" && error.sqlState() != u"42883")
            throw;
        Statement statement(s.connection);
        statement.prepare(QStringLiteral("SELECT CAST(? AS ") + column.castType +
                          QStringLiteral(") IS NULL"));
        column.inputArguments = 1;
        check->second = std::move(statement);
        check->second.execute({text});
    }
    check->second.closeCursor();
    refuseRounding(s, index, text);
    return false;
}

// What the table is now: its columns, where its rows are stored, its key and which texts its columns take
// without a check. Throws DbError.
std::vector<ColumnInfo> readShape(RecordSetState& s, const std::shared_ptr<ConnectionState>& owner,
                                  const CatalogueRelation& relation, bool writing)
{
    std::vector<ColumnInfo> columns = readColumns(owner, relation.oid);
    // Where the rows are stored now is read before the rows: a rewrite in between makes every store
    // refuse rather than any store land on a moved row.
    s.fileNodes.clear();
    s.partitionTargets.clear();
    s.partitionKeyColumns.clear();
    s.partitionKeyExpressions = false;
    if (relation.kind == u"r")
        s.fileNodes[relation.oid] = relation.fileNode;
    else
        readPartitions(owner, relation.oid, s, writing);
    s.keyFields = readKeyFields(owner, relation.oid, columns);
    // text and unbounded varchar take any text that reaches a server storing UTF-8 (or bytes as they
    // come): nothing to check before the store, which still refuses what the column does not take.
    const QString encoding = serverEncoding(owner);
    const bool anyText = encoding == u"UTF8" || encoding == u"SQL_ASCII";
    s.asciiOnly = encoding == u"SQL_ASCII";
    for (ColumnInfo& column : columns)
        column.takesAnyText = anyText && column.typeModifier == u"-1" &&
                              column.rounding.kind == ColumnRounding::Kind::None &&
                              (column.castType == u"\"pg_catalog\".\"text\"" ||
                               column.castType == u"\"pg_catalog\".\"varchar\"");
    return columns;
}

// Opens the reading connection and runs the walk's query on it. Throws DbError, leaving nothing open.
void startReading(RecordSetState& s, const QString& connectionString, const QString& from, const QString& sql)
{
    try {
        openReader(s, connectionString, from);
        s.rows.emplace(s.reader->state().shared_from_this());
        s.rows->executeDirect(sql);
    } catch (...) {
        s.rows.reset();
        closeReader(s);
        throw;
    }
}

} // namespace

void RecordSetState::release() noexcept
{
    checks.clear();
    roundings.clear();
    updates.clear();
    batchUpdates.clear();
    batches.clear();
    failures.clear();
    keyFields.clear();
    original.clear();
    record = 0;
    rows.reset();
    closeReader(*this);
    // Detached only once its statements are gone; the connection may go with the last reference.
    if (const std::shared_ptr<ConnectionState> owner = std::exchange(connection, nullptr))
        owner->detach(this);
    open = false;
    updatable = false;
    eof = true;
    count = 0;
    source.clear();
    names.clear();
    current.clear();
    updateTarget.clear();
    columns.clear();
    changed.clear();
    table = Table();
    relationOid.clear();
    fileNodes.clear();
    partitionTargets.clear();
    partitionKeyColumns.clear();
    partitionKeyExpressions = false;
}

std::shared_ptr<RecordSetState> openQuery(ConnectionState& connection, const QString& sql)
{
    auto s = std::make_shared<RecordSetState>();
    s->rows.emplace(connection.shared_from_this());
    s->rows->executeDirect(sql);
    const int columns = s->rows->columnCount();
    for (int j = 1; j <= columns; ++j)
        s->names.append(s->rows->columnName(static_cast<SQLUSMALLINT>(j)));
    s->count = columns > 0 ? s->rows->rowCount() : 0;
    s->current.assign(static_cast<size_t>(columns), std::nullopt);
    s->source = sql;
    connection.attach(s);
    s->open = true;
    s->eof = false;
    if (columns > 0)
        advance(*s);
    else
        s->eof = true;
    return s;
}

void closeState(RecordSetState& state) noexcept
{
    state.release();
}

RecordSet::RecordSet() = default;

RecordSet::RecordSet(std::shared_ptr<RecordSetState> state) : StateOwner(std::move(state)) {}

void RecordSet::setLockTimeout(int milliseconds)
{
    ownState().lockTimeoutMs = milliseconds;
}

void RecordSet::open(const Table& table, Connection& connection, LockType lockType)
{
    RecordSetState& s = ownState();
    if (s.open)
        throw DbError(OpenMessage);
    const std::shared_ptr<ConnectionState> owner = connection.state().shared_from_this();
    const CatalogueRelation relation = findRelation(owner, table);
    const QString from = rowSource(relation, table);

    // A lock held by another session (a table locked whole, a row held by an open transaction) ends
    // the wait after a while with the server's message, rather than holding the window for ever.
    Statement(owner).executeDirect(QStringLiteral("SET lock_timeout = %1").arg(std::max(s.lockTimeoutMs, 1)));
    std::vector<ColumnInfo> columns = readShape(s, owner, relation, lockType != LockType::ReadOnly);
    const QString sql = selectText(columns, from);
    startReading(s, owner->connectionString, from, sql);
    s.record = 0;
    s.counts = {};
    s.failures.clear();
    s.table = table;
    s.relationOid = relation.oid;
    s.source = sql;
    for (const ColumnInfo& column : columns)
        s.names.append(column.name);
    s.current.assign(columns.size(), std::nullopt);
    s.columns = std::move(columns);
    s.updateTarget = from;
    s.updatable = lockType != LockType::ReadOnly;
    owner->attach(m_state);
    s.open = true;
    s.eof = false;
    advance(s);
}

bool RecordSet::isOpen() const
{
    return m_state && m_state->open;
}

bool RecordSet::isEOF() const
{
    // A closed record set has no current record either, so a walk over it ends at once.
    return !isOpen() || m_state->eof;
}

long long RecordSet::recordCount() const
{
    if (!isOpen())
        throw DbError(ClosedMessage);
    return m_state->count;
}

int RecordSet::fieldCount() const
{
    if (!isOpen())
        throw DbError(ClosedMessage);
    return static_cast<int>(m_state->names.size());
}

QString RecordSet::fieldName(int index) const
{
    if (!isOpen())
        throw DbError(ClosedMessage);
    if (index < 0 || index >= m_state->names.size())
        throw DbError(NoSuchFieldMessage);
    return m_state->names.at(index);
}

bool RecordSet::roleMayUpdate(int index) const
{
    if (!isOpen())
        throw DbError(ClosedMessage);
    if (index < 0 || index >= m_state->names.size())
        throw DbError(NoSuchFieldMessage);
    const auto at = static_cast<size_t>(index);
    return at < m_state->columns.size() && m_state->columns[at].updatable;
}

std::optional<QString> RecordSet::value(int index) const
{
    if (!isOpen())
        throw DbError(ClosedMessage);
    if (index < 0 || index >= m_state->names.size())
        throw DbError(NoSuchFieldMessage);
    if (m_state->eof)
        throw DbError(NoCurrentRecordMessage);
    return m_state->current[static_cast<size_t>(index)];
}

void RecordSet::setValue(int index, const QString& text)
{
    if (!isOpen())
        throw DbError(ClosedMessage);
    RecordSetState& s = *m_state;
    if (index < 0 || index >= s.names.size())
        throw DbError(NoSuchFieldMessage);
    if (s.eof)
        throw DbError(NoCurrentRecordMessage);
    if (!s.updatable)
        throw DbError(ReadOnlyMessage);
    checkValue(s, index, text);
    s.current[static_cast<size_t>(index)] = text;
    s.changed.insert(index);
}

std::optional<DbError> RecordSet::refusal(int index, const QString& text)
{
    if (!isOpen())
        throw DbError(ClosedMessage);
    RecordSetState& s = *m_state;
    if (index < 0 || index >= s.names.size())
        throw DbError(NoSuchFieldMessage);
    try {
        checkValue(s, index, text);
    } catch (const DbError& error) {
        // A session or connection that fails is no answer about the value: it goes to the caller.
        if (error.ruinsTheTable())
            throw;
        return error;
    }
    return std::nullopt;
}

QString RecordSet::recordName() const
{
    if (!isOpen())
        throw DbError(ClosedMessage);
    return rowName(*m_state);
}

void RecordSet::moveNext()
{
    if (!isOpen())
        throw DbError(ClosedMessage);
    RecordSetState& s = *m_state;
    if (s.eof)
        throw DbError(NoCurrentRecordMessage);
    std::exception_ptr failure;
    if (!s.changed.empty()) {
        try {
            store(s);
        } catch (...) {
            failure = std::current_exception();
        }
    }
    // Advance even when storing failed, dropping the record's changes, so that no caller can be held
    // on one record. When both fail (a lost connection: the driver then refuses even its cached rows),
    // the failure to store is the one to tell; the record set is then at its end.
    try {
        advance(s);
    } catch (...) {
        if (!failure)
            throw;
    }
    if (failure)
        std::rethrow_exception(failure);
}

void RecordSet::setJournal(StoreJournal* journal)
{
    ownState().journal = journal;
}

void RecordSet::setBatchSize(int rows)
{
    ownState().batchRows = std::max(rows, 1);
}

void RecordSet::flush()
{
    if (!isOpen())
        return;
    flushAll(*m_state);
}

std::vector<StoreFailure> RecordSet::takeFailures()
{
    if (!m_state)
        return {};
    return std::exchange(m_state->failures, {});
}

RecordSet::StoreCounts RecordSet::storeCounts() const
{
    return m_state ? m_state->counts : StoreCounts();
}

void RecordSet::close() noexcept
{
    closeOwned();
}

QString RecordSet::source() const
{
    return isOpen() ? m_state->source : QString();
}

} // namespace quarvel::db
