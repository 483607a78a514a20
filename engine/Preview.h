#pragma once
// The preview of a run: the same walk over the same tables with the same pairs, on a connection that
// the server keeps read-only, counting and sampling what the run would store and what the columns
// would refuse, and storing nothing, logging nothing.

#include "db/Table.h"
#include "engine/ChangeDiff.h"
#include "engine/RunRequest.h"
#include "engine/SetLists.h"

#include <QList>
#include <QString>

#include <optional>

namespace quarvel::engine {

// One field of one record as the run would leave it.
struct PreviewChange
{
    long long record = 0; // 1-based place in the walk
    QString row;          // "record at (0,3) in orders, key (id)=(5)": the key when the table has one
    QString column;
    std::optional<QString> oldValue;
    QString newValue;     // what would be stored; the old value when refused
    QString refusal;      // the server's message when the column would refuse the replaced text
    QString refusedValue; // the replaced text it would refuse
};

struct PreviewColumn
{
    QString name;
    long long changes = 0; // records whose field would change
    long long refused = 0; // records whose replaced text the column would refuse
};

struct PreviewTable
{
    db::Table table;
    QString text;                 // as the table list shows it
    long long records = 0;        // records read
    long long changedRecords = 0; // records with at least one field that would change
    QList<PreviewColumn> columns; // the columns with changes or refusals, in table order
    QList<PreviewChange> samples; // the first changes and refusals, in walk order
    QString failure;              // why the table could not be previewed (whole or in part)
};

class PreviewObserver
{
public:
    virtual ~PreviewObserver() = default;
    // Table `entry` (0-based) of `entryCount`, at `record` (0 when opened) of `recordCount`.
    virtual void progress(int entry, int entryCount, long long record, long long recordCount)
    {
        (void)entry, (void)entryCount, (void)record, (void)recordCount;
    }
    // Asked before each record; true ends the preview there, with what was seen so far.
    virtual bool cancelled() { return false; }
};

// What the preview walks: a run's request. With onServer, what the server-side run would change is found
// by the server with the same expressions that run uses, so that the counts are exactly its own; samples
// then name rows by place and key, and their record is 0. A table that run leaves to the record walk is
// previewed by the walk.
using PreviewRequest = RunRequest;

// Walks every table as a run does (or lets the server find what would change, onServer). A pair is applied to
// a field when its find text occurs in the value as the pairs before it left it; a replaced text that the
// column refuses leaves the value as it was for the next pair, as in a run. Throws db::DbError when the
// connection cannot be opened; a table that cannot be read gets its failure and the preview goes on.
QList<PreviewTable> Preview(const PreviewRequest& request, PreviewObserver& observer);

// What the sample changes, against the value the record held before the first pair: the text it would
// store or, when the column refuses, the text it would refuse. A null old value is an empty one here.
ChangeSegments sampleChange(const PreviewChange& change);

// The samples as CSV (RFC 4180: CR LF line ends, fields holding a comma, a quote or a line break quoted,
// quotes doubled), UTF-8, with a header line: table, record, row, column, old, new, refusal, change. A
// null old value is an empty field; change is the sample's change with [-removed-] and {+added+} parts.
QByteArray previewCsv(const QList<PreviewTable>& tables);

} // namespace quarvel::engine
