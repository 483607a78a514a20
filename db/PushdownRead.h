#pragma once
// How the server-side run's statements name what they touch and read back what they return: one home
// for the columns every row result shares (its place, its key, its texts).

#include "db/PushdownData.h"
#include "db/Statement.h"

#include <QString>

#include <vector>

namespace quarvel::db {

// The place of a page's first row: where a range of pages begins.
QString pagePlace(long long page);

// A column's value, or the empty text for a database null where the statement always gives one.
QString requiredText(Statement& statement, SQLUSMALLINT column);

// "alias"."column", as a statement names the column on the row aliased so.
QString qualifiedColumn(const QString& alias, const PushdownColumn& column);

// The leaf itself, not its inheritance children: each of them is a leaf of its own.
QString onlyLeaf(const PushdownLeaf& leaf);

// From column at on: the key's values (a null key value reads "NULL"), then one text per column; at is
// left after the last one read.
void readKeyAndValues(Statement& statement, SQLUSMALLINT& at, size_t keys, size_t columns,
                      std::vector<QString>& key, std::vector<std::optional<QString>>& values);

// From column at on: the key's values, then each column's old and new text.
void readKeyAndTexts(Statement& statement, SQLUSMALLINT at, size_t keys, size_t columns,
                     std::vector<QString>& key, std::vector<std::optional<QString>>& oldTexts,
                     std::vector<std::optional<QString>>& newTexts);

// A row whose first column is its place, then its key and texts as above.
PushdownRow readPlacedRow(Statement& statement, size_t keys, size_t columns);

// A row whose first two columns are its place and version (the version first where versionFirst), then
// its key and texts as above.
PushdownRow readVersionedRow(Statement& statement, bool versionFirst, size_t keys, size_t columns);

// A version an UPDATE wrote: the place it had, its place and version now, then (after the transaction's
// id) its key and the new text of each of the columns.
PushdownStored readStoredRow(Statement& statement, size_t keys, size_t columns);

// From column at on, the text each column holds as stored: what the journal must hold.
void readStoredTexts(Statement& statement, SQLUSMALLINT at, size_t columns, PushdownStored& row);

} // namespace quarvel::db
