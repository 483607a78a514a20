#include "db/PushdownShape.h"

#include "db/PushdownRead.h"
#include "db/Statement.h"

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

constexpr char TextOid[] = "25";
constexpr char VarcharOid[] = "1043";
constexpr char CharOid[] = "18";
constexpr char NameOid[] = "19";

} // namespace

PushdownShape::PushdownShape(const std::shared_ptr<ConnectionState>& connection, const Table& table)
    : m_table(table)
{
    Statement relation(connection);
    relation.prepare(RelationQuery);
    relation.execute({table.schema, table.name});
    if (!relation.fetch())
        throw DbError(QStringLiteral("\"%1\" is not a table").arg(table.displayName()),
                      QStringLiteral("42809"));
    m_oid = requiredText(relation, 1);
    relation.closeCursor();

    Statement encoding(connection);
    encoding.executeDirect(QStringLiteral("SELECT pg_catalog.current_setting('server_encoding')"));
    m_encoding = encoding.fetch() ? requiredText(encoding, 1) : QString();
    encoding.closeCursor();

    readLeaves(connection);
    readColumns(connection);
    readRules(connection);
    readKeys(connection);
}

void PushdownShape::walkBecause(const QString& reason)
{
    if (!m_walkReason)
        m_walkReason = reason;
}

void PushdownShape::readLeaves(const std::shared_ptr<ConnectionState>& connection)
{
    Statement leaves(connection);
    leaves.prepare(LeafQuery);
    leaves.execute({m_oid, m_oid});
    while (leaves.fetch()) {
        PushdownLeaf leaf{requiredText(leaves, 1),
                          {requiredText(leaves, 2), requiredText(leaves, 3)},
                          requiredText(leaves, 5).toLongLong()};
        const QString kind = requiredText(leaves, 4);
        leaf.remote = kind == u"f" && requiredText(leaves, 6) == u"postgres_fdw";
        if (kind != u"r" && !leaf.remote)
            walkBecause(QStringLiteral("partition %1 is %2")
                            .arg(leaf.table.displayName(), kind == u"f" ? QStringLiteral("a foreign table")
                                                                        : QStringLiteral("not a table")));
        if (kind == u"r" || leaf.remote)
            m_leaves.push_back(std::move(leaf));
    }
    leaves.closeCursor();
}

void PushdownShape::readColumns(const std::shared_ptr<ConnectionState>& connection)
{
    Statement columns(connection);
    columns.prepare(ColumnQuery);
    columns.execute({m_oid});
    while (columns.fetch()) {
        QString why;
        PushdownColumn c = readColumn(connection, columns, why);
        if (!why.isEmpty())
            walkBecause(QStringLiteral("column %1 %2").arg(c.name, why));
        m_columns.push_back(std::move(c));
    }
    columns.closeCursor();
}

PushdownColumn PushdownShape::readColumn(const std::shared_ptr<ConnectionState>& connection,
                                         Statement& columns, QString& why) const
{
    PushdownColumn c;
    c.name = requiredText(columns, 1);
    c.castType = Table{requiredText(columns, 2), requiredText(columns, 3)}.qualifiedName();
    c.inputFunction = Table{requiredText(columns, 4), requiredText(columns, 5)}.qualifiedName();
    c.inputArguments = requiredText(columns, 6).toInt();
    c.inputTypeParameter = requiredText(columns, 7);
    const QString typeModifier = requiredText(columns, 8);
    const bool modified = typeModifier != u"-1";
    const bool generated = !requiredText(columns, 9).isEmpty();
    const bool alwaysIdentity = requiredText(columns, 10) == u"a";
    const QString typeText = requiredText(columns, 11);
    const QString typeOid = requiredText(columns, 12);
    const QString typeKind = requiredText(columns, 13);
    const bool domain = typeKind == u"d";
    c.takesAnyText = !modified && (typeOid == QLatin1String(TextOid) || typeOid == QLatin1String(VarcharOid));
    if (!c.takesAnyText)
        c.rounding = columnRounding(connection, typeOid, typeKind, typeModifier, c.castType, typeText);
    // The server's cast would round or cut what the record walk refuses, or the column cannot be set:
    // only the record walk gives each record its exact answer there.
    // A modifier inside an array, composite or range, and money's cents, too: the record walk compares
    // the stored text with the text given, which the server's cast would not.
    const bool rounds = modified || typeOid == QLatin1String(CharOid) || typeOid == QLatin1String(NameOid) ||
                        (!domain && (c.rounding.kind == ColumnRounding::Kind::Text ||
                                     c.rounding.kind == ColumnRounding::Kind::Digits));
    if (generated)
        why = QStringLiteral("is generated");
    else if (alwaysIdentity)
        why = QStringLiteral("is an identity column GENERATED ALWAYS");
    else if (rounds)
        why = QStringLiteral("is ") + typeText;
    else if (domain)
        why = QStringLiteral("is of the domain ") + typeText;
    return c;
}

void PushdownShape::readRules(const std::shared_ptr<ConnectionState>& connection)
{
    Statement rules(connection);
    rules.prepare(RuleQuery);
    rules.execute({m_oid});
    if (rules.fetch())
        walkBecause(QStringLiteral("rule %1 %2")
                        .arg(requiredText(rules, 1), requiredText(rules, 2) == u"true"
                                                         ? QStringLiteral("does the update instead")
                                                         : QStringLiteral("also runs on the update")));
    rules.closeCursor();
}

void PushdownShape::readKeys(const std::shared_ptr<ConnectionState>& connection)
{
    Statement keys(connection);
    keys.prepare(KeyQuery);
    keys.execute({m_oid});
    while (keys.fetch())
        m_keyColumns.push_back(requiredText(keys, 1));
    keys.closeCursor();
}

std::optional<QString> PushdownShape::walkReason(const std::shared_ptr<ConnectionState>& connection,
                                                 const PushdownPairs& pairs) const
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
            Statement probe(connection);
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

} // namespace quarvel::db
