#include "db/RecordSet.h"

#include "db/RecordSetState.h"

#include <algorithm>
#include <exception>

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

// The relation named by schema and name, looked up by value so that no name is pasted into SQL.
const QString RelationQuery =
    QStringLiteral("SELECT c.oid::pg_catalog.text, c.relkind::pg_catalog.text FROM pg_catalog.pg_class c "
                   "JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
                   "WHERE n.nspname = CAST(? AS pg_catalog.name) AND c.relname = CAST(? AS pg_catalog.name)");

// The columns of "SELECT *" on the relation, in order, with what a set value needs.
const QString ColumnQuery = QStringLiteral(
    "SELECT a.attname::pg_catalog.text, tn.nspname::pg_catalog.text, t.typname::pg_catalog.text, "
    "pn.nspname::pg_catalog.text, p.proname::pg_catalog.text, p.pronargs::pg_catalog.text, "
    "(CASE WHEN t.typelem <> 0 THEN t.typelem ELSE t.oid END)::pg_catalog.text, "
    "a.atttypmod::pg_catalog.text, a.attgenerated::pg_catalog.text, a.attidentity::pg_catalog.text "
    "FROM pg_catalog.pg_attribute a "
    "JOIN pg_catalog.pg_type t ON t.oid = a.atttypid "
    "JOIN pg_catalog.pg_namespace tn ON tn.oid = t.typnamespace "
    "JOIN pg_catalog.pg_proc p ON p.oid = t.typinput "
    "JOIN pg_catalog.pg_namespace pn ON pn.oid = p.pronamespace "
    "WHERE a.attrelid = CAST(? AS pg_catalog.oid) AND a.attnum > 0 AND NOT a.attisdropped "
    "ORDER BY a.attnum");

QString qualified(const QString& schema, const QString& name)
{
    return quoteIdentifier(schema) + u'.' + quoteIdentifier(name);
}

QString required(Statement& statement, SQLUSMALLINT column)
{
    return statement.text(column).value_or(QString());
}

std::vector<ColumnInfo> readColumns(SQLHDBC connection, const QString& relationOid)
{
    Statement query(connection);
    query.prepare(ColumnQuery);
    query.execute({relationOid});
    std::vector<ColumnInfo> columns;
    while (query.fetch()) {
        ColumnInfo column;
        column.name = required(query, 1);
        const QString typeSchema = required(query, 2);
        const QString typeName = required(query, 3);
        column.castType = qualified(typeSchema, typeName);
        column.inputFunction = qualified(required(query, 4), required(query, 5));
        column.inputArguments = required(query, 6).toInt();
        column.inputTypeParameter = required(query, 7);
        column.typeModifier = required(query, 8);
        column.generated = !required(query, 9).isEmpty();
        column.identityAlways = required(query, 10) == u"a";
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
        sql += quoteIdentifier(column.name) + QStringLiteral("::pg_catalog.text, ");
    return sql + QStringLiteral("tableoid, ctid, xmin FROM ") + from;
}

// One statement for one set of changed fields, on exactly the row version that was read: tableoid
// tells the partition or inheritance child, ctid the place, xmin the version.
QString updateText(const RecordSetState& s, const std::vector<int>& fields)
{
    QString sql = QStringLiteral("UPDATE ") + s.updateTarget + QStringLiteral(" SET ");
    for (size_t i = 0; i < fields.size(); ++i) {
        const ColumnInfo& column = s.columns[static_cast<size_t>(fields[i])];
        if (i > 0)
            sql += QStringLiteral(", ");
        sql += quoteIdentifier(column.name) + QStringLiteral(" = CAST(? AS ") + column.castType + u')';
    }
    return sql +
           QStringLiteral(" WHERE tableoid = CAST(? AS pg_catalog.oid) AND ctid = CAST(? AS pg_catalog.tid)"
                          " AND xmin = CAST(? AS pg_catalog.xid)");
}

// Runs the column's input function on the text with the column's modifier: it raises the server's
// own error for a text the type does not take, and for one too long for varchar(n), char(n) or bit(n)
// (where a cast would cut silently). Nothing is written.
QString checkText(const ColumnInfo& column)
{
    QString sql =
        QStringLiteral("SELECT ") + column.inputFunction + QStringLiteral("(CAST(? AS pg_catalog.cstring)");
    if (column.inputArguments >= 2)
        sql += QStringLiteral(", CAST(? AS pg_catalog.oid)");
    if (column.inputArguments >= 3)
        sql += QStringLiteral(", CAST(? AS pg_catalog.int4)");
    return sql + QStringLiteral(") IS NULL");
}

std::vector<QString> checkParameters(const ColumnInfo& column, const QString& text)
{
    std::vector<QString> parameters{text};
    if (column.inputArguments >= 2)
        parameters.push_back(column.inputTypeParameter);
    if (column.inputArguments >= 3)
        parameters.push_back(column.typeModifier);
    return parameters;
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
    } catch (...) {
        // A row that cannot be read ends the walk rather than being offered again.
        s.eof = true;
        throw;
    }
}

