#include "db/Catalogue.h"

#include "db/ConnectionState.h"
#include "db/Statement.h"

#include <array>

namespace quarvel::db {

namespace {

// The relation named by schema and name, looked up by value so that no name is pasted into SQL, with
// the storage file its rows are in now.
const QString RelationQuery = QStringLiteral(
    "SELECT c.oid::pg_catalog.text, c.relkind::pg_catalog.text, "
    "COALESCE(pg_catalog.pg_relation_filenode(c.oid), 0)::pg_catalog.text FROM pg_catalog.pg_class c "
    "JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
    "WHERE n.nspname = CAST(? AS pg_catalog.name) AND c.relname = CAST(? AS pg_catalog.name)");

// What the table named by schema and name is now, and the storage file of the relation (a partition)
// given by oid: tells a table rewritten or replaced since it was read.
const QString TableNowQuery = QStringLiteral(
    "SELECT (SELECT c.oid::pg_catalog.text FROM pg_catalog.pg_class c "
    "JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
    "WHERE n.nspname = CAST(? AS pg_catalog.name) AND c.relname = CAST(? AS pg_catalog.name)), "
    "COALESCE(pg_catalog.pg_relation_filenode(CAST(? AS pg_catalog.oid)), 0)::pg_catalog.text");

// The leaf partitions that a row may be stored through directly: ones the user may update and that
// have no row security of their own (a partition's policies are not its parent's).
const QString PartitionsQuery = QStringLiteral(
    "SELECT t.relid::pg_catalog.oid::pg_catalog.text, "
    "COALESCE(pg_catalog.pg_relation_filenode(t.relid), 0)::pg_catalog.text, n.nspname::pg_catalog.text, "
    "c.relname::pg_catalog.text, "
    "(pg_catalog.has_table_privilege(t.relid, 'UPDATE') AND NOT c.relrowsecurity)::pg_catalog.text, "
    "EXISTS (SELECT 1 FROM pg_catalog.pg_foreign_table ft "
    "JOIN pg_catalog.pg_foreign_server fs ON fs.oid = ft.ftserver "
    "JOIN pg_catalog.pg_foreign_data_wrapper w ON w.oid = fs.srvfdw "
    "WHERE ft.ftrelid = t.relid AND w.fdwname = 'postgres_fdw')::pg_catalog.text "
    "FROM pg_catalog.pg_partition_tree(CAST(CAST(? AS pg_catalog.oid) AS pg_catalog.regclass)) t "
    "JOIN pg_catalog.pg_class c ON c.oid = t.relid JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
    "WHERE t.isleaf");

// The partition key columns of every level; a null name is a key expression.
const QString PartitionKeysQuery = QStringLiteral(
    "SELECT a.attname::pg_catalog.text "
    "FROM pg_catalog.pg_partition_tree(CAST(CAST(? AS pg_catalog.oid) AS pg_catalog.regclass)) t "
    "JOIN pg_catalog.pg_partitioned_table p ON p.partrelid = t.relid "
    "CROSS JOIN LATERAL pg_catalog.unnest(CAST(p.partattrs AS pg_catalog.int2[])) AS k(attnum) "
    "LEFT JOIN pg_catalog.pg_attribute a ON a.attrelid = t.relid AND a.attnum = k.attnum");

// What makes an update through the partitioned table itself differ from one through its partition:
// row security, statement-level UPDATE triggers and UPDATE rules on the parent. Any of them: store
// through the parent.
const QString ParentOnlyQuery = QStringLiteral(
    "SELECT (c.relrowsecurity OR EXISTS (SELECT FROM pg_catalog.pg_trigger g WHERE g.tgrelid = c.oid "
    "AND (g.tgtype::pg_catalog.int4 & 17) = 16) OR EXISTS (SELECT FROM pg_catalog.pg_rewrite r "
    "WHERE r.ev_class = c.oid AND r.ev_type = '2'))::pg_catalog.text "
    "FROM pg_catalog.pg_class c WHERE c.oid = CAST(? AS pg_catalog.oid)");

// What can make an UPDATE of a row that is there change nothing without an error, on the table read
// or on the partition holding the row: enabled BEFORE UPDATE row triggers, INSTEAD rules for UPDATE,
// row security.
const QString SkipCausesQuery = QStringLiteral(
    "SELECT 'trigger', g.tgname::pg_catalog.text FROM pg_catalog.pg_trigger g "
    "WHERE g.tgrelid IN (CAST(? AS pg_catalog.oid), CAST(? AS pg_catalog.oid)) AND NOT g.tgisinternal "
    "AND g.tgenabled <> 'D' AND (g.tgtype::pg_catalog.int4 & 19) = 19 "
    "UNION ALL SELECT 'rule', r.rulename::pg_catalog.text FROM pg_catalog.pg_rewrite r "
    "WHERE r.ev_class IN (CAST(? AS pg_catalog.oid), CAST(? AS pg_catalog.oid)) AND r.ev_type = '2' "
    "AND r.is_instead "
    "UNION ALL SELECT 'policy', '' FROM pg_catalog.pg_class c "
    "WHERE c.oid IN (CAST(? AS pg_catalog.oid), CAST(? AS pg_catalog.oid)) AND c.relrowsecurity");

// The columns of "SELECT *" on the relation, in order, with what a set value needs and whether the
// connected role may update it: a grant on the table or on the column itself.
const QString ColumnsQuery = QStringLiteral(
    "SELECT a.attname::pg_catalog.text, tn.nspname::pg_catalog.text, t.typname::pg_catalog.text, "
    "pn.nspname::pg_catalog.text, p.proname::pg_catalog.text, p.pronargs::pg_catalog.text, "
    "(CASE WHEN t.typelem <> 0 THEN t.typelem ELSE t.oid END)::pg_catalog.text, "
    "a.atttypmod::pg_catalog.text, a.attgenerated::pg_catalog.text, a.attidentity::pg_catalog.text, "
    "pg_catalog.format_type(a.atttypid, a.atttypmod), t.oid::pg_catalog.text, t.typtype::pg_catalog.text, "
    "pg_catalog.has_column_privilege(a.attrelid, a.attnum, 'UPDATE')::pg_catalog.text "
    "FROM pg_catalog.pg_attribute a "
    "JOIN pg_catalog.pg_type t ON t.oid = a.atttypid "
    "JOIN pg_catalog.pg_namespace tn ON tn.oid = t.typnamespace "
    "JOIN pg_catalog.pg_proc p ON p.oid = t.typinput "
    "JOIN pg_catalog.pg_namespace pn ON pn.oid = p.pronamespace "
    "WHERE a.attrelid = CAST(? AS pg_catalog.oid) AND a.attnum > 0 AND NOT a.attisdropped "
    "ORDER BY a.attnum");

// One level of a domain: what it is over, and whether it has a modifier of its own.
const QString DomainLevelQuery = QStringLiteral(
    "SELECT t.typtype::pg_catalog.text, t.typbasetype::pg_catalog.text, t.typtypmod::pg_catalog.text, "
    "n.nspname::pg_catalog.text, t.typname::pg_catalog.text FROM pg_catalog.pg_type t "
    "JOIN pg_catalog.pg_namespace n ON n.oid = t.typnamespace WHERE t.oid = CAST(? AS pg_catalog.oid)");

// Whether a modifier, "char" or name is found anywhere inside the type: an array's elements, a
// composite's fields, a range's subtype, a domain's base, at any depth.
const QString NestedModifiersQuery = QStringLiteral(
    "WITH RECURSIVE t(oid, modifier, depth) AS (SELECT CAST(? AS pg_catalog.oid), -1, 0 UNION ALL "
    "SELECT x.oid, x.modifier, t.depth + 1 FROM t JOIN pg_catalog.pg_type y ON y.oid = t.oid "
    "CROSS JOIN LATERAL (SELECT y.typbasetype, y.typtypmod WHERE y.typtype = 'd' "
    "UNION ALL SELECT y.typelem, t.modifier WHERE y.typelem <> 0 AND y.typsubscript = "
    "'pg_catalog.array_subscript_handler'::pg_catalog.regproc "
    "UNION ALL SELECT a.atttypid, a.atttypmod FROM pg_catalog.pg_attribute a WHERE y.typtype = 'c' "
    "AND a.attrelid = y.typrelid AND a.attnum > 0 AND NOT a.attisdropped "
    "UNION ALL SELECT r.rngsubtype, -1 FROM pg_catalog.pg_range r WHERE r.rngtypid = y.oid "
    "UNION ALL SELECT r.rngtypid, -1 FROM pg_catalog.pg_range r WHERE r.rngmultitypid = y.oid) "
    "AS x(oid, modifier) WHERE t.depth < 32) "
    "SELECT pg_catalog.count(*)::pg_catalog.text FROM t WHERE t.depth > 0 AND (t.modifier <> -1 OR t.oid IN "
    "(18, 19))");

// The user's tables: plain tables (inheritance children included, each its own entry) and
// partitioned tables once, without their partitions. Schemas beginning with "pg_" are the server's own
// (pg_catalog, pg_toast, every session's pg_temp_n) and no user can create one, so they are left out
// with information_schema. The prefix is compared as plain text: a LIKE pattern would need a backslash
// before the '_', and with standard_conforming_strings off the server eats that backslash and then
// drops schemas such as "pgsales" too. Sorted as the table list shows them, by code point.
const QString UserTablesQuery =
    QStringLiteral("SELECT n.nspname::pg_catalog.text, c.relname::pg_catalog.text "
                   "FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
                   "WHERE c.relkind IN ('r', 'p') AND NOT c.relispartition "
                   "AND pg_catalog.substr(n.nspname, 1, 3) <> 'pg_' AND n.nspname <> 'information_schema' "
                   "ORDER BY (CASE WHEN n.nspname = 'public' THEN c.relname::pg_catalog.text "
                   "ELSE n.nspname || '.' || c.relname END) COLLATE \"C\", n.nspname COLLATE \"C\", "
                   "c.relname COLLATE \"C\"");

// The columns of the table, by name, each with its type without and with its modifier. The type without
// its modifier by its own name: format_type spells bpchar and bit without one as "character" and "bit",
// which a cast reads as character(1) and bit(1), cutting what is put back.
const QString RestoreColumnsQuery = QStringLiteral(
    "SELECT a.attname::pg_catalog.text, pg_catalog.quote_ident(n.nspname::pg_catalog.text) || '.' || "
    "pg_catalog.quote_ident(t.typname::pg_catalog.text), pg_catalog.format_type(a.atttypid, a.atttypmod) "
    "FROM pg_catalog.pg_attribute a JOIN pg_catalog.pg_type t ON t.oid = a.atttypid JOIN "
    "pg_catalog.pg_namespace n ON n.oid = t.typnamespace WHERE a.attrelid = CAST(? AS pg_catalog.oid) AND "
    "a.attnum > 0 AND NOT a.attisdropped");

// What else runs when a row of the table is updated: its rules and its UPDATE triggers.
const QString SideEffectsQuery = QStringLiteral(
    "SELECT 'rule ' || pg_catalog.quote_ident(r.rulename::pg_catalog.text) FROM pg_catalog.pg_rewrite r "
    "WHERE r.ev_class = CAST(? AS pg_catalog.oid) AND r.ev_type = '2' UNION ALL SELECT 'trigger ' || "
    "pg_catalog.quote_ident(g.tgname::pg_catalog.text) FROM pg_catalog.pg_trigger g WHERE g.tgrelid = "
    "CAST(? AS pg_catalog.oid) AND NOT g.tgisinternal AND g.tgenabled <> 'D' AND "
    "(g.tgtype::pg_catalog.int4 & 16) <> 0 ORDER BY 1");

// The fields of a table's primary key, in key order.
const QString PrimaryKeyQuery =
    QStringLiteral("SELECT a.attname::pg_catalog.text FROM pg_catalog.pg_index i "
                   "CROSS JOIN LATERAL pg_catalog.unnest(CAST(i.indkey AS pg_catalog.int2[])) WITH "
                   "ORDINALITY AS k(attnum, n) "
                   "JOIN pg_catalog.pg_attribute a ON a.attrelid = i.indrelid AND a.attnum = k.attnum "
                   "WHERE i.indrelid = CAST(? AS pg_catalog.oid) AND i.indisprimary ORDER BY k.n");

// A lock that another session holds or waits for on the whole table or one of its partitions (their
// oids), of a kind that holds every row of it alike.
const QString TableLocksQuery = QStringLiteral(
    "SELECT 1 FROM pg_catalog.pg_locks WHERE locktype = 'relation' AND "
    "pid <> pg_catalog.pg_backend_pid() AND relation IN (CAST(? AS pg_catalog.oid), "
    "CAST(? AS pg_catalog.oid)) AND mode IN ('ShareLock', 'ShareRowExclusiveLock', 'ExclusiveLock', "
    "'AccessExclusiveLock')");

QString required(Statement& statement, SQLUSMALLINT column)
{
    return statement.text(column).value_or(QString());
}

// The prepared query run with the parameters, before its first row.
Statement asked(const std::shared_ptr<ConnectionState>& connection, const QString& sql,
                const std::vector<QString>& parameters)
{
    Statement query(connection);
    query.prepare(sql);
    query.execute(parameters);
    return query;
}

// A plain or partitioned table by schema and name: one the server engine can take.
const QString EngineTableQuery =
    QStringLiteral("SELECT c.oid::pg_catalog.text FROM pg_catalog.pg_class c "
                   "JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
                   "WHERE n.nspname = CAST(? AS pg_catalog.name) AND c.relname = CAST(? AS pg_catalog.name) "
                   "AND c.relkind IN ('r', 'p')");

// The relations that hold the table's rows: the table itself when it is plain (its inheritance children
// are entries of their own), else every leaf partition. Last, whether the role may LOCK it in ROW
// EXCLUSIVE mode, which a grant on the table gives and a grant on its columns does not.
const QString LeavesQuery = QStringLiteral(
    "SELECT c.oid::pg_catalog.text, n.nspname::pg_catalog.text, c.relname::pg_catalog.text, "
    "c.relkind::pg_catalog.text, "
    "(CASE WHEN c.relpages > 0 AND c.reltuples > 0 THEN c.reltuples / c.relpages ELSE 0 END)"
    "::pg_catalog.int8::pg_catalog.text, "
    "COALESCE((SELECT w.fdwname::pg_catalog.text FROM pg_catalog.pg_foreign_table ft "
    "JOIN pg_catalog.pg_foreign_server fs ON fs.oid = ft.ftserver "
    "JOIN pg_catalog.pg_foreign_data_wrapper w ON w.oid = fs.srvfdw WHERE ft.ftrelid = c.oid), ''), "
    "pg_catalog.has_table_privilege(c.oid, 'INSERT, UPDATE, DELETE, TRUNCATE')::pg_catalog.text "
    "FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
    "WHERE c.oid IN (SELECT t.relid FROM pg_catalog.pg_partition_tree(CAST(CAST(? AS pg_catalog.oid) AS "
    "pg_catalog.regclass)) t WHERE t.isleaf) OR (c.oid = CAST(? AS pg_catalog.oid) AND c.relkind <> 'p') "
    "ORDER BY c.oid");

// Rules that rewrite an UPDATE of the table: its rows would not be stored as the statement says.
const QString UpdateRulesQuery = QStringLiteral(
    "SELECT r.rulename::pg_catalog.text, r.is_instead::pg_catalog.text FROM pg_catalog.pg_rewrite r "
    "WHERE r.ev_class = CAST(? AS pg_catalog.oid) AND r.ev_type = '2' ORDER BY r.is_instead DESC, "
    "r.rulename");

} // namespace

const QString& catalogueQuery(CatalogueQuery query)
{
    // In the order of the names.
    static const std::array<const QString*, 14> queries{
        &TableNowQuery,    &PartitionsQuery,  &PartitionKeysQuery,   &ParentOnlyQuery, &SkipCausesQuery,
        &TableLocksQuery,  &DomainLevelQuery, &NestedModifiersQuery, &UserTablesQuery, &RestoreColumnsQuery,
        &EngineTableQuery, &LeavesQuery,      &UpdateRulesQuery,     &SideEffectsQuery};
    return *queries.at(static_cast<size_t>(query));
}

CatalogueRelation findRelation(const std::shared_ptr<ConnectionState>& connection, const Table& table)
{
    Statement lookup = asked(connection, RelationQuery, {table.schema, table.name});
    if (!lookup.fetch())
        throw DbError(QStringLiteral("relation \"%1.%2\" does not exist").arg(table.schema, table.name),
                      QStringLiteral("42P01"));
    CatalogueRelation relation{required(lookup, 1), required(lookup, 2), required(lookup, 3)};
    lookup.closeCursor();
    return relation;
}

QString rowSource(const CatalogueRelation& relation, const Table& table)
{
    if (relation.kind == u"r")
        return QStringLiteral("ONLY ") + table.qualifiedName();
    if (relation.kind == u"p")
        return table.qualifiedName();
    throw DbError(QStringLiteral("\"%1\" is not a table").arg(table.displayName()), QStringLiteral("42809"));
}

std::optional<DbError> fixedColumnRefusal(const QString& name, bool generated, bool identityAlways)
{
    if (generated)
        return DbError(QStringLiteral("Column \"%1\" is a generated column and cannot be changed.").arg(name),
                       QStringLiteral("428C9"));
    if (identityAlways)
        return DbError(QStringLiteral("Column \"%1\" is an identity column defined as GENERATED ALWAYS and "
                                      "cannot be changed.")
                           .arg(name),
                       QStringLiteral("428C9"));
    return std::nullopt;
}

std::vector<CatalogueColumn> tableColumns(const std::shared_ptr<ConnectionState>& connection,
                                          const QString& relationOid)
{
    Statement query = asked(connection, ColumnsQuery, {relationOid});
    std::vector<CatalogueColumn> columns;
    while (query.fetch()) {
        CatalogueColumn column;
        column.name = required(query, 1);
        column.type = Table{required(query, 2), required(query, 3)};
        column.inputFunction = Table{required(query, 4), required(query, 5)};
        column.inputArguments = required(query, 6).toInt();
        column.inputTypeParameter = required(query, 7);
        column.typeModifier = required(query, 8);
        column.generated = !required(query, 9).isEmpty();
        column.identityAlways = required(query, 10) == u"a";
        column.storedType = required(query, 11);
        column.typeOid = required(query, 12);
        column.typeKind = required(query, 13);
        column.updatable = required(query, 14) == u"true";
        columns.push_back(std::move(column));
    }
    query.closeCursor();
    return columns;
}

std::vector<QString> primaryKeyColumns(const std::shared_ptr<ConnectionState>& connection,
                                       const QString& relationOid)
{
    Statement keys = asked(connection, PrimaryKeyQuery, {relationOid});
    std::vector<QString> names;
    while (keys.fetch())
        names.push_back(required(keys, 1));
    keys.closeCursor();
    return names;
}

QString serverEncoding(const std::shared_ptr<ConnectionState>& connection)
{
    Statement encoding(connection);
    encoding.executeDirect(QStringLiteral("SELECT pg_catalog.current_setting('server_encoding')"));
    QString name = encoding.fetch() ? required(encoding, 1) : QString();
    encoding.closeCursor();
    return name;
}

int serverVersion(const std::shared_ptr<ConnectionState>& connection)
{
    Statement version(connection);
    version.executeDirect(QStringLiteral("SELECT pg_catalog.current_setting('server_version_num')"));
    const int number = version.fetch() ? required(version, 1).toInt() : 0;
    version.closeCursor();
    return number;
}

} // namespace quarvel::db
