#include "db/RowIdentity.h"

#include <QStringList>

namespace quarvel::db {

QString RowIdentity::text() const
{
    QString name = place.isEmpty() ? QStringLiteral("record in %1").arg(table)
                                   : QStringLiteral("record at %1 in %2").arg(place, table);
    // A key that does not match its columns would name another row: left out rather than guessed.
    if (keyColumns.empty() || key.size() != keyColumns.size())
        return name;
    return name + QStringLiteral(", key (%1)=(%2)")
                      .arg(QStringList(keyColumns.begin(), keyColumns.end()).join(QStringLiteral(", ")),
                           QStringList(key.begin(), key.end()).join(QStringLiteral(", ")));
}

} // namespace quarvel::db
