#pragma once
// What a RecordSet holds while open. Internal to the data access layer.

#include "db/ConnectionState.h"
#include "db/RecordSet.h"
#include "db/Rounding.h"
#include "db/Statement.h"
#include "db/StoreJournal.h"
#include "db/Table.h"
#include "db/Transaction.h"

#include <QString>
#include <QStringList>

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

namespace quarvel::db {

// What the layer needs to know about one column of a table to check and store a text for it.
struct ColumnInfo
{
    QString name;
    // The column's type without its modifier, schema-qualified and quoted: the cast target of a set
    // value. The modifier (length, precision) is then applied by the assignment, which refuses what
    // does not fit instead of cutting it.
    QString castType;
    // The type's input function, which also applies the modifier with the assignment's rules; it
    // checks a text at once without touching the table.
    QString inputFunction;
    int inputArguments = 1;
    QString inputTypeParameter; // the oid the input function is given (the element type for arrays)
    QString typeModifier;       // the column's modifier, -1 for none
    bool generated = false;
    bool identityAlways = false;
    bool updatable = true; // by the connected role

    // How a text that the type takes is checked for being stored as something else.
    ColumnRounding rounding;
    // text and unbounded varchar take any text the connection can carry: no check before the store.
    bool takesAnyText = false;
    QString storedType; // the column's type with its modifier, as the server spells it
};

// A record left with changes, waiting to be stored: what it sets, and which row version it was read as.
struct PendingRow
{
    long long record = 0;
    QString row;                   // how the user is told which record it was
    std::vector<QString> values;   // of the changed fields, in field order
    std::vector<QString> identity; // tableoid, ctid, xmin, storage file
    qsizetype bytes = 0;
    // Only with a journal: the changed fields as read, and the primary key as the store leaves it.
    std::vector<std::optional<QString>> oldValues;
    std::vector<QString> key;
};

struct Batch
{
    std::vector<PendingRow> rows;
    qsizetype bytes = 0;
};

using StoreKey = std::pair<QString, std::vector<int>>; // target, changed fields

// Owned by its RecordSet alone; held by shared pointer so that the connection it is attached to can
// watch it without a pointer that could dangle. The owners of handles are declared parent first:
// members go in reverse order, so that even without release() no statement would outlive the
// connection it lives on.
struct RecordSetState
{
    // The connection that changes are checked and stored on (and, for a query, read from); set while
    // attached to it.
    std::shared_ptr<ConnectionState> connection;
    // The reading connection: a cursor in a read-only transaction, its snapshot and lock held until
    // the record set closes.
    std::optional<Connection> reader;
    std::optional<Transaction> reading; // on the reader, rolled back when it closes

    bool open = false;
    bool updatable = false;
    bool eof = true;
    long long count = 0;
    QString source;
    QStringList names;

    // The result; the driver keeps it whole, the record set holds the current row only. On a table
    // the fields are followed by the row identity (tableoid, ctid, xmin), which is not a field.
    std::optional<Statement> rows;
    std::vector<std::optional<QString>> current;
    std::vector<std::optional<QString>> original; // the current record as read, for naming it by key

    // Only for a table opened for changes.
    Table table;
    QString relationOid;
    QString updateTarget; // the quoted table name, with ONLY for a plain table
    std::vector<ColumnInfo> columns;
    std::set<int> changed;
    // The storage file of the table (or of each partition) when it was read, by relation oid: a
    // rewrite (VACUUM FULL, CLUSTER, TRUNCATE, ALTER TABLE) moves rows to other places under a new one.
    std::map<QString, QString> fileNodes;
    // A partition's own name, by oid, so that a row is stored through the one partition holding it;
    // not used when a changed field is part of a partition key, since the row may then have to move.
    std::map<QString, QString> partitionTargets;
    std::set<QString> partitionKeyColumns;
    bool partitionKeyExpressions = false;
    // One prepared UPDATE per target and set of changed fields, for one row and for a batch.
    std::map<StoreKey, Statement> updates;
    std::map<StoreKey, Statement> batchUpdates;
    std::map<StoreKey, Batch> batches;
    std::vector<StoreFailure> failures;
    int batchRows = 1;
    RecordSet::StoreCounts counts;
    bool asciiOnly = false;             // a SQL_ASCII database: no character past ASCII is brought in
    std::vector<int> keyFields;         // the primary key's fields, in key order
    long long record = 0;               // the current record, from 1
    std::map<int, Statement> checks;    // one prepared check per field
    std::map<int, Statement> roundings; // one prepared rounding check per field
    int lockTimeoutMs = RecordSet::DefaultLockTimeoutMs;
    StoreJournal* journal = nullptr; // not owned

    RecordSetState() = default;
    RecordSetState(const RecordSetState&) = delete;
    RecordSetState& operator=(const RecordSetState&) = delete;
    ~RecordSetState() { release(); }

    // Frees every statement, closes the reading connection, detaches from the connection and forgets
    // the rows; the record set is then closed. Never fails.
    void release() noexcept;
};

// The result of a query, on its first row, attached to the connection. Throws DbError.
std::shared_ptr<RecordSetState> openQuery(ConnectionState& connection, const QString& sql);

} // namespace quarvel::db
