#pragma once
// What a RecordSet holds while open. Internal to the data access layer.

#include "db/ConnectionState.h"
#include "db/RecordSet.h"
#include "db/Statement.h"

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
};

struct RecordSetState
{
    ConnectionState* connection = nullptr;
    CursorLocation location = CursorLocation::Server;
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

    // Only for a table opened for changes.
    QString updateTarget; // the quoted table name, with ONLY for a plain table
    std::vector<ColumnInfo> columns;
    std::set<int> changed;
    std::map<std::vector<int>, Statement> updates; // one prepared UPDATE per set of changed fields
    std::map<int, Statement> checks;               // one prepared check per field

    RecordSetState() = default;
    RecordSetState(const RecordSetState&) = delete;
    RecordSetState& operator=(const RecordSetState&) = delete;
    ~RecordSetState() { release(); }

    // Registers with the connection, whose close then releases this first.
    void attach(ConnectionState& owner);
    // Frees every statement and forgets the rows; the record set is then closed. Never fails.
    void release() noexcept;
};

// The result of a query, on its first row. Throws DbError.
std::unique_ptr<RecordSetState> openQuery(ConnectionState& connection, const QString& sql);

} // namespace quarvel::db
