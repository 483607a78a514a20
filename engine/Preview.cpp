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

namespace {

QString elided(QStringView text, qsizetype keep, bool keepEnd)
{
    if (text.size() <= keep)
        return text.toString();
    return keepEnd ? QStringLiteral("...") + text.right(keep).toString()
                   : text.left(keep).toString() + QStringLiteral("...");
}

QString csvField(const QString& text)
{
    if (!text.contains(u',') && !text.contains(u'"') && !text.contains(u'\r') && !text.contains(u'\n'))
        return text;
    return u'"' + QString(text).replace(QLatin1String("\""), QLatin1String("\"\"")) + u'"';
}

} // namespace

ShownChange shownChange(const std::optional<QString>& before, const QString& after, qsizetype context)
{
    if (!before)
        return {QStringLiteral("NULL"), elided(after, 2 * context, false)};
    const QString& old = *before;
    qsizetype prefix = 0;
    while (prefix < old.size() && prefix < after.size() && old[prefix] == after[prefix])
        ++prefix;
    qsizetype suffix = 0;
    while (suffix < old.size() - prefix && suffix < after.size() - prefix &&
           old[old.size() - 1 - suffix] == after[after.size() - 1 - suffix])
        ++suffix;
    const QString head = elided(QStringView(old).left(prefix), context, true);
    const QString tail = elided(QStringView(old).right(suffix), context, false);
    const auto middle = [&](const QString& value) {
        const QStringView part = QStringView(value).mid(prefix, value.size() - prefix - suffix);
        // A middle of megabytes is cut in its own middle, so both of its ends show.
        const QString shown =
            part.size() <= 2 * context
                ? part.toString()
                : part.left(context).toString() + QStringLiteral("...") + part.right(context).toString();
        return head + QStringLiteral("\u00AB") + shown + QStringLiteral("\u00BB") + tail;
    };
    return {middle(old), middle(after)};
}

QByteArray previewCsv(const QList<PreviewTable>& tables)
{
    QString text = QStringLiteral("table,record,row,column,old,new,refusal\r\n");
    for (const PreviewTable& table : tables)
        for (const PreviewChange& change : table.samples)
            text += QStringList{csvField(table.text),
                                QString::number(change.record),
                                csvField(change.row),
                                csvField(change.column),
                                csvField(change.oldValue.value_or(QString())),
                                csvField(change.refusal.isEmpty() ? change.newValue : change.refusedValue),
                                csvField(change.refusal)}
                        .join(u',') +
                    QStringLiteral("\r\n");
    return text.toUtf8();
}

} // namespace quarvel::engine
