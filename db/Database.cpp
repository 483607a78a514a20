#include "db/Database.h"

#include "db/Connection.h"
#include "db/RecordSet.h"

namespace quarvel::db {

namespace {
// The user's tables: plain tables (inheritance children included, each its own entry) and
// partitioned tables once, without their partitions. Schemas beginning with "pg_" are the server's own
// (pg_catalog, pg_toast, every session's pg_temp_n) and no user can create one, so they are left out
// with information_schema. The prefix is compared as plain text: a LIKE pattern would need a backslash
// before the '_', and with standard_conforming_strings off the server eats that backslash and then
// drops schemas such as "pgsales" too. Sorted as the table list shows them, by code point.
const QString CatalogueQuery =
    QStringLiteral("SELECT n.nspname::pg_catalog.text, c.relname::pg_catalog.text "
                   "FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
                   "WHERE c.relkind IN ('r', 'p') AND NOT c.relispartition "
                   "AND pg_catalog.substr(n.nspname, 1, 3) <> 'pg_' AND n.nspname <> 'information_schema' "
                   "ORDER BY (CASE WHEN n.nspname = 'public' THEN c.relname::pg_catalog.text "
                   "ELSE n.nspname || '.' || c.relname END) COLLATE \"C\", n.nspname COLLATE \"C\", "
                   "c.relname COLLATE \"C\"");
} // namespace

bool CanConnect(const QString& connectionString) noexcept
{
    try {
        Connection connection;
        connection.open(connectionString);
        return connection.isOpen();
    } catch (...) {
        return false;
    }
}

bool CanConnect(const ConnectionDetails& details) noexcept
{
    try {
        return CanConnect(BuildConnectionString(details));
    } catch (...) {
        return false;
    }
}

QString ConnectionTest::failureMessage(const ConnectionDetails& details)
{
    const QString problem = connectionDetailsProblem(details);
    return QStringLiteral("Could not connect. Please check with your administrator.") +
           (problem.isEmpty() ? QString() : QStringLiteral("\r\n\r\n") + problem);
}

void FillTableList(const QString& connectionString, TableListSink& list)
{
    Connection connection;
    connection.open(connectionString);
    RecordSet tables = connection.execute(CatalogueQuery);
    const long long count = tables.recordCount();
    for (long long i = 0; i < count && !tables.isEOF(); ++i) {
        list.processEvents();
        list.appendTable(Table{tables.value(0).value_or(QString()), tables.value(1).value_or(QString())});
        tables.moveNext();
    }
    tables.close();
    connection.close();
}

} // namespace quarvel::db
