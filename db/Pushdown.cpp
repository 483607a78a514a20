#include "db/Pushdown.h"

#include "db/ConnectionState.h"
#include "db/RowIdentity.h"

#include <QRegularExpression>
#include <QStringList>

#include <algorithm>

namespace quarvel::db {

namespace {

const QString RelationQuery =
    QStringLiteral("SELECT c.oid::pg_catalog.text FROM pg_catalog.pg_class c "
                   "JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
                   "WHERE n.nspname = CAST(? AS pg_catalog.name) AND c.relname = CAST(? AS pg_catalog.name) "
                   "AND c.relkind IN ('r', 'p')");

// The relations that hold the table's rows: the table itself when it is plain (its inheritance children
// are entries of their own), else every leaf partition.
const QString LeafQuery = QStringLiteral(
    "SELECT c.oid::pg_catalog.text, n.nspname::pg_catalog.text, c.relname::pg_catalog.text, "
    "c.relkind::pg_catalog.text, "
    "(CASE WHEN c.relpages > 0 AND c.reltuples > 0 THEN c.reltuples / c.relpages ELSE 0 END)"
    "::pg_catalog.int8::pg_catalog.text, "
    "COALESCE((SELECT w.fdwname::pg_catalog.text FROM pg_catalog.pg_foreign_table ft "
    "JOIN pg_catalog.pg_foreign_server fs ON fs.oid = ft.ftserver "
    "JOIN pg_catalog.pg_foreign_data_wrapper w ON w.oid = fs.srvfdw WHERE ft.ftrelid = c.oid), '') "
    "FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
    "WHERE c.oid IN (SELECT t.relid FROM pg_catalog.pg_partition_tree(CAST(CAST(? AS pg_catalog.oid) AS "
    "pg_catalog.regclass)) t WHERE t.isleaf) OR (c.oid = CAST(? AS pg_catalog.oid) AND c.relkind <> 'p') "
    "ORDER BY c.oid");

const QString ColumnQuery = QStringLiteral(
    "SELECT a.attname::pg_catalog.text, tn.nspname::pg_catalog.text, t.typname::pg_catalog.text, "
    "pn.nspname::pg_catalog.text, p.proname::pg_catalog.text, p.pronargs::pg_catalog.text, "
    "(CASE WHEN t.typelem <> 0 THEN t.typelem ELSE t.oid END)::pg_catalog.text, "
    "a.atttypmod::pg_catalog.text, a.attgenerated::pg_catalog.text, a.attidentity::pg_catalog.text, "
    "pg_catalog.format_type(a.atttypid, a.atttypmod), t.oid::pg_catalog.text, t.typtype::pg_catalog.text "
    "FROM pg_catalog.pg_attribute a "
    "JOIN pg_catalog.pg_type t ON t.oid = a.atttypid "
    "JOIN pg_catalog.pg_namespace tn ON tn.oid = t.typnamespace "
    "JOIN pg_catalog.pg_proc p ON p.oid = t.typinput "
    "JOIN pg_catalog.pg_namespace pn ON pn.oid = p.pronamespace "
    "WHERE a.attrelid = CAST(? AS pg_catalog.oid) AND a.attnum > 0 AND NOT a.attisdropped "
    "ORDER BY a.attnum");

const QString KeyQuery =
    QStringLiteral("SELECT a.attname::pg_catalog.text FROM pg_catalog.pg_index i "
                   "CROSS JOIN LATERAL pg_catalog.unnest(i.indkey) WITH ORDINALITY AS k(attnum, o) "
                   "JOIN pg_catalog.pg_attribute a ON a.attrelid = i.indrelid AND a.attnum = k.attnum "
                   "WHERE i.indrelid = CAST(? AS pg_catalog.oid) AND i.indisprimary ORDER BY k.o");

// Rules that rewrite an UPDATE of the table: its rows would not be stored as the statement says.
const QString RuleQuery = QStringLiteral(
    "SELECT r.rulename::pg_catalog.text, r.is_instead::pg_catalog.text FROM pg_catalog.pg_rewrite r "
    "WHERE r.ev_class = CAST(? AS pg_catalog.oid) AND r.ev_type = '2' ORDER BY r.is_instead DESC, "
    "r.rulename");

const QString PagesQuery = QStringLiteral(
    "SELECT (pg_catalog.pg_relation_size(CAST(CAST(? AS pg_catalog.oid) AS pg_catalog.regclass)) / "
    "pg_catalog.current_setting('block_size')::pg_catalog.int8)::pg_catalog.text");

constexpr char TextOid[] = "25";
constexpr char VarcharOid[] = "1043";
constexpr char CharOid[] = "18";
constexpr char NameOid[] = "19";

QString required(Statement& statement, SQLUSMALLINT column)
{
    return statement.text(column).value_or(QString());
}

QString column(const QString& alias, const PushdownColumn& c)
{
    return alias + u'.' + quoteIdentifier(c.name);
}

QString targetOf(const PushdownLeaf& leaf)
{
    return QStringLiteral("ONLY ") + leaf.table.qualifiedName();
}

QString tid(long long page)
{
    return PushdownTable::place(page);
}

} // namespace

PushdownTable::PushdownTable(Connection& connection, const Table& table)
    : m_handle(connection.state().openHandle()), m_table(table)
{
    Statement relation(m_handle);
    relation.prepare(RelationQuery);
    relation.execute({table.schema, table.name});
    if (!relation.fetch())
        throw DbError(QStringLiteral("\"%1\" is not a table").arg(table.displayName()),
                      QStringLiteral("42809"));
    const QString oid = required(relation, 1);
    relation.closeCursor();
    m_oid = oid;

    configure();

    Statement encoding(m_handle);
    encoding.executeDirect(QStringLiteral("SELECT pg_catalog.current_setting('server_encoding')"));
    m_encoding = encoding.fetch() ? required(encoding, 1) : QString();
    encoding.closeCursor();

    Statement leaves(m_handle);
    leaves.prepare(LeafQuery);
    leaves.execute({oid, oid});
    while (leaves.fetch()) {
        PushdownLeaf leaf{required(leaves, 1),
                          {required(leaves, 2), required(leaves, 3)},
                          required(leaves, 5).toLongLong()};
        const QString kind = required(leaves, 4);
        leaf.remote = kind == u"f" && required(leaves, 6) == u"postgres_fdw";
        if (kind != u"r" && !leaf.remote && !m_walkReason)
            m_walkReason = QStringLiteral("partition %1 is %2")
                               .arg(leaf.table.displayName(), kind == u"f" ? QStringLiteral("a foreign table")
                                                                           : QStringLiteral("not a table"));
        if (kind == u"r" || leaf.remote)
            m_leaves.push_back(std::move(leaf));
    }
    leaves.closeCursor();

    Statement columns(m_handle);
    columns.prepare(ColumnQuery);
    columns.execute({oid});
    while (columns.fetch()) {
        PushdownColumn c;
        c.name = required(columns, 1);
        c.castType = Table{required(columns, 2), required(columns, 3)}.qualifiedName();
        c.inputFunction = Table{required(columns, 4), required(columns, 5)}.qualifiedName();
        c.inputArguments = required(columns, 6).toInt();
        c.inputTypeParameter = required(columns, 7);
        const QString typeModifier = required(columns, 8);
        const bool modified = typeModifier != u"-1";
        const bool generated = !required(columns, 9).isEmpty();
        const bool alwaysIdentity = required(columns, 10) == u"a";
        const QString typeText = required(columns, 11);
        const QString typeOid = required(columns, 12);
        const QString typeKind = required(columns, 13);
        const bool domain = typeKind == u"d";
        c.takesAnyText =
            !modified && (typeOid == QLatin1String(TextOid) || typeOid == QLatin1String(VarcharOid));
        if (!c.takesAnyText)
            c.rounding = columnRounding(m_handle, typeOid, typeKind, typeModifier, c.castType, typeText);
        // The server's cast would round or cut what the record walk refuses, or the column cannot be set:
        // only the record walk gives each record its exact answer there.
        // A modifier inside an array, composite or range, and money's cents, too: the record walk compares
        // the stored text with the text given, which the server's cast would not.
        const bool rounds = modified || typeOid == QLatin1String(CharOid) ||
                            typeOid == QLatin1String(NameOid) ||
                            (!domain && (c.rounding.kind == ColumnRounding::Kind::Text ||
                                         c.rounding.kind == ColumnRounding::Kind::Digits));
        QString why;
        if (generated)
            why = QStringLiteral("is generated");
        else if (alwaysIdentity)
            why = QStringLiteral("is an identity column GENERATED ALWAYS");
        else if (rounds)
            why = QStringLiteral("is ") + typeText;
        else if (domain)
            why = QStringLiteral("is of the domain ") + typeText;
        if (!why.isEmpty() && !m_walkReason)
            m_walkReason = QStringLiteral("column %1 %2").arg(c.name, why);
        m_columns.push_back(std::move(c));
    }
    columns.closeCursor();

    Statement rules(m_handle);
    rules.prepare(RuleQuery);
    rules.execute({oid});
    if (rules.fetch() && !m_walkReason)
        m_walkReason = QStringLiteral("rule %1 %2")
                           .arg(required(rules, 1), required(rules, 2) == u"true"
                                                        ? QStringLiteral("does the update instead")
                                                        : QStringLiteral("also runs on the update"));
    rules.closeCursor();

    Statement keys(m_handle);
    keys.prepare(KeyQuery);
    keys.execute({oid});
    while (keys.fetch())
        m_keyColumns.push_back(required(keys, 1));
    keys.closeCursor();
}

PushdownTable::PushdownTable(Connection& connection, const PushdownTable& shape)
    : m_handle(connection.state().openHandle()), m_table(shape.m_table), m_walkReason(shape.m_walkReason),
      m_encoding(shape.m_encoding), m_leaves(shape.m_leaves), m_columns(shape.m_columns),
      m_keyColumns(shape.m_keyColumns), m_pairs(shape.m_pairs), m_oid(shape.m_oid), m_cap(shape.m_cap)
{
    configure();
}

void PushdownTable::configure()
{
    // A lock another session holds ends the wait with the server's message.
    Statement(m_handle).executeDirect(QStringLiteral("SET lock_timeout = %1").arg(LockWaitMs));
    // A plan made once for any page range scans the whole table for every batch: each range is planned
    // as what it is.
    Statement(m_handle).executeDirect(QStringLiteral("SET plan_cache_mode = force_custom_plan"));
}

PushdownTable::~PushdownTable()
{
    rollback();
}

std::optional<QString> PushdownTable::walkReason(const PushdownPairs& pairs)
{
    if (m_walkReason || m_encoding == u"UTF8")
        return m_walkReason;
    // The server would refuse such a text for the whole batch, or (SQL_ASCII) store its bytes unasked.
    std::vector<QString> texts;
    for (const auto& [find, replacement] : pairs) {
        if (find.isEmpty())
            continue;
        texts.push_back(find);
        texts.push_back(replacement);
    }
    try {
        if (m_encoding == u"SQL_ASCII") {
            for (size_t i = 1; i < texts.size(); i += 2)
                refuseUnheldInAscii(std::nullopt, texts[i]);
        } else {
            Statement probe(m_handle);
            probe.prepare(QStringLiteral("SELECT CAST(? AS pg_catalog.text[]) IS NULL"));
            probe.execute({arrayLiteral(texts)});
            probe.closeCursor();
        }
    } catch (const DbError& error) {
        if (error.sqlState() != u"22P05")
            throw;
        return QStringLiteral("a text of the pairs holds a character the database's encoding %1 cannot hold")
            .arg(m_encoding);
    }
    return std::nullopt;
}

void PushdownTable::setPairs(const PushdownPairs& pairs)
{
    m_pairs = pairs;
    m_statements.clear();
}

Statement& PushdownTable::prepared(const QString& sql)
{
    auto found = m_statements.find(sql);
    if (found == m_statements.end()) {
        auto statement = std::make_unique<Statement>(m_handle);
        statement->prepare(sql);
        found = m_statements.emplace(sql, std::move(statement)).first;
    }
    return *found->second;
}

std::vector<QString> PushdownTable::pairParameters() const
{
    std::vector<QString> finds;
    std::vector<QString> replacements;
    for (const auto& [find, replacement] : m_pairs) {
        finds.push_back(find);
        replacements.push_back(replacement);
    }
    return {arrayLiteral(finds), arrayLiteral(replacements)};
}

long long PushdownTable::pages(const PushdownLeaf& leaf)
{
    if (leaf.remote)
        return remotePages(leaf);
    Statement& query = prepared(PagesQuery);
    query.execute({leaf.oid});
    const long long pages = query.fetch() ? required(query, 1).toLongLong() : 0;
    query.closeCursor();
    return pages;
}

void PushdownTable::begin()
{
    const SQLRETURN manual =
        SQLSetConnectAttr(m_handle, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0);
    if (!SQL_SUCCEEDED(manual))
        throw diagnosticsError(SQL_HANDLE_DBC, m_handle,
                               QStringLiteral("Cannot open a transaction for storing."));
    m_inTransaction = true;
}

void PushdownTable::begin(const PushdownLeaf& leaf, const QString& snapshot)
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
    sql += QStringLiteral("LOCK TABLE ONLY ") + leaf.table.qualifiedName() +
           QStringLiteral(" IN ROW EXCLUSIVE MODE");
    try {
        Statement(m_handle).executeDirect(sql);
    } catch (const DbError& error) {
        rollback();
        if (error.sqlState() == u"55P03")
            throw lockedTable(error, m_table);
        throw;
    }
}

