#include "db/Pushdown.h"

#include "db/PushdownRead.h"
#include "db/RowIdentity.h"

#include <QStringList>

namespace quarvel::db {

PushdownTable::PushdownTable(Connection& connection, const Table& table, const ColumnFilter& searched)
    : m_session(connection, LockWaitMs),
      m_shape(std::make_shared<const PushdownShape>(m_session.state(), table, searched)), m_sql(m_shape),
      m_locked(m_session, m_sql), m_batches(m_session, m_sql), m_remote(m_session, m_sql),
      m_refusal(m_session, m_shape)
{}

PushdownTable::PushdownTable(Connection& connection, const PushdownTable& shape)
    : m_session(connection, LockWaitMs), m_shape(shape.m_shape), m_sql(shape.m_sql),
      m_locked(m_session, m_sql), m_batches(m_session, m_sql), m_remote(m_session, m_sql),
      m_refusal(m_session, m_shape)
{}

PushdownTable::~PushdownTable() = default;

std::optional<QString> PushdownTable::walkReason(const PushdownPairs& pairs)
{
    return m_shape->walkReason(m_session.state(), pairs);
}

void PushdownTable::setPairs(const PushdownPairs& pairs)
{
    m_sql.setPairs(pairs);
    m_batches.forget();
    m_session.forgetPrepared();
}

long long PushdownTable::pages(const PushdownLeaf& leaf)
{
    return leaf.remote ? m_remote.pages(leaf) : m_session.localPages(leaf);
}

void PushdownTable::begin()
{
    m_session.begin();
}

void PushdownTable::begin(const PushdownLeaf& leaf, const QString& snapshot)
{
    m_session.begin(leaf, snapshot, m_shape->table());
}

void PushdownTable::commit()
{
    m_session.commit();
}

void PushdownTable::rollback() noexcept
{
    m_batches.dropAnswer();
    m_session.rollback();
}

PushdownHold PushdownTable::hold()
{
    return m_session.hold(m_shape->table(), m_shape->oid(), m_shape->leaves());
}

QString PushdownTable::place(long long page)
{
    return pagePlace(page);
}

QString PushdownTable::after(const QString& ctid)
{
    const QStringList parts = QString(ctid).remove(u'(').remove(u')').split(u',');
    if (parts.size() != 2)
        return ctid;
    return QStringLiteral("(%1,%2)").arg(parts[0], QString::number(parts[1].toLongLong() + 1));
}

std::vector<PushdownRow> PushdownTable::lockBatch(const PushdownLeaf& leaf, long long first, long long end,
                                                  const std::vector<QString>& ownVersions)
{
    if (leaf.remote)
        return m_remote.lockBatch(leaf, first, end);
    return m_locked.lockBatch(leaf, first, end, ownVersions);
}

std::optional<PushdownRow> PushdownTable::lockRow(const PushdownLeaf& leaf, const QString& ctid,
                                                  const std::vector<QString>& ownVersions,
                                                  const QString& xmin)
{
    std::optional<PushdownRow> row = m_locked.lockRow(leaf, ctid, ownVersions, xmin);
    if (row && leaf.remote)
        m_remote.rowApart(leaf, ctid);
    return row;
}

std::vector<PushdownStored> PushdownTable::replaceRows(const PushdownLeaf& leaf, const QString& from,
                                                       const QString& to, const std::vector<QString>& ctids,
                                                       const ChangedColumns& changed, QString& transaction)
{
    std::vector<PushdownStored> stored = m_locked.replaceRows(leaf, from, to, ctids, changed, transaction);
    if (leaf.remote)
        for (const PushdownStored& row : stored)
            m_remote.wrote(leaf, row.ctid);
    return stored;
}

std::vector<PushdownRow> PushdownTable::heldRows(const PushdownLeaf& leaf, const QString& from,
                                                 const QString& to, QString& cut)
{
    return m_batches.heldRows(leaf, from, to, cut);
}

std::vector<PushdownRow> PushdownTable::lockHeld(const PushdownLeaf& leaf,
                                                 const std::vector<PushdownRow>& rows)
{
    return m_locked.lockHeld(leaf, rows);
}

std::optional<PushdownRow> PushdownTable::lockNewest(const PushdownLeaf& leaf, const PushdownRow& read,
                                                     const std::vector<QString>& ownVersions)
{
    return m_locked.lockNewest(leaf, read, ownVersions);
}

bool PushdownTable::stillThere(const PushdownLeaf& leaf, const PushdownRow& row)
{
    return m_locked.stillThere(leaf, row);
}

DbError PushdownTable::skipped(const PushdownLeaf& leaf)
{
    return skippedUpdate(m_session.state(), m_shape->oid(), leaf.oid);
}

PushdownBatchHead PushdownTable::startBatch(const PushdownLeaf& leaf, const QString& from, const QString& to,
                                            const std::vector<ChangedColumns>& sets, int lockWaitMs)
{
    return m_batches.startBatch(leaf, from, to, sets, lockWaitMs);
}

PushdownBatch PushdownTable::finishBatch()
{
    return m_batches.finishBatch();
}

std::optional<PushdownStored> PushdownTable::storeRow(const PushdownLeaf& leaf, const QString& ctid,
                                                      const std::vector<int>& columns,
                                                      const std::vector<QString>& texts, QString& transaction)
{
    std::optional<PushdownStored> stored = m_locked.storeRow(leaf, ctid, columns, texts, transaction);
    if (stored && leaf.remote)
        m_remote.wrote(leaf, stored->ctid);
    return stored;
}

std::vector<PushdownPreviewRow> PushdownTable::previewBatch(const PushdownLeaf& leaf, long long first,
                                                            long long end)
{
    return m_batches.previewBatch(leaf, first, end);
}

std::vector<PushdownRow> PushdownTable::placesIn(const PushdownLeaf& leaf, const QString& from,
                                                 const QString& to)
{
    return m_locked.placesIn(leaf, from, to);
}

long long PushdownTable::rowsIn(const PushdownLeaf& leaf, long long first, long long end)
{
    return m_batches.rowsIn(leaf, first, end);
}

QString PushdownTable::rowName(const PushdownLeaf& leaf, const QString& ctid,
                               const std::vector<QString>& key) const
{
    return RowIdentity{leaf.table.displayName(), ctid, m_shape->keyColumns(), key}.text();
}

std::optional<DbError> PushdownTable::refusal(int column, const QString& text)
{
    return m_refusal.refusal(column, text);
}

std::optional<std::set<QString>> PushdownTable::roundedTexts(int column, const std::vector<QString>& texts)
{
    return m_refusal.roundedTexts(column, texts);
}

} // namespace quarvel::db
