#include "engine/ServerTable.h"

#include "db/Rounding.h"
#include "engine/ReplacementLog.h"

#include <QDateTime>
#include <QStringList>

#include <algorithm>
#include <map>
#include <set>
#include <stdexcept>

namespace quarvel::engine {

QString ServerTable::rowName(const db::PushdownLeaf& leaf, const QString& ctid,
                             const std::vector<QString>& key) const
{
    return namer.rowName(leaf, ctid, key);
}

std::vector<QString> RowPlan::changedTexts() const
{
    std::vector<QString> texts;
    for (int j : changed)
        texts.push_back(*expected[static_cast<size_t>(j)]);
    return texts;
}

RowPlan planRow(const ServerTable& table, const db::PushdownRow& row)
{
    RowPlan plan;
    plan.expected = row.values;
    for (size_t j = 0; j < row.values.size(); ++j) {
        const FieldChain field = table.plan.apply(row.values[j]);
        for (size_t k : field.matched)
            plan.matched.emplace_back(j, k);
        plan.expected[j] = field.value;
        // The record walk offers each pair's text to the column: such a field goes the walk's way.
        if (ReplacementPlan::goesPairByPair(field, table.columns[j].takesAnyText))
            plan.alone = true;
        if (plan.expected[j] != row.values[j]) {
            plan.changed.push_back(int(j));
            const db::PushdownColumn& column = table.columns[j];
            // A text the type would store as something else (a seventh digit of a second, two
            // jsonb keys become one) is refused, as the record walk refuses it: alone. Where only the
            // server can tell, planRows asks it for the whole batch.
            if (!column.settable() ||
                (!db::roundsBySql(column.rounding) && db::mayRound(column.rounding, *plan.expected[j])))
                plan.alone = true;
        }
    }
    return plan;
}

std::vector<RowPlan> planRows(const ServerTable& table, db::PushdownTable& on,
                              const std::vector<db::PushdownRow>& rows)
{
    std::vector<RowPlan> plans;
    plans.reserve(rows.size());
    for (const db::PushdownRow& row : rows)
        plans.push_back(planRow(table, row));
    for (size_t j = 0; j < table.columns.size(); ++j) {
        if (!db::roundsBySql(table.columns[j].rounding))
            continue;
        std::vector<size_t> asking;
        std::vector<QString> texts;
        for (size_t i = 0; i < plans.size(); ++i)
            if (!plans[i].alone && plans[i].expected[j] != rows[i].values[j]) {
                asking.push_back(i);
                texts.push_back(*plans[i].expected[j]);
            }
        const std::optional<std::set<QString>> rounded = on.roundedTexts(int(j), texts);
        for (size_t k = 0; k < asking.size(); ++k)
            if (!rounded || rounded->count(texts[k]) > 0)
                plans[asking[k]].alone = plans[asking[k]].rounded = true;
    }
    return plans;
}

db::ChangedColumns changedColumns(const RowPlan& planned, size_t columns)
{
    db::ChangedColumns changed(qsizetype(columns), u'0');
    for (int j : planned.changed)
        changed[j] = u'1';
    return changed;
}

std::exception_ptr describing(const std::exception_ptr& failure, const QString& rowName)
{
    try {
        std::rethrow_exception(failure);
    } catch (const db::DbError& e) {
        return std::make_exception_ptr(e.describing(rowName));
    } catch (...) {
        return failure;
    }
}

bool sameChange(const std::vector<std::optional<QString>>& stored, const RowPlan& planned)
{
    for (size_t j = 0; j < stored.size(); ++j) {
        const bool changed =
            std::find(planned.changed.begin(), planned.changed.end(), int(j)) != planned.changed.end();
        if (changed ? stored[j] != planned.expected[j] : stored[j].has_value())
            return false;
    }
    return true;
}

std::exception_ptr differing(const QString& rowName)
{
    return std::make_exception_ptr(std::logic_error(
        QStringLiteral(
            "The server's replacement in %1 differs from the run's; nothing of its batch was stored.")
            .arg(rowName)
            .toStdString()));
}

db::JournaledRecord journaledRecord(const ServerTable& table, const db::PushdownLeaf& leaf,
                                    const std::vector<int>& columns,
                                    const std::vector<std::optional<QString>>& oldValues,
                                    const std::vector<QString>& newValues, const db::PushdownStored& stored,
                                    long long record)
{
    db::JournaledRecord out;
    out.record = record;
    for (int j : columns) {
        out.columns.push_back(table.columns[static_cast<size_t>(j)].name);
        out.oldValues.push_back(oldValues[static_cast<size_t>(j)]);
    }
    // What the server stored, where it tells: a trigger may have made the text something else.
    out.newValues = newValues;
    for (size_t k = 0; k < columns.size(); ++k) {
        const auto j = static_cast<size_t>(columns[k]);
        if (j < stored.stored.size() && stored.stored[j])
            out.newValues[k] = *stored.stored[j];
    }
    out.key = stored.key;
    out.rowOid = stored.tableOid.isEmpty() ? leaf.oid : stored.tableOid;
    out.ctid = stored.ctid;
    out.xmin = stored.xmin;
    return out;
}

std::exception_ptr writeLogLines(const ServerTable& table, const std::vector<FieldMatch>& matches) noexcept
{
    if (matches.empty())
        return {};
    try {
        const QString now = logTimestamp(QDateTime::currentDateTime());
        std::map<FieldMatch, QString> made; // a batch's lines repeat: each made once
        QStringList lines;
        for (const FieldMatch& match : matches) {
            auto line = made.find(match);
            if (line == made.end())
                line = made.emplace(match, stampedLogLine(now, table.pairs[match.second].first,
                                                          table.pairs[match.second].second, table.tableText,
                                                          table.columns[match.first].name))
                           .first;
            lines << line->second;
        }
        AppendLogLines(lines);
    } catch (...) {
        return std::current_exception();
    }
    return {};
}

void tellLogLines(Procedure& p, RunObserver& observer, const ServerTable& table,
                  const std::vector<FieldMatch>& matches, const std::exception_ptr& failure)
{
    size_t written = failure ? 0 : matches.size();
    if (failure) {
        try {
            std::rethrow_exception(failure);
        } catch (const LogWriteError& e) {
            written = size_t(e.linesWritten());
        } catch (...) {
        }
    }
    for (size_t i = 0; i < matches.size(); ++i) {
        const QString& field = table.columns[matches[i].first].name;
        if (i < written) {
            tellReplaced(observer, field);
            continue;
        }
        reportFailure(p, table.lines.log, failure);
        tellUnlogged(observer, field);
    }
}

Settled JournalWriter::putOnRecord(db::PushdownTable& on, const QString& transaction,
                                   const std::vector<db::JournaledRecord>& records) noexcept
{
    Settled settled;
    const bool journaled = m_journal && !records.empty();
    if (journaled) {
        try {
            m_journal->storing(m_table.table, m_table.keyColumns, transaction, records);
        } catch (...) {
            on.rollback();
            m_journal->stored(false);
            settled.journalFailure = QStringLiteral("unknown failure");
            try {
                throw;
            } catch (const std::exception& e) {
                settled.journalFailure = QString::fromUtf8(e.what());
            } catch (...) {
            }
            return settled;
        }
    }
    try {
        on.commit();
    } catch (...) {
        settled.commitFailure = std::current_exception();
    }
    if (journaled)
        m_journal->stored(!settled.commitFailure);
    return settled;
}

void tellSettled(Procedure& p, const Settled& settled)
{
    if (settled.journalFailure) {
        reportFailure(p, step::Store,
                      std::make_exception_ptr(
                          db::DbError::stoppingTheRun(db::journalStoppedMessage(*settled.journalFailure))));
        throw RunStopped();
    }
    if (settled.commitFailure)
        std::rethrow_exception(settled.commitFailure);
}

PageRange PageRange::pages(const db::PushdownLeaf& leaf, long long first, long long end)
{
    return {leaf, db::PushdownTable::place(first), db::PushdownTable::place(end), first, end};
}

} // namespace quarvel::engine