PushdownHold PushdownTable::hold()
{
    // The transaction waits, idle, while the batches run: a server that ends idle transactions would
    // take the snapshot from under them.
    Statement(m_handle).executeDirect(QStringLiteral("SET idle_in_transaction_session_timeout = 0"));
    begin();
    PushdownHold held;
    try {
        // The lock before the snapshot: no rewrite can then come between them.
        QStringList targets{QStringLiteral("ONLY ") + m_table.qualifiedName()};
        for (const PushdownLeaf& leaf : m_leaves)
            if (!leaf.remote && leaf.oid != m_oid)
                targets << QStringLiteral("ONLY ") + leaf.table.qualifiedName();
        Statement(m_handle).executeDirect(QStringLiteral("SET TRANSACTION ISOLATION LEVEL REPEATABLE READ"));
        Statement(m_handle).executeDirect(QStringLiteral("LOCK TABLE ") + targets.join(QStringLiteral(", ")) +
                                          QStringLiteral(" IN ACCESS SHARE MODE"));
        Statement snapshot(m_handle);
        snapshot.executeDirect(QStringLiteral("SELECT pg_catalog.pg_export_snapshot()"));
        held.snapshot = snapshot.fetch() ? required(snapshot, 1) : QString();
        snapshot.closeCursor();
        for (const PushdownLeaf& leaf : m_leaves)
            if (!leaf.remote)
                held.pages[leaf.oid] = pages(leaf);
    } catch (const DbError& error) {
        rollback();
        if (error.sqlState() == u"55P03")
            throw lockedTable(error, m_table);
        throw;
    }
    return held;
}

