#include "db/Database.h"

#include "db/Catalogue.h"
#include "db/Connection.h"
#include "db/RecordSet.h"

namespace quarvel::db {

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
    RecordSet tables = connection.execute(catalogueQuery(CatalogueQuery::UserTables));
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
