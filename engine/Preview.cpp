#include "engine/Preview.h"

#include "db/Connection.h"
#include "db/DbError.h"
#include "db/RecordSet.h"
#include "engine/Replace.h"

#include <map>

namespace quarvel::engine {

namespace {

struct FieldOutcome
{
    std::optional<QString> value; // as the pairs leave it
    bool changed = false;         // some pair's replaced text would be stored
    QString refusal;              // the last refusal of a pair's replaced text
    QString refusedValue;         // and the text it refused
};

FieldOutcome applyPairs(db::RecordSet& records, int j, const QList<Set>& pairs)
{
    FieldOutcome field;
    field.value = records.value(j);
    for (const Set& pair : pairs) {
        if (!matches(field.value, pair.find))
            continue;
        const QString replaced = replaceAndTrim(*field.value, pair.find, pair.replacement);
        if (const std::optional<db::DbError> refused = records.refusal(j, replaced)) {
            // The run keeps the value the field had for the pairs after this one.
            field.refusal = refused->message();
            field.refusedValue = replaced;
            continue;
        }
        field.value = replaced;
        field.changed = true;
    }
    return field;
}

void previewTable(const PreviewRequest& request, int entry, db::Connection& connection,
                  PreviewObserver& observer, PreviewTable& out, bool& cancelled)
{
    db::RecordSet records;
    records.open(out.table, connection, db::LockType::ReadOnly);
    const int fields = records.fieldCount();
    const long long recordCount = records.recordCount();
    const int entryCount = int(request.tables.size());
    std::map<int, qsizetype> columnAt; // field -> place in out.columns
    while (!records.isEOF()) {
        if (observer.cancelled()) {
            cancelled = true;
            return;
        }
        ++out.records;
        observer.progress(entry, entryCount, out.records, recordCount);
        bool recordChanges = false;
        for (int j = 0; j < fields; ++j) {
            const std::optional<QString> old = records.value(j);
            const FieldOutcome field = applyPairs(records, j, request.pairs);
            if (!field.changed && field.refusal.isEmpty())
                continue;
            recordChanges = recordChanges || field.changed;
            auto [place, added] = columnAt.try_emplace(j, out.columns.size());
            if (added)
                out.columns.append(PreviewColumn{records.fieldName(j)});
            PreviewColumn& column = out.columns[place->second];
            column.changes += field.changed ? 1 : 0;
            column.refused += field.refusal.isEmpty() ? 0 : 1;
            if (out.samples.size() < request.sampleLimit)
                out.samples.append(PreviewChange{out.records, records.recordName(), column.name, old,
                                                 field.value.value_or(QString()), field.refusal,
                                                 field.refusedValue});
        }
        out.changedRecords += recordChanges ? 1 : 0;
        records.moveNext();
    }
}

} // namespace

QList<PreviewTable> Preview(const PreviewRequest& request, PreviewObserver& observer)
{
    db::Connection connection;
    connection.open(request.connectionString);
    // The server itself refuses any write on this session, so no fault of ours can change data here.
    connection.execute(QStringLiteral("SET SESSION CHARACTERISTICS AS TRANSACTION READ ONLY"));

    QList<PreviewTable> tables;
    bool cancelled = false;
    for (int i = 0; i < request.tables.size() && !cancelled; ++i) {
        PreviewTable& out = tables.emplace_back();
        out.table = request.tables.at(i).first;
        out.text = request.tables.at(i).second;
        observer.progress(i, int(request.tables.size()), 0, 0);
        try {
            previewTable(request, i, connection, observer, out, cancelled);
        } catch (const db::DbError& error) {
            out.failure = error.message();
        }
    }
    return tables;
}

} // namespace quarvel::engine
