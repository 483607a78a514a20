#pragma once
// What the server-side run reads and writes, as plain values: a table's leaves and columns, the rows a
// batch finds and the versions it stores.

#include "db/Rounding.h"
#include "db/Table.h"

#include <QString>

#include <algorithm>
#include <map>
#include <optional>
#include <utility>
#include <vector>

namespace quarvel::db {

using PushdownPairs = std::vector<std::pair<QString, QString>>;

// Which columns the replacement changes in a row: a '1' or a '0' for each column of the table's shape, in
// order. An UPDATE names only the columns its rows change, as the record walk sets only those: a trigger
// "UPDATE OF" a column, or one that recomputes a column from others, never fires for a column kept.
using ChangedColumns = QString;

struct PushdownLeaf
{
    QString oid;
    Table table;
    long long rowsPerPage = 0; // as the planner estimates it; 0 when never analysed
    bool remote = false;       // a postgres_fdw foreign table: its rows and pages are on another server
    bool lockable = true;      // the role may LOCK it for a store: it may write the table, not only columns
};

struct PushdownColumn
{
    QString name;
    QString castType;          // the type without a modifier, quoted: what the new text is cast to
    bool takesAnyText = false; // text or unbounded varchar: no text is refused
    QString inputFunction;     // for a refusal check, as the record walk makes it
    int inputArguments = 1;
    QString inputTypeParameter;
    QString typeModifier;        // -1 for none
    bool generated = false;      // generated and GENERATED ALWAYS identity columns refuse every new value,
    bool identityAlways = false; // and are never set
    ColumnRounding rounding;     // what the type makes of a text it takes, as the record walk checks it
    QString textAlphabet;        // every character the type's text form can hold; empty when any

    // Whether some find text can occur in the column's text form: a text with a character the form never
    // holds occurs in no value, nor in what the pairs before would make of it, as none matches first.
    bool mayHold(const PushdownPairs& pairs) const
    {
        if (textAlphabet.isEmpty())
            return true;
        for (const auto& [find, replacement] : pairs)
            if (!find.isEmpty() &&
                std::all_of(find.begin(), find.end(), [&](QChar c) { return textAlphabet.contains(c); }))
                return true;
        return false;
    }

    bool settable() const { return !generated && !identityAlways; }
};

// A row a batch found holding some find text, locked until the batch ends.
struct PushdownRow
{
    QString ctid;
    QString xmin;                               // the version read, where the statement tells it
    std::vector<QString> key;                   // primary key values as read
    std::vector<std::optional<QString>> values; // every column, in PostgreSQL's text form; from a batch,
                                                // only those some find text matches (the others null)
};

// A row version a batch's UPDATE wrote.
struct PushdownStored
{
    QString oldCtid;
    QString ctid;
    QString xmin;
    QString tableOid;                           // the leaf it is in now, where a store may move it
    std::vector<QString> key;                   // primary key values after the store
    std::vector<std::optional<QString>> values; // the new text of each column, before the type took it;
                                                // from a batch, null where the column is left as it was
    std::vector<std::optional<QString>> stored; // by column, the text the server stored where it is not
                                                // the new text (a trigger changed it); else null
};

// A row some find text occurs in, with what the server's replacement makes of it: what a run would
// write there, as a preview reads it.
struct PushdownPreviewRow
{
    QString ctid;
    std::vector<QString> key;
    std::vector<std::optional<QString>> oldValues; // the text of each column some find text matches
    std::vector<std::optional<QString>> newValues; // the new text of each column the pairs change
};

// What one statement made of a batch of pages, as told first: how many rows some find text occurs in
// (found), how many of them the replacement changes (meant), and the ids the stored versions carry.
struct PushdownBatchHead
{
    long long found = 0;
    long long meant = 0;
    QString transaction;
    QString xmin; // empty when nothing was stored
    QString cut;  // the place of the last row taken when the batch held more than a batch may: the rows
                  // after it in the range were left for the next batch; empty when it took them all
    // What the rows meant change, each set once: a row whose set the statement was not given is not
    // written, and the batch must go again.
    std::vector<ChangedColumns> changed;
};

// A batch's bounds, beyond its pages: rows found, and bytes of their texts (the first row always goes).
struct PushdownCap
{
    long long rows = 10000;
    long long bytes = 8 << 20;
};

// A table's run as one snapshot: taken under a lock that keeps any rewrite of the table out, with the
// size of each leaf then. Every row version visible in it lies within those pages.
struct PushdownHold
{
    QString snapshot;
    std::map<QString, long long> pages; // by leaf oid
};

// Then every row some find text occurs in, as it was, and for each row the replacement changes, the
// version written: fewer stored than meant means something on the server passed some over (a trigger,
// row security), and the batch must be done again the locking way.
struct PushdownBatch
{
    std::vector<PushdownRow> rows;
    std::vector<std::optional<PushdownStored>> stored; // by row; nullopt where the replacement changes
                                                       // nothing (or the row was passed over)
};

} // namespace quarvel::db