// Stores the changed fields of the current row. Throws DbError.
void store(RecordSetState& s)
{
    const std::vector<int> fields(s.changed.begin(), s.changed.end());
    auto update = s.updates.find(fields);
    if (update == s.updates.end()) {
        Statement statement(s.connection->openHandle());
        statement.prepare(updateText(s, fields));
        update = s.updates.emplace(fields, std::move(statement)).first;
    }
    std::vector<QString> parameters;
    parameters.reserve(fields.size() + 3);
    for (int j : fields)
        parameters.push_back(s.current[static_cast<size_t>(j)].value_or(QString()));
    // The row identity follows the fields in the result, so it can still be read after them.
    const auto identity = static_cast<SQLUSMALLINT>(s.columns.size() + 1);
    for (SQLUSMALLINT k = 0; k < 3; ++k)
        parameters.push_back(s.rows->text(identity + k).value_or(QString()));
    Statement& statement = update->second;
    const bool touched = statement.execute(parameters);
    const long long rows = touched ? statement.rowCount() : 0;
    statement.closeCursor();
    // Nothing touched: someone else changed or deleted that row version since it was read.
    if (rows == 0)
        throw DbError(StaleRowMessage);
}
} // namespace

void RecordSetState::attach(ConnectionState& owner)
{
    connection = &owner;
    owner.recordSets.push_back(this);
}

void RecordSetState::release() noexcept
{
    checks.clear();
    updates.clear();
    rows.reset();
    if (connection) {
        auto& list = connection->recordSets;
        list.erase(std::remove(list.begin(), list.end(), this), list.end());
        connection = nullptr;
    }
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
}

std::unique_ptr<RecordSetState> openQuery(ConnectionState& connection, const QString& sql)
{
    auto s = std::make_unique<RecordSetState>();
    s->location = connection.location;
    s->rows.emplace(connection.openHandle());
    s->rows->executeDirect(sql);
    const int columns = s->rows->columnCount();
    for (int j = 1; j <= columns; ++j)
        s->names.append(s->rows->columnName(static_cast<SQLUSMALLINT>(j)));
    s->count = columns > 0 ? s->rows->rowCount() : 0;
    s->current.assign(static_cast<size_t>(columns), std::nullopt);
    s->source = sql;
    s->attach(connection);
    s->open = true;
    s->eof = false;
    if (columns > 0)
        advance(*s);
    else
        s->eof = true;
    return s;
}

RecordSet::RecordSet() : m_state(std::make_unique<RecordSetState>()) {}

RecordSet::RecordSet(std::unique_ptr<RecordSetState> state) : m_state(std::move(state)) {}

RecordSet::~RecordSet()
{
    close();
}

RecordSet::RecordSet(RecordSet&&) noexcept = default;

