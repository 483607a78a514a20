#include "db/Table.h"

namespace quarvel::db {

QString quoteIdentifier(const QString& identifier)
{
    QString quoted = identifier;
    quoted.replace(u'"', QStringLiteral("\"\""));
    return u'"' + quoted + u'"';
}

QString Table::displayName() const
{
    return schema == u"public" ? name : schema + u'.' + name;
}

QString Table::qualifiedName() const
{
    return quoteIdentifier(schema) + u'.' + quoteIdentifier(name);
}

} // namespace quarvel::db
