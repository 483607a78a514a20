#include "engine/LockingStore.h"

#include "engine/ReplacementLog.h"

#include <QDateTime>
#include <QScopeGuard>

#include <algorithm>
#include <map>
#include <set>

namespace quarvel::engine {

void SchedulerCounts::ownVersion(const QString& xmin)
{
    if (std::find(ownVersions.begin(), ownVersions.end(), xmin) == ownVersions.end())
        ownVersions.push_back(xmin);
}

void LockingStore::tellExamined(long long found)
{
    m_counts.examined += found;
    tellProgress(m_observer, m_entry, m_entryCount, m_counts.examined, 0);
}

void LockingStore::log(const std::vector<FieldMatch>& matches)
{
    tellLogLines(m_p, m_observer, m_table, matches, writeLogLines(m_table, matches));
}

void LockingStore::log(size_t column, size_t pair)
{
    const QString& field = m_table.columns[column].name;
    if (walkStep(m_p, m_table.lines.log, [&] {
            AppendLogLine(logLine(QDateTime::currentDateTime(), m_table.pairs[pair].first,
                                  m_table.pairs[pair].second, m_table.tableText, field));
        }))
        tellReplaced(m_observer, field);
    else
        tellUnlogged(m_observer, field);
}

std::exception_ptr LockingStore::commit(const QString& transaction,
                                        const std::vector<db::JournaledRecord>& records)
{
    Settled settled = m_writer.putOnRecord(m_on, transaction, records);
    if (settled.commitFailure)
        return settled.commitFailure;
    tellSettled(m_p, settled);
    m_counts.records += static_cast<long long>(records.size());
    return {};
}

Reach LockingStore::heldBatch(const PageRange& range, bool logged)
{
    Reach reach;
    const std::vector<db::PushdownRow> rows = m_holder.heldRows(range.leaf, range.from, range.to, reach.cut);
    reach.found = static_cast<long long>(rows.size());
    tellExamined(reach.found);
    if (rows.empty())
        return reach;
    m_on.begin(range.leaf);
    std::vector<db::PushdownRow> locked;
    try {
        locked = m_on.lockHeld(range.leaf, rows);
    } catch (...) {
        m_on.rollback();
        throw;
    }
    std::set<QString> taken;
    for (const db::PushdownRow& row : locked)
        taken.insert(row.ctid);
    storeLocked(range.leaf, range.from, range.to, locked, logged);
    for (const db::PushdownRow& row : rows)
        if (!taken.count(row.ctid))
            storeAlone(range.leaf, row, logged);
    return reach;
}

long long LockingStore::lockingBatch(const db::PushdownLeaf& leaf, long long first, long long end)
{
    m_on.begin();
    std::vector<db::PushdownRow> rows;
    try {
        rows = m_on.lockBatch(leaf, first, end, m_counts.ownVersions);
    } catch (...) {
        m_on.rollback();
        throw;
    }
    tellExamined(static_cast<long long>(rows.size()));
    storeLocked(leaf, db::PushdownTable::place(first), db::PushdownTable::place(end), rows, false);
    return static_cast<long long>(rows.size());
}

// The rows locked in the open transaction, within places [from, to), rewritten in one statement for
// each set of columns they change and committed with their journal; a batch the server refuses, also at
// its commit, is rolled back and each of its rows stored alone, as are rows where two pairs meet in a
// typed column. Their log lines are written unless they were (logged). Ends the transaction.
void LockingStore::storeLocked(const db::PushdownLeaf& leaf, const QString& from, const QString& to,
                               const std::vector<db::PushdownRow>& rows, bool logged)
{
    auto rolledBack = qScopeGuard([&] { m_on.rollback(); });
    const std::vector<RowPlan> plans = planRows(m_table, m_on, rows);
    std::vector<size_t> stored;
    std::vector<size_t> alone;
    std::vector<FieldMatch> matched;
    for (size_t i = 0; i < rows.size(); ++i) {
        if (plans[i].alone) {
            alone.push_back(i);
            continue;
        }
        matched.insert(matched.end(), plans[i].matched.begin(), plans[i].matched.end());
        if (!plans[i].changed.empty())
            stored.push_back(i);
    }
    // Written before the store commits, as the record walk writes them before it stores.
    if (!logged)
        log(matched);
    const std::vector<size_t> refused =
        stored.empty() ? std::vector<size_t>{} : replaceTogether(leaf, from, to, rows, plans, stored);
    // Whatever was not committed ends here, and with it the locks.
    rolledBack.dismiss();
    m_on.rollback();
    for (size_t i : refused)
        storeAlone(leaf, rows[i], true);
    for (size_t i : alone)
        storeAlone(leaf, rows[i], logged);
}

std::vector<size_t> LockingStore::replaceTogether(const db::PushdownLeaf& leaf, const QString& from,
                                                  const QString& to, const std::vector<db::PushdownRow>& rows,
                                                  const std::vector<RowPlan>& plans,
                                                  const std::vector<size_t>& stored)
{
    // One statement for each set of columns the rows change, all in one transaction.
    std::map<db::ChangedColumns, std::vector<QString>> bySet;
    for (size_t i : stored)
        bySet[changedColumns(plans[i], m_table.columns.size())].push_back(rows[i].ctid);
    QString transaction;
    std::vector<db::PushdownStored> written;
    try {
        for (const auto& [changed, ctids] : bySet) {
            std::vector<db::PushdownStored> part =
                m_on.replaceRows(leaf, from, to, ctids, changed, transaction);
            written.insert(written.end(), std::make_move_iterator(part.begin()),
                           std::make_move_iterator(part.end()));
        }
    } catch (const db::DbError& error) {
        if (error.ruinsTheTable())
            reportFailure(m_p, step::Store, std::current_exception());
        return stored;
    }
    if (written.size() != stored.size())
        return stored; // a trigger or rule skipped some: each row tells its own story
    std::map<QString, size_t> byCtid;
    for (size_t i : stored)
        byCtid.emplace(rows[i].ctid, i);
    std::vector<db::JournaledRecord> records;
    for (const db::PushdownStored& row : written) {
        const size_t i = byCtid.at(row.oldCtid);
        if (!sameChange(row.values, plans[i])) {
            m_on.rollback();
            std::rethrow_exception(differing(m_table.rowName(leaf, rows[i].ctid, rows[i].key)));
        }
        m_counts.ownVersion(row.xmin);
        records.push_back(journaledRecord(m_table, leaf, plans[i].changed, rows[i].values,
                                          plans[i].changedTexts(), row,
                                          m_counts.records + static_cast<long long>(records.size()) + 1));
    }
    // Refused at its commit (a deferred constraint, a constraint trigger), each row tells its own story.
    if (commit(transaction, records))
        return stored;
    return {};
}

// One row on its own, in a transaction of its own, as the record walk stores it. A row read in the
// table's snapshot (its xmin known) that another session changed since gets the replacement on top of
// that session's value, found by its primary key; without one, or gone, it is reported. Its log lines
// are written here unless they were (logged).
void LockingStore::storeAlone(const db::PushdownLeaf& leaf, const db::PushdownRow& read, bool logged)
{
    if (const std::optional<db::PushdownRow> row = lockAlone(leaf, read, logged))
        storeFields(leaf, *row, logged);
}

// The row locked in a transaction begun for it; nullopt, with the transaction ended, when it is not
// there to store (reported where the run must hear of it).
std::optional<db::PushdownRow> LockingStore::lockAlone(const db::PushdownLeaf& leaf,
                                                       const db::PushdownRow& read, bool logged)
{
    std::optional<db::PushdownRow> row;
    try {
        m_on.begin(leaf);
        row = m_on.lockRow(leaf, read.ctid, m_counts.ownVersions, read.xmin);
        if (!row && !read.xmin.isEmpty())
            row = m_on.lockNewest(leaf, read, m_counts.ownVersions);
        if (!row && (logged || !read.xmin.isEmpty())) {
            const bool there = !read.xmin.isEmpty() && m_on.stillThere(leaf, read);
            throw there ? m_on.skipped(leaf) : db::DbError(db::staleRowMessage(), QStringLiteral("01001"));
        }
    } catch (const db::DbError& error) {
        m_on.rollback();
        // As the record walk logs a field before it finds that its record cannot be stored.
        if (!logged)
            log(planRow(m_table, read).matched);
        reportFailure(m_p, step::Store,
                      std::make_exception_ptr(error.describing(m_table.rowName(leaf, read.ctid, read.key))));
        return std::nullopt;
    }
    if (!row)
        m_on.rollback();
    return row;
}

// Each pair's new text is offered to the column, a text it refuses is reported and the field goes on
// from its value before; then the row is stored, and the server's refusal of it is reported for this
// record alone.
void LockingStore::storeFields(const db::PushdownLeaf& leaf, const db::PushdownRow& row, bool logged)
{
    auto rolledBack = qScopeGuard([&] { m_on.rollback(); });
    const QString name = m_table.rowName(leaf, row.ctid, row.key);
    std::vector<int> changed;
    std::vector<QString> texts;
    for (size_t j = 0; j < row.values.size(); ++j) {
        const FieldChain field = m_table.plan.apply(row.values[j], [&](size_t k, const QString& next) {
            if (!logged)
                log(j, k);
            const std::optional<db::DbError> refused = m_on.refusal(int(j), next);
            if (refused)
                reportFailure(m_p, m_table.lines.store, std::make_exception_ptr(refused->describing(name)));
            return refused.has_value();
        });
        if (field.value != row.values[j]) {
            changed.push_back(int(j));
            texts.push_back(*field.value);
        }
    }
    if (changed.empty())
        return;
    QString transaction;
    std::optional<db::PushdownStored> stored;
    try {
        stored = m_on.storeRow(leaf, row.ctid, changed, texts, transaction);
        if (!stored)
            throw db::DbError(
                QStringLiteral("The row is still as it was read, but the server changed nothing "
                               "and gave no error."),
                QStringLiteral("02000"));
    } catch (const db::DbError& error) {
        m_on.rollback();
        reportFailure(m_p, step::Store, std::make_exception_ptr(error.describing(name)));
        return;
    }
    rolledBack.dismiss();
    m_counts.ownVersion(stored->xmin);
    if (const std::exception_ptr refused = commit(
            transaction,
            {journaledRecord(m_table, leaf, changed, row.values, texts, *stored, m_counts.records + 1)}))
        reportFailure(m_p, step::Store, describing(refused, name));
}

} // namespace quarvel::engine
