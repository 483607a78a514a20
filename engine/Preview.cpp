#include "engine/Preview.h"

#include "core/ReplacementPlan.h"
#include "db/Connection.h"
#include "db/DbError.h"
#include "db/Pushdown.h"
#include "db/RecordSet.h"

#include <algorithm>
#include <map>
#include <optional>

namespace quarvel::engine {

namespace {

struct FieldOutcome
{
    std::optional<QString> value; // as the pairs leave it
    bool changed = false;         // some pair's replaced text would be stored
    QString refusal;              // the last refusal of a pair's replaced text
    QString refusedValue;         // and the text it refused
};

// Pair by pair as the record walk offers each replaced text to the column.
template <class Refusal>
FieldOutcome applyPairs(const std::optional<QString>& value, const ReplacementPlan& plan, Refusal&& refusal)
{
    FieldOutcome field;
    const FieldChain chain = plan.apply(value, [&](size_t, const QString& replaced) {
        const std::optional<db::DbError> refused = refusal(replaced);
        if (refused) {
            field.refusal = refused->message();
            field.refusedValue = replaced;
        }
        return refused.has_value();
    });
    field.value = chain.value;
    field.changed = chain.refused.size() < chain.matched.size();
    return field;
}

ReplacementPlan planOf(const QList<Set>& sets, bool matchingOnly)
{
    std::vector<ReplacementPair> pairs;
    for (const Set& pair : sets)
        if (!matchingOnly || !pair.find.isEmpty())
            pairs.push_back({pair.find, pair.replacement});
    return ReplacementPlan(std::move(pairs));
}

void previewTable(const PreviewRequest& request, int entry, db::Connection& connection,
                  PreviewObserver& observer, PreviewTable& out, bool& cancelled)
{
    const ReplacementPlan plan = planOf(request.pairs, false);
    db::RecordSet records;
    records.open(out.table, connection, db::LockType::ReadOnly);
    const int fields = records.fieldCount();
    const long long recordCount = records.recordCount();
    const int entryCount = int(request.tables.size());
    std::map<int, qsizetype> columnAt; // field -> place in out.columns
    std::vector<bool> searched;
    searched.reserve(size_t(std::max(fields, 0)));
    // As the run: a column the role may not update is left out.
    for (int j = 0; j < fields; ++j)
        searched.push_back(request.searches(entry, records.fieldName(j)) && records.roleMayUpdate(j));
    while (!records.isEOF()) {
        if (observer.cancelled()) {
            cancelled = true;
            return;
        }
        ++out.records;
        observer.progress(entry, entryCount, out.records, recordCount);
        bool recordChanges = false;
        for (int j = 0; j < fields; ++j) {
            if (!searched[size_t(j)])
                continue;
            const std::optional<QString> old = records.value(j);
            const FieldOutcome field =
                applyPairs(old, plan, [&](const QString& text) { return records.refusal(j, text); });
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

// The server-side run's own view of a table: the rows the server finds a find text in, batch by batch
// of pages as that run reads them, each with the server's new texts, and the column's refusal of a new
// text asked as that run asks it.
class ServerPreview
{
public:
    ServerPreview(const PreviewRequest& request, int entry, db::PushdownTable& shape,
                  PreviewObserver& observer, PreviewTable& out)
        : m_request(request), m_entry(entry), m_shape(shape), m_observer(observer), m_out(out),
          m_plan(planOf(request.pairs, true))
    {}

    // False when cancelled.
    bool run()
    {
        db::PushdownPairs pairs;
        for (const ReplacementPair& pair : m_plan.pairs())
            pairs.emplace_back(pair.find, pair.replacement);
        m_shape.setPairs(pairs);
        for (const db::PushdownLeaf& leaf : m_shape.leaves()) {
            // Batches of about as many rows as the run reads at once, so that memory stays bounded.
            constexpr long long BatchRows = 5000;
            constexpr long long NarrowRowsPerPage = 250;
            const long long step = std::max<long long>(
                1, BatchRows / (leaf.rowsPerPage > 0 ? leaf.rowsPerPage : NarrowRowsPerPage));
            for (long long page = 0; page < m_shape.pages(leaf); page += step) {
                if (m_observer.cancelled())
                    return false;
                m_out.records += m_shape.rowsIn(leaf, page, page + step);
                for (const db::PushdownPreviewRow& row : m_shape.previewBatch(leaf, page, page + step))
                    add(leaf, row);
                m_observer.progress(m_entry, int(m_request.tables.size()), m_out.records, 0);
            }
        }
        return true;
    }

private:
    void add(const db::PushdownLeaf& leaf, const db::PushdownPreviewRow& row)
    {
        bool recordChanges = false;
        for (size_t j = 0; j < row.oldValues.size(); ++j) {
            if (!row.oldValues[j])
                continue;
            const FieldOutcome field = outcome(j, *row.oldValues[j], row.newValues[j]);
            if (!field.changed && field.refusal.isEmpty())
                continue;
            recordChanges = recordChanges || field.changed;
            const QString& name = m_shape.columns()[j].name;
            auto [place, added] = m_columnAt.try_emplace(j, m_out.columns.size());
            if (added)
                m_out.columns.append(PreviewColumn{name});
            PreviewColumn& column = m_out.columns[place->second];
            column.changes += field.changed ? 1 : 0;
            column.refused += field.refusal.isEmpty() ? 0 : 1;
            if (m_out.samples.size() < m_request.sampleLimit)
                m_out.samples.append(PreviewChange{0, m_shape.rowName(leaf, row.ctid, row.key), name,
                                                   row.oldValues[j], field.value.value_or(QString()),
                                                   field.refusal, field.refusedValue});
        }
        m_out.changedRecords += recordChanges ? 1 : 0;
    }

    // As the server-side run stores the field: the server's new text, which a column that takes no text
    // it is given may refuse; where two pairs or more meet in such a column, pair by pair as the record
    // walk offers them, since it could refuse a text between two pairs.
    FieldOutcome outcome(size_t j, const QString& old, const std::optional<QString>& serverText)
    {
        const db::PushdownColumn& column = m_shape.columns()[j];
        FieldOutcome field;
        field.value = old;
        if (ReplacementPlan::goesPairByPair(m_plan.apply(old), column.takesAnyText))
            return applyPairs(old, m_plan,
                              [&](const QString& text) { return m_shape.refusal(int(j), text); });
        if (!serverText)
            return field; // found, but the pairs leave it as it was: the run does not write it
        if (const std::optional<db::DbError> refused = m_shape.refusal(int(j), *serverText)) {
            field.refusal = refused->message();
            field.refusedValue = *serverText;
            return field;
        }
        field.value = serverText;
        field.changed = true;
        return field;
    }

    const PreviewRequest& m_request;
    int m_entry;
    db::PushdownTable& m_shape;
    PreviewObserver& m_observer;
    PreviewTable& m_out;
    ReplacementPlan m_plan; // the pairs that can match: the server is given only those
    std::map<size_t, qsizetype> m_columnAt;
};

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
            std::optional<db::PushdownTable> shape;
            if (request.onServer)
                shape.emplace(connection, out.table,
                              [&request, i](const QString& column) { return request.searches(i, column); });
            const bool anyPair = std::any_of(request.pairs.cbegin(), request.pairs.cend(),
                                             [](const Set& pair) { return !pair.find.isEmpty(); });
            // A table whose columns were all dropped has nothing the server could search.
            db::PushdownPairs pairs;
            for (const Set& pair : request.pairs)
                pairs.emplace_back(pair.find, pair.replacement);
            if (shape && anyPair && !shape->columns().empty() && !shape->walkReason(pairs))
                cancelled = !ServerPreview(request, i, *shape, observer, out).run();
            else
                previewTable(request, i, connection, observer, out, cancelled);
        } catch (const db::DbError& error) {
            out.failure = error.message();
        }
    }
    return tables;
}

namespace {

QString csvField(const QString& text)
{
    if (!text.contains(u',') && !text.contains(u'"') && !text.contains(u'\r') && !text.contains(u'\n'))
        return text;
    return u'"' + QString(text).replace(QLatin1String("\""), QLatin1String("\"\"")) + u'"';
}

} // namespace

ChangeSegments sampleChange(const PreviewChange& change)
{
    return changeSegments(change.oldValue.value_or(QString()),
                          change.refusal.isEmpty() ? change.newValue : change.refusedValue);
}

QByteArray previewCsv(const QList<PreviewTable>& tables)
{
    QString text = QStringLiteral("table,record,row,column,old,new,refusal,change\r\n");
    for (const PreviewTable& table : tables)
        for (const PreviewChange& change : table.samples)
            text += QStringList{csvField(table.text),
                                QString::number(change.record),
                                csvField(change.row),
                                csvField(change.column),
                                csvField(change.oldValue.value_or(QString())),
                                csvField(change.refusal.isEmpty() ? change.newValue : change.refusedValue),
                                csvField(change.refusal),
                                csvField(changeText(sampleChange(change)))}
                        .join(u',') +
                    QStringLiteral("\r\n");
    return text.toUtf8();
}

} // namespace quarvel::engine
