#pragma once
// How a row is named to the user, in both engines' failures, the preview's samples and the undo's report:
// where it was (its ctid), in which table, and its primary key where the table has one. One shape, so
// that the same row reads the same whichever part of the program speaks of it.

#include <QString>

#include <vector>

namespace quarvel::db {

struct RowIdentity
{
    QString table;                   // as the table list shows it (Table::displayName)
    QString place;                   // the ctid, "(0,5)"; empty when not known
    std::vector<QString> keyColumns; // the primary key's columns, in key order; none without a key
    std::vector<QString> key;        // their values, "NULL" for a null; named only when one per column

    // "record at (0,5) in orders, key (id)=(5)".
    QString text() const;
};

} // namespace quarvel::db