QString PushdownTable::place(long long page)
{
    return QStringLiteral("(%1,0)").arg(page);
}

QString PushdownTable::after(const QString& ctid)
{
    const QStringList parts = QString(ctid).remove(u'(').remove(u')').split(u',');
    if (parts.size() != 2)
        return ctid;
    return QStringLiteral("(%1,%2)").arg(parts[0]).arg(parts[1].toLongLong() + 1);
}

void PushdownTable::commit()
{
    m_inTransaction = false;
    const bool ended = SQL_SUCCEEDED(SQLEndTran(SQL_HANDLE_DBC, m_handle, SQL_COMMIT));
    std::optional<DbError> failure;
    if (!ended) {
        try {
            failure.emplace(
                diagnosticsError(SQL_HANDLE_DBC, m_handle, QStringLiteral("The store did not commit.")));
        } catch (...) {
            failure.emplace(QStringLiteral("The store did not commit."), QStringLiteral("08006"));
        }
        SQLEndTran(SQL_HANDLE_DBC, m_handle, SQL_ROLLBACK);
    }
    SQLSetConnectAttr(m_handle, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
    if (failure)
        throw *failure;
}

void PushdownTable::rollback() noexcept
{
    if (!m_inTransaction)
        return;
    m_inTransaction = false;
    SQLEndTran(SQL_HANDLE_DBC, m_handle, SQL_ROLLBACK);
    SQLSetConnectAttr(m_handle, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
}

namespace {

// Every key column, then every column, in text form, from the row aliased q.
QString rowColumns(const std::vector<QString>& keyColumns, const std::vector<PushdownColumn>& columns)
{
    QString sql = QStringLiteral("q.ctid::pg_catalog.text");
    for (const QString& key : keyColumns)
        sql += QStringLiteral(", q.") + quoteIdentifier(key) + QStringLiteral("::pg_catalog.text");
    for (const PushdownColumn& c : columns)
        sql += QStringLiteral(", ") + column(QStringLiteral("q"), c) + QStringLiteral("::pg_catalog.text");
    return sql;
}

// The C collation: no collation of the column changes what matches (and a nondeterministic one could
// not search at all).
QString holds(const QString& text, int pair)
{
    return QStringLiteral("pg_catalog.strpos(%1 COLLATE \"C\", p.f[%2]) > 0").arg(text).arg(pair);
}

// From column at on: the key's values, then each column's old and new text.
void readKeyAndTexts(Statement& statement, SQLUSMALLINT at, size_t keys, size_t columns,
                     std::vector<QString>& key, std::vector<std::optional<QString>>& oldTexts,
                     std::vector<std::optional<QString>>& newTexts)
{
    for (size_t k = 0; k < keys; ++k)
        key.push_back(statement.text(at++).value_or(QStringLiteral("NULL")));
    for (size_t j = 0; j < columns; ++j) {
        oldTexts.push_back(statement.text(at++));
        newTexts.push_back(statement.text(at++));
    }
}

PushdownRow readRow(Statement& rows, size_t keys, size_t columns)
{
    PushdownRow row;
    row.ctid = required(rows, 1);
    SQLUSMALLINT at = 2;
    for (size_t k = 0; k < keys; ++k)
        row.key.push_back(rows.text(at++).value_or(QStringLiteral("NULL")));
    for (size_t j = 0; j < columns; ++j)
        row.values.push_back(rows.text(at++));
    return row;
}

} // namespace

std::vector<PushdownRow> PushdownTable::lockBatch(const PushdownLeaf& leaf, long long first, long long end,
                                                  const std::vector<QString>& ownVersions)
{
    if (leaf.remote)
        return lockRemoteBatch(leaf, first, end);
    // Only the texts of columns some find text matches come back: the others keep their values.
    QString selected = QStringLiteral("q.ctid::pg_catalog.text");
    for (const QString& key : m_keyColumns)
        selected += QStringLiteral(", q.") + quoteIdentifier(key) + QStringLiteral("::pg_catalog.text");
    QStringList tests;
    for (const PushdownColumn& c : m_columns) {
        const QString text = column(QStringLiteral("q"), c) + QStringLiteral("::pg_catalog.text");
        QStringList held;
        for (size_t k = 0; k < m_pairs.size(); ++k)
            held << holds(text, int(k + 1));
        const QString any = held.join(QStringLiteral(" OR "));
        selected +=
            QStringLiteral(", CASE WHEN ") + any + QStringLiteral(" THEN ") + text + QStringLiteral(" END");
        tests << any;
    }
    const QString sql =
        QStringLiteral("SELECT ") + selected + QStringLiteral(" FROM ") + targetOf(leaf) +
        QStringLiteral(" AS q, (SELECT CAST(? AS pg_catalog.text[]) AS f) AS p "
                       "WHERE q.ctid >= CAST(? AS pg_catalog.tid) AND q.ctid < CAST(? AS pg_catalog.tid) "
                       "AND NOT (q.xmin = ANY (CAST(? AS pg_catalog.xid[]))) AND (") +
        tests.join(QStringLiteral(" OR ")) + QStringLiteral(") FOR UPDATE OF q");
    Statement& query = prepared(sql);
    query.execute({pairParameters().front(), tid(first), tid(end), arrayLiteral(ownVersions)});
    std::vector<PushdownRow> rows;
    while (query.fetch())
        rows.push_back(readRow(query, m_keyColumns.size(), m_columns.size()));
    query.closeCursor();
    return rows;
}

std::optional<PushdownRow> PushdownTable::lockRow(const PushdownLeaf& leaf, const QString& ctid,
                                                  const std::vector<QString>& ownVersions,
                                                  const QString& xmin)
{
    const QString sql =
        QStringLiteral("SELECT ") + rowColumns(m_keyColumns, m_columns) + QStringLiteral(" FROM ") +
        targetOf(leaf) +
        QStringLiteral(" AS q WHERE q.ctid = CAST(? AS pg_catalog.tid) "
                       "AND NOT (q.xmin = ANY (CAST(? AS pg_catalog.xid[])))") +
        (xmin.isEmpty() ? QString() : QStringLiteral(" AND q.xmin = CAST(? AS pg_catalog.xid)")) +
        QStringLiteral(" FOR UPDATE OF q");
    Statement& query = prepared(sql);
    // A foreign leaf's xmin reads as 0 whatever the version: its own versions are known by place instead.
    std::vector<QString> parameters{ctid, arrayLiteral(leaf.remote ? std::vector<QString>() : ownVersions)};
    if (!xmin.isEmpty())
        parameters.push_back(xmin);
    query.execute(parameters);
    std::optional<PushdownRow> row;
    if (query.fetch()) {
        row = readRow(query, m_keyColumns.size(), m_columns.size());
        row->xmin = xmin;
    }
    query.closeCursor();
    if (row && leaf.remote)
        remoteRowApart(leaf, ctid);
    return row;
}

namespace {

// From column at on, the text each column holds as stored: what the journal must hold.
void readStoredTexts(Statement& statement, SQLUSMALLINT at, size_t columns, PushdownStored& row)
{
    for (size_t j = 0; j < columns; ++j)
        row.stored.push_back(statement.text(at++));
}

// Each column's text as stored where it was set, as RETURNING gives it, only where it is not the new
// text v.n<j> itself (a trigger changed it, or the type spells it its own way): the rows of a batch
// come back no larger than they were.
QString storedTexts(const std::vector<PushdownColumn>& columns, const QString& set)
{
    QString sql;
    for (size_t j = 0; j < columns.size(); ++j) {
        const QString stored = column(QStringLiteral("q"), columns[j]) + QStringLiteral("::pg_catalog.text");
        sql += QStringLiteral(", CASE WHEN %2 AND %3 IS DISTINCT FROM v.n%1 THEN %3 END")
                   .arg(j)
                   .arg(set.arg(j), stored);
    }
    return sql;
}

PushdownStored readStored(Statement& stored, size_t keys, size_t columns)
{
    PushdownStored row;
    row.oldCtid = required(stored, 1);
    row.ctid = required(stored, 2);
    row.xmin = required(stored, 3);
    SQLUSMALLINT at = 5;
    for (size_t k = 0; k < keys; ++k)
        row.key.push_back(stored.text(at++).value_or(QStringLiteral("NULL")));
    for (size_t j = 0; j < columns; ++j)
        row.values.push_back(stored.text(at++));
    return row;
}

QString returning(const std::vector<QString>& keyColumns)
{
    QString sql = QStringLiteral(" RETURNING q.ctid::pg_catalog.text, q.xmin::pg_catalog.text, "
                                 "pg_catalog.txid_current()::pg_catalog.text");
    for (const QString& key : keyColumns)
        sql += QStringLiteral(", q.") + quoteIdentifier(key) + QStringLiteral("::pg_catalog.text");
    return sql;
}

} // namespace

// The rows of the leaf aliased as given, each with its text form per column (x0.c<j>) and the text after
// each pair (x<k>.c<j>): the replacement the run makes, computed by the server. The chain runs one pair
// per step, each step a subselect of its own (OFFSET 0 keeps the planner from folding them into one
// expression that would grow threefold with every pair).
QString PushdownTable::replacementChain(const PushdownLeaf& leaf, const QString& alias) const
{
    QString chain = QStringLiteral("FROM ") + targetOf(leaf) + QStringLiteral(" AS ") + alias +
                    QStringLiteral(" CROSS JOIN (SELECT CAST(? AS pg_catalog.text[]) AS f, "
                                   "CAST(? AS pg_catalog.text[]) AS r) AS p");
    QString previous = QStringLiteral("x0");
    // In the C collation from the start: replace() refuses a nondeterministic collation, and under one
    // "AB" would be no change from "ab".
    QStringList texts;
    for (size_t j = 0; j < m_columns.size(); ++j)
        texts << column(alias, m_columns[j]) +
                     QStringLiteral("::pg_catalog.text COLLATE \"C\" AS c%1").arg(j);
    chain += QStringLiteral(" CROSS JOIN LATERAL (SELECT ") + texts.join(QStringLiteral(", ")) +
             QStringLiteral(" OFFSET 0) AS x0");
    for (size_t k = 1; k <= m_pairs.size(); ++k) {
        const QString step = QStringLiteral("x%1").arg(k);
        QStringList values;
        for (size_t j = 0; j < m_columns.size(); ++j) {
            const QString x = QStringLiteral("%1.c%2").arg(previous).arg(j);
            values << QStringLiteral(
                          "CASE WHEN %1 THEN pg_catalog.btrim(pg_catalog.replace(%2, p.f[%3], p.r[%3]), "
                          "' ') ELSE %2 END AS c%4")
                          .arg(holds(x, int(k)), x)
                          .arg(k)
                          .arg(j);
        }
        chain += QStringLiteral(" CROSS JOIN LATERAL (SELECT ") + values.join(QStringLiteral(", ")) +
                 QStringLiteral(" OFFSET 0) AS ") + step;
        previous = step;
    }
    return chain;
}

std::vector<PushdownStored> PushdownTable::replaceRows(const PushdownLeaf& leaf, const QString& from,
                                                       const QString& to, const std::vector<QString>& ctids,
                                                       QString& transaction)
{
    const QString chain = replacementChain(leaf, QStringLiteral("s"));
    const QString previous = QStringLiteral("x%1").arg(m_pairs.size());
    QStringList selected{QStringLiteral("s.ctid AS ct")};
    QStringList sets;
    QString newTexts;
    for (size_t j = 0; j < m_columns.size(); ++j) {
        const PushdownColumn& c = m_columns[j];
        selected << QStringLiteral("x0.c%1 AS o%1, %2.c%1 AS n%1").arg(j).arg(previous);
        // A column no pair changed keeps its value as it is, not as its text would read back.
        sets << quoteIdentifier(c.name) +
                    QStringLiteral(
                        " = CASE WHEN v.n%1 IS DISTINCT FROM v.o%1 THEN CAST(v.n%1 AS %2) ELSE q.%3 END")
                        .arg(j)
                        .arg(c.castType, quoteIdentifier(c.name));
        newTexts += QStringLiteral(", CASE WHEN v.n%1 IS DISTINCT FROM v.o%1 THEN v.n%1 END").arg(j);
    }
    const QString sql =
        QStringLiteral("UPDATE ") + targetOf(leaf) + QStringLiteral(" AS q SET ") +
        sets.join(QStringLiteral(", ")) + QStringLiteral(" FROM (SELECT ") +
        selected.join(QStringLiteral(", ")) + u' ' + chain +
        QStringLiteral(" WHERE s.ctid >= CAST(? AS pg_catalog.tid) AND s.ctid < CAST(? AS "
                       "pg_catalog.tid) AND s.ctid = ANY (CAST(? AS pg_catalog.tid[]))) AS v "
                       "WHERE q.ctid = v.ct AND q.ctid >= CAST(? AS pg_catalog.tid) AND q.ctid < "
                       "CAST(? AS pg_catalog.tid) AND q.ctid = ANY (CAST(? AS pg_catalog.tid[])) "
                       "RETURNING v.ct::pg_catalog.text, ") +
        returning(m_keyColumns).mid(QStringLiteral(" RETURNING ").size()) + newTexts +
        storedTexts(m_columns, QStringLiteral("v.n%1 IS DISTINCT FROM v.o%1"));
    // Both sides of the join are bounded by the batch's pages: given only the list of places, the planner
    // takes a few thousand of them for a reason to read the whole table, twice, in every batch.
    std::vector<QString> parameters = pairParameters();
    const QString places = arrayLiteral(ctids);
    for (int side = 0; side < 2; ++side)
        parameters.insert(parameters.end(), {from, to, places});
    Statement& update = prepared(sql);
    std::vector<PushdownStored> stored;
    if (update.execute(parameters)) {
        while (update.fetch()) {
            transaction = required(update, 4);
            stored.push_back(readStored(update, m_keyColumns.size(), m_columns.size()));
            readStoredTexts(update, SQLUSMALLINT(5 + m_keyColumns.size() + m_columns.size()),
                            m_columns.size(), stored.back());
            if (leaf.remote)
                wroteRemote(leaf, stored.back().ctid);
        }
    }
    update.closeCursor();
    return stored;
}

QStringList PushdownTable::columnTests(const QString& alias) const
{
    QStringList tests;
    for (const PushdownColumn& c : m_columns) {
        const QString text = column(alias, c) + QStringLiteral("::pg_catalog.text");
        QStringList held;
        for (size_t k = 0; k < m_pairs.size(); ++k)
            held << holds(text, int(k + 1));
        tests << held.join(QStringLiteral(" OR "));
    }
    return tests;
}

// A batch's rows are counted and weighed before any is read or written, so that one dense stretch after
// many empty pages comes back a batch at a time: the cut is always at a place, so the rows after it are
// the next batch's.
QString PushdownTable::cappedPlaces(const PushdownLeaf& leaf) const
{
    const QStringList tests = columnTests(QStringLiteral("s"));
    QStringList bytes;
    for (size_t j = 0; j < m_columns.size(); ++j)
        bytes << QStringLiteral("CASE WHEN %1 THEN pg_catalog.octet_length(%2::pg_catalog.text) ELSE 0 END")
                     .arg(tests[int(j)], column(QStringLiteral("s"), m_columns[j]));
    return QStringLiteral("f AS MATERIALIZED (SELECT s.ctid AS ct, ") + bytes.join(QStringLiteral(" + ")) +
           QStringLiteral(" AS b FROM ") + targetOf(leaf) +
           QStringLiteral(" AS s, (SELECT CAST(? AS pg_catalog.text[]) AS f) AS p WHERE s.ctid >= CAST(? AS "
                          "pg_catalog.tid) AND s.ctid < CAST(? AS pg_catalog.tid) AND (") +
           tests.join(QStringLiteral(" OR ")) +
           QStringLiteral(
               ")), k AS MATERIALIZED (SELECT z.ct FROM (SELECT f.ct, pg_catalog.row_number() OVER w "
               "AS n, pg_catalog.sum(f.b) OVER w - f.b AS before FROM f WINDOW w AS (ORDER BY f.ct "
               "ROWS UNBOUNDED PRECEDING)) AS z WHERE z.n <= CAST(? AS pg_catalog.int8) AND (z.n = 1 "
               "OR z.before < CAST(? AS pg_catalog.int8)))");
}

std::vector<QString> PushdownTable::cappedParameters(const QString& from, const QString& to) const
{
    return {pairParameters().front(), from, to, QString::number(std::max<long long>(1, m_cap.rows)),
            QString::number(m_cap.bytes)};
}

namespace {

// The place of the last row the cap let through, where it held back some: the next batch begins after it.
const QString CutPlace = QStringLiteral(
    "CASE WHEN (SELECT pg_catalog.count(*) FROM f) > (SELECT pg_catalog.count(*) FROM k) THEN (SELECT "
    "k.ct::pg_catalog.text FROM k ORDER BY k.ct DESC LIMIT 1) END COLLATE \"C\"");

} // namespace

PushdownBatchHead PushdownTable::startBatch(const PushdownLeaf& leaf, const QString& from, const QString& to,
                                            int lockWaitMs)
{
    const QString previous = QStringLiteral("x%1").arg(m_pairs.size());
    const QStringList tests = columnTests(QStringLiteral("s"));
    QStringList found{QStringLiteral("s.ctid AS ct"), QStringLiteral("s.xmin AS xm")};
    QStringList changes;
    QStringList sets;
    QStringList texts;
    QStringList unchangedTexts;
    for (size_t j = 0; j < m_columns.size(); ++j) {
        const PushdownColumn& c = m_columns[j];
        // Only the texts of columns some find text matches come back, and new texts only where changed.
        found << QStringLiteral("CASE WHEN %1 THEN x0.c%2 END AS o%2").arg(tests[int(j)]).arg(j)
              << QStringLiteral("CASE WHEN x0.c%1 IS DISTINCT FROM %2.c%1 THEN %2.c%1 END AS n%1")
                     .arg(j)
                     .arg(previous);
        changes << QStringLiteral("x0.c%1 IS DISTINCT FROM %2.c%1").arg(j).arg(previous);
        // A column no pair changed keeps its value as it is, not as its text would read back.
        sets << quoteIdentifier(c.name) +
                    QStringLiteral(" = CASE WHEN v.n%1 IS NOT NULL THEN CAST(v.n%1 AS %2) ELSE q.%3 END")
                        .arg(j)
                        .arg(c.castType, quoteIdentifier(c.name));
        texts << QStringLiteral("v.o%1, v.n%1").arg(j);
        unchangedTexts << QStringLiteral("v.o%1, NULL").arg(j);
    }
    found << QStringLiteral("(") + changes.join(QStringLiteral(" OR ")) + QStringLiteral(") AS ch");
    QString keys;
    QString noKeys;
    for (const QString& key : m_keyColumns) {
        keys += QStringLiteral(", q.") + quoteIdentifier(key) + QStringLiteral("::pg_catalog.text");
        noKeys += QStringLiteral(", NULL");
    }
    // In the table's snapshot, a row another session changed since fails the UPDATE (40001) rather than
    // being read twice or changed on a version the run never read.
    const QString sql =
        QStringLiteral("WITH ") + cappedPlaces(leaf) + QStringLiteral(", v AS MATERIALIZED (SELECT ") +
        found.join(QStringLiteral(", ")) + u' ' + replacementChain(leaf, QStringLiteral("s")) +
        QStringLiteral(" WHERE s.ctid = ANY (ARRAY(SELECT k.ct FROM k))), u AS (UPDATE ") + targetOf(leaf) +
        QStringLiteral(" AS q SET ") + sets.join(QStringLiteral(", ")) +
        QStringLiteral(
            " FROM v WHERE v.ch AND q.ctid = v.ct AND q.xmin = v.xm RETURNING v.ct::pg_catalog.text "
            "AS ct, q.ctid::pg_catalog.text AS nct, q.xmin::pg_catalog.text AS nxm") +
        keys + QStringLiteral(", ") + texts.join(QStringLiteral(", ")) +
        storedTexts(m_columns, QStringLiteral("v.n%1 IS NOT NULL")) +
        // Its head first: a run can go on to the next batch knowing only that.
        QStringLiteral(") SELECT 3, (SELECT pg_catalog.count(*) FROM v WHERE v.ch)::pg_catalog.text, "
                       "pg_catalog.txid_current()::pg_catalog.text, (SELECT u.nxm FROM u LIMIT 1), "
                       "(SELECT pg_catalog.count(*) FROM v)::pg_catalog.text COLLATE \"C\", ") +
        CutPlace +
        QString(QStringLiteral(", NULL")).repeated(int(m_keyColumns.size() + 3 * m_columns.size()) - 2) +
        QStringLiteral(
            " UNION ALL SELECT 1, u.* FROM u UNION ALL SELECT 2, v.ct::pg_catalog.text, NULL, NULL") +
        noKeys + QStringLiteral(", ") + unchangedTexts.join(QStringLiteral(", ")) +
        QString(QStringLiteral(", NULL")).repeated(int(m_columns.size())) +
        QStringLiteral(" FROM v WHERE NOT v.ch");
    // The planner cannot know that the rows found are a few of the pages' rows: left alone it hashes
    // every row of the pages to meet them, where fetching each by its place costs a tenth; and it takes
    // the batch for costly enough to compile, which costs more than the batch (set for the batch only).
    Statement& byPlace = prepared(QStringLiteral(
        "SELECT pg_catalog.set_config('enable_hashjoin', 'off', true), "
        "pg_catalog.set_config('enable_mergejoin', 'off', true), "
        "pg_catalog.set_config('enable_memoize', 'off', true), pg_catalog.set_config('jit', 'off', true), "
        "pg_catalog.set_config('lock_timeout', ?, true)"));
    byPlace.execute({QString::number(lockWaitMs)});
    byPlace.closeCursor();
    std::vector<QString> parameters = cappedParameters(from, to);
    const std::vector<QString> pairs = pairParameters();
    parameters.insert(parameters.end(), pairs.begin(), pairs.end());
    m_batch = &prepared(sql);
    m_batch->execute(parameters);
    if (!m_batch->fetch() || required(*m_batch, 1) != u"3") {
        m_batch->closeCursor();
        throw DbError(QStringLiteral("The server's answer to a batch does not begin with its counts."),
                      QStringLiteral("XX000"));
    }
    PushdownBatchHead head;
    head.meant = required(*m_batch, 2).toLongLong();
    head.transaction = required(*m_batch, 3);
    head.xmin = required(*m_batch, 4);
    head.found = required(*m_batch, 5).toLongLong();
    head.cut = required(*m_batch, 6);
    return head;
}

std::vector<PushdownRow> PushdownTable::heldRows(const PushdownLeaf& leaf, const QString& from,
                                                 const QString& to, QString& cut)
{
    QString selected = QStringLiteral("s.ctid::pg_catalog.text, s.xmin::pg_catalog.text");
    for (const QString& key : m_keyColumns)
        selected += QStringLiteral(", s.") + quoteIdentifier(key) + QStringLiteral("::pg_catalog.text");
    const QStringList tests = columnTests(QStringLiteral("s"));
    for (size_t j = 0; j < m_columns.size(); ++j)
        selected += QStringLiteral(", CASE WHEN %1 THEN %2::pg_catalog.text END")
                        .arg(tests[int(j)], column(QStringLiteral("s"), m_columns[j]));
    const QString sql =
        QStringLiteral("WITH ") + cappedPlaces(leaf) + QStringLiteral(" SELECT ") + selected +
        QStringLiteral(", ") + CutPlace + QStringLiteral(" FROM ") + targetOf(leaf) +
        QStringLiteral(" AS s, (SELECT CAST(? AS pg_catalog.text[]) AS f) AS p WHERE s.ctid = "
                       "ANY (ARRAY(SELECT k.ct FROM k)) ORDER BY s.ctid");
    std::vector<QString> parameters = cappedParameters(from, to);
    parameters.push_back(pairParameters().front());
    Statement& query = prepared(sql);
    query.execute(parameters);
    std::vector<PushdownRow> rows;
    cut.clear();
    const auto cutColumn = SQLUSMALLINT(3 + m_keyColumns.size() + m_columns.size());
    while (query.fetch()) {
        PushdownRow row;
        row.ctid = required(query, 1);
        row.xmin = required(query, 2);
        SQLUSMALLINT at = 3;
        for (size_t k = 0; k < m_keyColumns.size(); ++k)
            row.key.push_back(query.text(at++).value_or(QStringLiteral("NULL")));
        for (size_t j = 0; j < m_columns.size(); ++j)
            row.values.push_back(query.text(at++));
        cut = required(query, cutColumn);
        rows.push_back(std::move(row));
    }
    query.closeCursor();
    return rows;
}

std::vector<PushdownRow> PushdownTable::lockHeld(const PushdownLeaf& leaf,
                                                 const std::vector<PushdownRow>& rows)
{
    std::vector<QString> ctids;
    std::map<QString, QString> versions;
    for (const PushdownRow& row : rows) {
        ctids.push_back(row.ctid);
        versions.emplace(row.ctid, row.xmin);
    }
    const QString sql =
        QStringLiteral("SELECT q.xmin::pg_catalog.text, ") + rowColumns(m_keyColumns, m_columns) +
        QStringLiteral(" FROM ") + targetOf(leaf) +
        QStringLiteral(" AS q WHERE q.ctid = ANY (CAST(? AS pg_catalog.tid[])) FOR UPDATE OF q "
                       "SKIP LOCKED");
    Statement& query = prepared(sql);
    query.execute({arrayLiteral(ctids)});
    std::vector<PushdownRow> locked;
    while (query.fetch()) {
        const QString xmin = required(query, 1);
        PushdownRow row;
        row.ctid = required(query, 2);
        row.xmin = xmin;
        SQLUSMALLINT at = 3;
        for (size_t k = 0; k < m_keyColumns.size(); ++k)
            row.key.push_back(query.text(at++).value_or(QStringLiteral("NULL")));
        for (size_t j = 0; j < m_columns.size(); ++j)
            row.values.push_back(query.text(at++));
        // Another version at the same place is not the row that was read.
        const auto read = versions.find(row.ctid);
        if (read != versions.end() && read->second == xmin)
            locked.push_back(std::move(row));
    }
    query.closeCursor();
    return locked;
}

std::optional<PushdownRow> PushdownTable::lockByKey(const PushdownLeaf& leaf, const std::vector<QString>& key,
                                                    const std::vector<QString>& ownVersions)
{
    if (m_keyColumns.empty() || key.size() != m_keyColumns.size())
        return std::nullopt;
    // Each key value goes untyped, so that the server reads it as the key column's type and its index
    // finds the row.
    QStringList equal;
    for (const QString& name : m_keyColumns)
        equal << QStringLiteral("q.") + quoteIdentifier(name) + QStringLiteral(" = ?");
    const QString sql =
        QStringLiteral("SELECT q.xmin::pg_catalog.text, ") + rowColumns(m_keyColumns, m_columns) +
        QStringLiteral(" FROM ") + targetOf(leaf) + QStringLiteral(" AS q WHERE ") +
        equal.join(QStringLiteral(" AND ")) +
        QStringLiteral(" AND NOT (q.xmin = ANY (CAST(? AS pg_catalog.xid[]))) FOR UPDATE OF q");
    std::vector<QString> parameters = key;
    parameters.push_back(arrayLiteral(ownVersions));
    Statement& query = prepared(sql);
    query.execute(parameters);
    std::optional<PushdownRow> row;
    if (query.fetch()) {
        row.emplace();
        row->xmin = required(query, 1);
        row->ctid = required(query, 2);
        SQLUSMALLINT at = 3;
        for (size_t k = 0; k < m_keyColumns.size(); ++k)
            row->key.push_back(query.text(at++).value_or(QStringLiteral("NULL")));
        for (size_t j = 0; j < m_columns.size(); ++j)
            row->values.push_back(query.text(at++));
    }
    query.closeCursor();
    return row;
}

bool PushdownTable::stillThere(const PushdownLeaf& leaf, const PushdownRow& row)
{
    Statement& query = prepared(QStringLiteral("SELECT 1 FROM ") + targetOf(leaf) +
                                QStringLiteral(" AS q WHERE q.ctid = CAST(? AS pg_catalog.tid) AND q.xmin = "
                                               "CAST(? AS pg_catalog.xid)"));
    query.execute({row.ctid, row.xmin});
    const bool there = query.fetch();
    query.closeCursor();
    return there;
}

DbError PushdownTable::skipped(const PushdownLeaf& leaf)
{
    return skippedUpdate(m_handle, m_oid, leaf.oid);
}

PushdownBatch PushdownTable::finishBatch()
{
    Statement& statement = *m_batch;
    PushdownBatch batch;
    while (statement.fetch()) {
        const bool written = required(statement, 1) == u"1";
        PushdownRow row;
        row.ctid = required(statement, 2);
        PushdownStored stored;
        if (written) {
            stored.oldCtid = row.ctid;
            stored.ctid = required(statement, 3);
            stored.xmin = required(statement, 4);
        }
        readKeyAndTexts(statement, 5, m_keyColumns.size(), m_columns.size(), stored.key, row.values,
                        stored.values);
        if (written) {
            readStoredTexts(statement, SQLUSMALLINT(5 + m_keyColumns.size() + 2 * m_columns.size()),
                            m_columns.size(), stored);
            row.key = stored.key;
        }
        batch.rows.push_back(std::move(row));
        if (written)
            batch.stored.emplace_back(std::move(stored));
        else
            batch.stored.emplace_back();
    }
    statement.closeCursor();
    return batch;
}

std::optional<PushdownStored> PushdownTable::storeRow(const PushdownLeaf& leaf, const QString& ctid,
                                                      const std::vector<int>& columns,
                                                      const std::vector<QString>& texts, QString& transaction)
{
    QStringList sets;
    for (int j : columns) {
        const PushdownColumn& c = m_columns[static_cast<size_t>(j)];
        sets << quoteIdentifier(c.name) + QStringLiteral(" = CAST(CAST(? AS pg_catalog.text) AS ") +
                    c.castType + u')';
    }
    const QString tail = QStringLiteral(" RETURNING q.ctid::pg_catalog.text, ") +
                         returning(m_keyColumns).mid(QStringLiteral(" RETURNING ").size()) +
                         QStringLiteral(", q.tableoid::pg_catalog.text");
    QString storedColumns;
    for (int j : columns)
        storedColumns += QStringLiteral(", ") +
                         column(QStringLiteral("q"), m_columns[static_cast<size_t>(j)]) +
                         QStringLiteral("::pg_catalog.text");
    auto store = [&](const QString& sql, const std::vector<QString>& parameters) {
        Statement& update = prepared(sql);
        std::optional<PushdownStored> stored;
        if (update.execute(parameters) && update.fetch()) {
            PushdownStored row = readStored(update, m_keyColumns.size(), 0);
            transaction = required(update, 4);
            row.tableOid = required(update, SQLUSMALLINT(5 + m_keyColumns.size()));
            row.stored.resize(m_columns.size());
            auto at = SQLUSMALLINT(6 + m_keyColumns.size());
            for (int j : columns)
                row.stored[static_cast<size_t>(j)] = update.text(at++);
            row.oldCtid = ctid;
            for (const QString& text : texts)
                row.values.emplace_back(text);
            if (leaf.remote)
                wroteRemote(leaf, row.ctid);
            stored = std::move(row);
        }
        update.closeCursor();
        return stored;
    };
    std::vector<QString> parameters = texts;
    parameters.push_back(ctid);
    try {
        return store(QStringLiteral("UPDATE ") + targetOf(leaf) + QStringLiteral(" AS q SET ") +
                         sets.join(QStringLiteral(", ")) +
                         QStringLiteral(" WHERE q.ctid = CAST(? AS pg_catalog.tid)") + tail + storedColumns,
                     parameters);
    } catch (const DbError& error) {
        // A new partition key that the partition refuses: through the table itself, the row moves to the
        // partition that takes it, as the record walk stores it.
        if (error.sqlState() != u"23514" || leaf.remote || leaf.oid == m_oid)
            throw;
    }
    parameters.insert(parameters.end() - 1, leaf.oid);
    return store(QStringLiteral("UPDATE ") + m_table.qualifiedName() + QStringLiteral(" AS q SET ") +
                     sets.join(QStringLiteral(", ")) +
                     QStringLiteral(" WHERE q.tableoid = CAST(? AS pg_catalog.oid) AND q.ctid = CAST(? AS "
                                    "pg_catalog.tid)") +
                     tail + storedColumns,
                 parameters);
}

std::vector<PushdownPreviewRow> PushdownTable::previewBatch(const PushdownLeaf& leaf, long long first,
                                                            long long end)
{
    const QString last = QStringLiteral("x%1").arg(m_pairs.size());
    QString selected = QStringLiteral("s.ctid::pg_catalog.text");
    for (const QString& key : m_keyColumns)
        selected += QStringLiteral(", s.") + quoteIdentifier(key) + QStringLiteral("::pg_catalog.text");
    QStringList tests;
    for (size_t j = 0; j < m_columns.size(); ++j) {
        const QString text = QStringLiteral("x0.c%1").arg(j);
        QStringList held;
        for (size_t k = 0; k < m_pairs.size(); ++k)
            held << holds(text, int(k + 1));
        const QString any = held.join(QStringLiteral(" OR "));
        selected += QStringLiteral(", CASE WHEN ") + any + QStringLiteral(" THEN ") + text +
                    QStringLiteral(" END, CASE WHEN %1.c%2 IS DISTINCT FROM %3 THEN %1.c%2 END")
                        .arg(last)
                        .arg(j)
                        .arg(text);
        tests << any;
    }
    const QString sql = QStringLiteral("SELECT ") + selected + u' ' +
                        replacementChain(leaf, QStringLiteral("s")) +
                        QStringLiteral(" WHERE s.ctid >= CAST(? AS pg_catalog.tid) AND s.ctid < CAST(? AS "
                                       "pg_catalog.tid) AND (") +
                        tests.join(QStringLiteral(" OR ")) + u')';
    std::vector<QString> parameters = pairParameters();
    parameters.insert(parameters.end(), {tid(first), tid(end)});
    Statement& query = prepared(sql);
    query.execute(parameters);
    std::vector<PushdownPreviewRow> rows;
    while (query.fetch()) {
        PushdownPreviewRow row;
        row.ctid = required(query, 1);
        readKeyAndTexts(query, 2, m_keyColumns.size(), m_columns.size(), row.key, row.oldValues,
                        row.newValues);
        rows.push_back(std::move(row));
    }
    query.closeCursor();
    return rows;
}

long long PushdownTable::rowsIn(const PushdownLeaf& leaf, long long first, long long end)
{
    Statement& count =
        prepared(QStringLiteral("SELECT pg_catalog.count(*)::pg_catalog.text FROM ") + targetOf(leaf) +
                 QStringLiteral(" WHERE ctid >= CAST(? AS pg_catalog.tid) AND ctid < CAST(? AS "
                                "pg_catalog.tid)"));
    count.execute({tid(first), tid(end)});
    const long long rows = count.fetch() ? required(count, 1).toLongLong() : 0;
    count.closeCursor();
    return rows;
}

QString PushdownTable::rowName(const PushdownLeaf& leaf, const QString& ctid,
                               const std::vector<QString>& key) const
{
    return RowIdentity{leaf.table.displayName(), ctid, m_keyColumns, key}.text();
}

std::optional<DbError> PushdownTable::refusal(int index, const QString& text)
{
    const PushdownColumn& c = m_columns[static_cast<size_t>(index)];
    if (c.takesAnyText)
        return std::nullopt;
    QString sql =
        QStringLiteral("SELECT ") + c.inputFunction + QStringLiteral("(CAST(? AS pg_catalog.cstring)");
    std::vector<QString> parameters{text};
    if (c.inputArguments >= 2) {
        sql += QStringLiteral(", CAST(? AS pg_catalog.oid)");
        parameters.push_back(c.inputTypeParameter);
    }
    if (c.inputArguments >= 3) {
        sql += QStringLiteral(", CAST(? AS pg_catalog.int4)");
        parameters.push_back(QStringLiteral("-1"));
    }
    Statement& check = prepared(sql + QStringLiteral(") IS NULL"));
    try {
        check.execute(parameters);
        check.closeCursor();
    } catch (const DbError& error) {
        check.closeCursor();
        if (error.ruinsTheTable())
            throw;
        return error;
    }
    if (!mayRound(c.rounding, text))
        return std::nullopt;
    Statement& rounded = prepared(roundingCheck(c.rounding));
    rounded.execute({text, text});
    const std::optional<QString> stored = rounded.fetch() ? rounded.text(1) : std::nullopt;
    rounded.closeCursor();
    if (stored)
        return roundedError(c.rounding, text, *stored);
    return std::nullopt;
}

} // namespace quarvel::db
