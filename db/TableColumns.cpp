#include "db/TableColumns.h"

#include "db/Catalogue.h"
#include "db/Connection.h"
#include "db/ConnectionState.h"

namespace quarvel::db {

std::vector<TableColumns> ReadTableColumns(const QString& connectionString, const std::vector<Table>& tables)
{
    Connection connection;
    connection.open(connectionString);
    const std::shared_ptr<ConnectionState> state = connection.state().shared_from_this();
    std::vector<TableColumns> out;
    for (const Table& table : tables) {
        TableColumns listed{table, {}};
        for (const CatalogueColumn& found : tableColumns(state, findRelation(state, table).oid))
            listed.columns.push_back({found.name, found.storedType,
                                      found.generated        ? QStringLiteral("generated")
                                      : found.identityAlways ? QStringLiteral("identity GENERATED ALWAYS")
                                                             : QString(),
                                      found.updatable});
        out.push_back(std::move(listed));
    }
    connection.close();
    return out;
}

} // namespace quarvel::db
