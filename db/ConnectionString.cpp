#include "db/Database.h"

namespace quarvel::db {

namespace {
// The connection string puts texts in as typed. Only a text that the driver would otherwise cut or
// trim is braced, so that ordinary details give the same bytes as always.
QString connectionValue(const QString& text)
{
    const bool needsBraces = text.contains(u';') || text.contains(u'{') || text.contains(u'}') ||
                             text.startsWith(u' ') || text.endsWith(u' ');
    if (!needsBraces)
        return text;
    QString braced = text;
    braced.replace(u'}', QStringLiteral("}}"));
    return u'{' + braced + u'}';
}
} // namespace

QString BuildConnectionString(const ConnectionDetails& details)
{
    return QStringLiteral("Driver={PostgreSQL Unicode};Server=") + connectionValue(details.server) +
           QStringLiteral(";Port=") + connectionValue(details.port) + QStringLiteral(";Uid=") +
           connectionValue(details.user) + QStringLiteral(";Pwd=") + connectionValue(details.password) +
           QStringLiteral(";Database=") + connectionValue(details.database);
}

} // namespace quarvel::db
