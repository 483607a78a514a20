#pragma once
// Every query that the data access layer runs against the server's catalogue (pg_catalog), in one place,
// and readers for the answers that more than one part of the layer needs. Internal to the layer.

#include "db/DbError.h"
#include "db/Table.h"

#include <QString>

#include <memory>
#include <optional>
#include <vector>

namespace quarvel::db {

struct ConnectionState;

// The catalogue queries that one part of the layer runs and reads itself, by what they answer; their
// parameters and columns are told where they are written.
enum class CatalogueQuery {
    TableNow,
    Partitions,
    PartitionKeys,
    ParentOnly,
    SkipCauses,
    TableLocks,
    DomainLevel,
    NestedModifiers,
    UserTables,
    RestoreColumns,
    EngineTable,
    Leaves,
    UpdateRules,
    SideEffects, // the last: the queries are listed in this order
};
const QString& catalogueQuery(CatalogueQuery query);

// A table or other relation as the catalogue has it now.
struct CatalogueRelation
{
    QString oid;
    QString kind;     // pg_class.relkind: "r" a plain table, "p" a partitioned one
    QString fileNode; // where its rows are stored now; "0" for none of its own
};

// The relation by schema and name, looked up by value so that no name is pasted into SQL. Throws DbError
// (42P01, in the server's wording) when there is none.
CatalogueRelation findRelation(const std::shared_ptr<ConnectionState>& connection, const Table& table);

// What a table's rows are read and changed through: a plain table without its inheritance children, which
// are entries of their own; a partitioned table, which holds no rows itself, through its partitions.
// Throws DbError (42809) for any other relation.
QString rowSource(const CatalogueRelation& relation, const Table& table);

// One column of "SELECT *" on a relation, with what a value set in it needs.
struct CatalogueColumn
{
    QString name;
    Table type;                 // the type without its modifier, by schema and name
    Table inputFunction;        // the type's input function
    int inputArguments = 1;     // how many arguments it takes
    QString inputTypeParameter; // the oid it is given (the element type for arrays)
    QString typeModifier;       // -1 for none
    bool generated = false;
    bool identityAlways = false;
    QString storedType; // the type with its modifier, as the server spells it
    QString typeOid;
    QString typeKind; // pg_type.typtype
    // The connected role may UPDATE it. A column it may not is never searched: every store of the
    // column would be refused, and with it the rest of the row's changes.
    bool updatable = true;
};

// What a value set in the column needs, into either of the layer's column descriptions.
template <class Column> void takeInput(const CatalogueColumn& found, Column& column)
{
    column.name = found.name;
    column.castType = found.type.qualifiedName();
    column.inputFunction = found.inputFunction.qualifiedName();
    column.inputArguments = found.inputArguments;
    column.inputTypeParameter = found.inputTypeParameter;
    column.typeModifier = found.typeModifier;
    column.generated = found.generated;
    column.identityAlways = found.identityAlways;
}

// Runs the column's input function on the text with the column's modifier: it raises the server's
// own error for a text the type does not take, and for one too long for varchar(n), char(n) or bit(n)
// (where a cast would cut silently). Nothing is written. Takes inputCheckParameters.
template <class Column> QString inputCheckSql(const Column& column)
{
    QString sql =
        QStringLiteral("SELECT ") + column.inputFunction + QStringLiteral("(CAST(? AS pg_catalog.cstring)");
    if (column.inputArguments >= 2)
        sql += QStringLiteral(", CAST(? AS pg_catalog.oid)");
    if (column.inputArguments >= 3)
        sql += QStringLiteral(", CAST(? AS pg_catalog.int4)");
    return sql + QStringLiteral(") IS NULL");
}

template <class Column> std::vector<QString> inputCheckParameters(const Column& column, const QString& text)
{
    std::vector<QString> parameters{text};
    if (column.inputArguments >= 2)
        parameters.push_back(column.inputTypeParameter);
    if (column.inputArguments >= 3)
        parameters.push_back(column.typeModifier);
    return parameters;
}

// What the server says of any new value for a generated or GENERATED ALWAYS identity column, before
// anything is sent; nullopt for a column that can be set.
std::optional<DbError> fixedColumnRefusal(const QString& name, bool generated, bool identityAlways);

// The columns in order. Throws DbError.
std::vector<CatalogueColumn> tableColumns(const std::shared_ptr<ConnectionState>& connection,
                                          const QString& relationOid);

// The primary key's columns in key order; none without a primary key. Throws DbError.
std::vector<QString> primaryKeyColumns(const std::shared_ptr<ConnectionState>& connection,
                                       const QString& relationOid);

// The server's encoding, as it names it ("UTF8", "SQL_ASCII"); empty when it does not say. Throws DbError.
QString serverEncoding(const std::shared_ptr<ConnectionState>& connection);

// The server's version as one number (server_version_num: 150014, 180006). Throws DbError.
int serverVersion(const std::shared_ptr<ConnectionState>& connection);

} // namespace quarvel::db
