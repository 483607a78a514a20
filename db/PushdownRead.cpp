#include "db/PushdownRead.h"

namespace quarvel::db {

QString pagePlace(long long page)
{
    return QStringLiteral("(%1,0)").arg(page);
}

QString requiredText(Statement& statement, SQLUSMALLINT column)
{
    return statement.text(column).value_or(QString());
}

QString qualifiedColumn(const QString& alias, const PushdownColumn& column)
{
    return alias + u'.' + quoteIdentifier(column.name);
}

QString onlyLeaf(const PushdownLeaf& leaf)
{
    return QStringLiteral("ONLY ") + leaf.table.qualifiedName();
}

void readKeyAndValues(Statement& statement, SQLUSMALLINT& at, size_t keys, size_t columns,
                      std::vector<QString>& key, std::vector<std::optional<QString>>& values)
{
    for (size_t k = 0; k < keys; ++k)
        key.push_back(statement.text(at++).value_or(QStringLiteral("NULL")));
    for (size_t j = 0; j < columns; ++j)
        values.push_back(statement.text(at++));
}

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

PushdownRow readPlacedRow(Statement& statement, size_t keys, size_t columns)
{
    PushdownRow row;
    row.ctid = requiredText(statement, 1);
    SQLUSMALLINT at = 2;
    readKeyAndValues(statement, at, keys, columns, row.key, row.values);
    return row;
}

PushdownRow readVersionedRow(Statement& statement, bool versionFirst, size_t keys, size_t columns)
{
    PushdownRow row;
    // In the order of the columns, as the driver gives them.
    const QString first = requiredText(statement, 1);
    const QString second = requiredText(statement, 2);
    row.ctid = versionFirst ? second : first;
    row.xmin = versionFirst ? first : second;
    SQLUSMALLINT at = 3;
    readKeyAndValues(statement, at, keys, columns, row.key, row.values);
    return row;
}

PushdownStored readStoredRow(Statement& statement, size_t keys, size_t columns)
{
    PushdownStored row;
    row.oldCtid = requiredText(statement, 1);
    row.ctid = requiredText(statement, 2);
    row.xmin = requiredText(statement, 3);
    SQLUSMALLINT at = 5;
    readKeyAndValues(statement, at, keys, columns, row.key, row.values);
    return row;
}

void readStoredTexts(Statement& statement, SQLUSMALLINT at, size_t columns, PushdownStored& row)
{
    for (size_t j = 0; j < columns; ++j)
        row.stored.push_back(statement.text(at++));
}

} // namespace quarvel::db