RecordSet& RecordSet::operator=(RecordSet&& other) noexcept
{
    if (this != &other) {
        close();
        m_state = std::move(other.m_state);
    }
    return *this;
}

void RecordSet::setCursorLocation(CursorLocation location)
{
    if (!m_state)
        m_state = std::make_unique<RecordSetState>();
    m_state->location = location;
}

void RecordSet::open(const Table& table, Connection& connection, CursorType cursorType, LockType lockType)
{
    Q_UNUSED(cursorType); // every result is read whole by the driver: a static snapshot either way
    if (!m_state)
        m_state = std::make_unique<RecordSetState>();
    RecordSetState& s = *m_state;
    if (s.open)
        throw DbError(OpenMessage);
    ConnectionState& owner = connection.state();
    const SQLHDBC handle = owner.openHandle();

    Statement lookup(handle);
    lookup.prepare(RelationQuery);
    lookup.execute({table.schema, table.name});
    if (!lookup.fetch())
        throw DbError(QStringLiteral("relation \"%1.%2\" does not exist").arg(table.schema, table.name),
                      QStringLiteral("42P01"));
    const QString relationOid = required(lookup, 1);
    const QString kind = required(lookup, 2);
    lookup.closeCursor();
    // A plain table is read without its inheritance children, which are entries of their own; a
    // partitioned table holds no rows itself and is read through its partitions.
    QString from;
    if (kind == u"r")
        from = QStringLiteral("ONLY ") + table.qualifiedName();
    else if (kind == u"p")
        from = table.qualifiedName();
    else
        throw DbError(QStringLiteral("\"%1\" is not a table").arg(table.displayName()),
                      QStringLiteral("42809"));

    std::vector<ColumnInfo> columns = readColumns(handle, relationOid);
    const QString sql = selectText(columns, from);
    s.rows.emplace(handle);
    try {
        s.rows->executeDirect(sql);
        s.count = s.rows->rowCount();
    } catch (...) {
        s.rows.reset();
        throw;
    }
    s.source = sql;
    for (const ColumnInfo& column : columns)
        s.names.append(column.name);
    s.current.assign(columns.size(), std::nullopt);
    s.columns = std::move(columns);
    s.updateTarget = from;
    s.updatable = lockType != LockType::ReadOnly;
    s.attach(owner);
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
    ColumnInfo& column = s.columns[static_cast<size_t>(index)];
    if (column.generated)
        throw DbError(
            QStringLiteral("Column \"%1\" is a generated column and cannot be changed.").arg(column.name),
            QStringLiteral("428C9"));
    if (column.identityAlways)
        throw DbError(QStringLiteral("Column \"%1\" is an identity column defined as GENERATED ALWAYS and "
                                     "cannot be changed.")
                          .arg(column.name),
                      QStringLiteral("428C9"));

    auto check = s.checks.find(index);
    if (check == s.checks.end()) {
        Statement statement(s.connection->openHandle());
        statement.prepare(checkText(column));
        check = s.checks.emplace(index, std::move(statement)).first;
    }
    try {
        check->second.execute(checkParameters(column, text));
    } catch (const DbError& error) {
        // A role that may not call the type's input function (or a type without a callable one) gets
        // the plain cast instead: it checks the type now, and the assignment checks the modifier at the
        // move, still refusing rather than cutting.
        if (error.sqlState() != u"42501" && error.sqlState() != u"42883")
            throw;
        Statement statement(s.connection->openHandle());
        statement.prepare(QStringLiteral("SELECT CAST(? AS ") + column.castType +
                          QStringLiteral(") IS NULL"));
        column.inputArguments = 1;
        check->second = std::move(statement);
        check->second.execute({text});
    }
    check->second.closeCursor();

    s.current[static_cast<size_t>(index)] = text;
    s.changed.insert(index);
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

void RecordSet::close() noexcept
{
    if (m_state)
        m_state->release();
}

QString RecordSet::source() const
{
    return isOpen() ? m_state->source : QString();
}

} // namespace quarvel::db
