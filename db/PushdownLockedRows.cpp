#include "db/PushdownLockedRows.h"

#include "db/DbError.h"
#include "db/PushdownRead.h"
#include "db/PushdownSession.h"
#include "db/PushdownShape.h"
#include "db/PushdownSql.h"
#include "db/Statement.h"

#include <QStringList>

#include <map>

namespace quarvel::db {

PushdownLockedRows::PushdownLockedRows(PushdownSession& session, const PushdownSql& sql)
    : m_session(session), m_sql(sql)
{}

std::vector<PushdownRow> PushdownLockedRows::lockBatch(const PushdownLeaf& leaf, long long first,
                                                       long long end, const std::vector<QString>& ownVersions)
{
    const std::vector<PushdownColumn>& columns = m_sql.shape().columns();
    // Only the texts of columns some find text matches come back: the others keep their values.
    QString selected = QStringLiteral("q.ctid::pg_catalog.text") + m_sql.keyTexts(QStringLiteral("q"));
    const QStringList tests = m_sql.columnTests(QStringLiteral("q"));
    for (size_t j = 0; j < columns.size(); ++j)
        selected += QStringLiteral(", CASE WHEN ") + tests[int(j)] + QStringLiteral(" THEN ") +
                    qualifiedColumn(QStringLiteral("q"), columns[j]) +
                    QStringLiteral("::pg_catalog.text END");
    const QString sql =
        QStringLiteral("SELECT ") + selected + QStringLiteral(" FROM ") + onlyLeaf(leaf) +
        QStringLiteral(" AS q, (SELECT CAST(? AS pg_catalog.text[]) AS f) AS p "
                       "WHERE q.ctid >= CAST(? AS pg_catalog.tid) AND q.ctid < CAST(? AS pg_catalog.tid) "
                       "AND NOT (q.xmin = ANY (CAST(? AS pg_catalog.xid[]))) AND (") +
        tests.join(QStringLiteral(" OR ")) + QStringLiteral(") FOR UPDATE OF q");
    Statement& query = m_session.prepared(sql);
    query.execute(
        {m_sql.pairParameters().front(), pagePlace(first), pagePlace(end), arrayLiteral(ownVersions)});
    std::vector<PushdownRow> rows;
    while (query.fetch())
        rows.push_back(readPlacedRow(query, m_sql.shape().keyColumns().size(), columns.size()));
    query.closeCursor();
    return rows;
}

std::optional<PushdownRow> PushdownLockedRows::lockRow(const PushdownLeaf& leaf, const QString& ctid,
                                                       const std::vector<QString>& ownVersions,
                                                       const QString& xmin)
{
    const QString sql =
        QStringLiteral("SELECT ") + m_sql.rowColumns() + QStringLiteral(" FROM ") + onlyLeaf(leaf) +
        QStringLiteral(" AS q WHERE q.ctid = CAST(? AS pg_catalog.tid) "
                       "AND NOT (q.xmin = ANY (CAST(? AS pg_catalog.xid[])))") +
        (xmin.isEmpty() ? QString() : QStringLiteral(" AND q.xmin = CAST(? AS pg_catalog.xid)")) +
        QStringLiteral(" FOR UPDATE OF q");
    Statement& query = m_session.prepared(sql);
    // A foreign leaf's xmin reads as 0 whatever the version: its own versions are known by place instead.
    std::vector<QString> parameters{ctid, arrayLiteral(leaf.remote ? std::vector<QString>() : ownVersions)};
    if (!xmin.isEmpty())
        parameters.push_back(xmin);
    query.execute(parameters);
    std::optional<PushdownRow> row;
    if (query.fetch()) {
        row = readPlacedRow(query, m_sql.shape().keyColumns().size(), m_sql.shape().columns().size());
        row->xmin = xmin;
    }
    query.closeCursor();
    return row;
}

std::vector<PushdownRow> PushdownLockedRows::lockHeld(const PushdownLeaf& leaf,
                                                      const std::vector<PushdownRow>& rows)
{
    std::vector<QString> ctids;
    std::map<QString, QString> versions;
    for (const PushdownRow& row : rows) {
        ctids.push_back(row.ctid);
        versions.emplace(row.ctid, row.xmin);
    }
    const QString sql =
        QStringLiteral("SELECT q.xmin::pg_catalog.text, ") + m_sql.rowColumns() + QStringLiteral(" FROM ") +
        onlyLeaf(leaf) +
        QStringLiteral(" AS q WHERE q.ctid = ANY (CAST(? AS pg_catalog.tid[])) FOR UPDATE OF q "
                       "SKIP LOCKED");
    Statement& query = m_session.prepared(sql);
    query.execute({arrayLiteral(ctids)});
    std::vector<PushdownRow> locked;
    while (query.fetch()) {
        PushdownRow row =
            readVersionedRow(query, true, m_sql.shape().keyColumns().size(), m_sql.shape().columns().size());
        // Another version at the same place is not the row that was read.
        const auto read = versions.find(row.ctid);
        if (read != versions.end() && read->second == row.xmin)
            locked.push_back(std::move(row));
    }
    query.closeCursor();
    return locked;
}

std::optional<PushdownRow> PushdownLockedRows::lockNewest(const PushdownLeaf& leaf, const PushdownRow& read,
                                                          const std::vector<QString>& ownVersions)
{
    // The version read cannot be pruned while the table's snapshot is held, so its chain of updates
    // leads from it to the row's newest version and never to another row; a key, which another session
    // may have given to another row meanwhile, is never asked. A chain that ends where it began is a row
    // deleted or moved to another leaf.
    Statement& chain =
        m_session.prepared(QStringLiteral("SELECT pg_catalog.currtid2(CAST(? AS pg_catalog.text), CAST(? AS "
                                          "pg_catalog.tid))::pg_catalog.text"));
    // Changed again between the two statements, the row is looked for once more along its chain.
    constexpr int Tries = 3;
    for (int tried = 0; tried < Tries; ++tried) {
        chain.execute({leaf.table.qualifiedName(), read.ctid});
        const QString newest = chain.fetch() ? requiredText(chain, 1) : QString();
        chain.closeCursor();
        if (newest.isEmpty() || newest == read.ctid)
            return std::nullopt;
        if (std::optional<PushdownRow> row = lockRow(leaf, newest, ownVersions, QString()))
            return row;
    }
    return std::nullopt;
}

std::vector<PushdownRow> PushdownLockedRows::placesIn(const PushdownLeaf& leaf, const QString& from,
                                                      const QString& to)
{
    const size_t keys = m_sql.shape().keyColumns().size();
    std::vector<PushdownRow> rows;
    // A key the driver cannot carry either leaves every row named by its place alone.
    for (const bool withKeys : {true, false}) {
        if (!withKeys && keys == 0)
            break;
        Statement& query = m_session.prepared(
            QStringLiteral("SELECT s.ctid::pg_catalog.text") +
            (withKeys ? m_sql.keyTexts(QStringLiteral("s")) : QString()) + QStringLiteral(" FROM ") +
            onlyLeaf(leaf) +
            QStringLiteral(" AS s WHERE s.ctid >= CAST(? AS pg_catalog.tid) AND s.ctid < CAST(? AS "
                           "pg_catalog.tid) ORDER BY s.ctid"));
        try {
            query.execute({from, to});
            while (query.fetch()) {
                rows.push_back(readPlacedRow(query, withKeys ? keys : 0, 0));
            }
            query.closeCursor();
            return rows;
        } catch (const DbError& error) {
            query.closeCursor();
            rows.clear();
            if (!error.notCarried() || !withKeys)
                throw;
        }
    }
    return rows;
}

bool PushdownLockedRows::stillThere(const PushdownLeaf& leaf, const PushdownRow& row)
{
    Statement& query = m_session.prepared(QStringLiteral("SELECT 1 FROM ") + onlyLeaf(leaf) +
                                          QStringLiteral(" AS q WHERE q.ctid = CAST(? AS pg_catalog.tid) AND "
                                                         "q.xmin = CAST(? AS pg_catalog.xid)"));
    query.execute({row.ctid, row.xmin});
    const bool there = query.fetch();
    query.closeCursor();
    return there;
}

QString PushdownLockedRows::replacementUpdate(const PushdownLeaf& leaf, const ChangedColumns& changed) const
{
    const std::vector<PushdownColumn>& columns = m_sql.shape().columns();
    const QString last = m_sql.lastStep();
    QStringList selected{QStringLiteral("s.ctid AS ct")};
    QStringList sets;
    QString newTexts;
    for (size_t j = 0; j < columns.size(); ++j) {
        const PushdownColumn& c = columns[j];
        const QString number = QString::number(j);
        selected << QStringLiteral("x0.c") + number + QStringLiteral(" AS o") + number +
                        QStringLiteral(", ") + last + QStringLiteral(".c") + number +
                        QStringLiteral(" AS n") + number;
        newTexts += QStringLiteral(", CASE WHEN v.n%1 IS DISTINCT FROM v.o%1 THEN v.n%1 END").arg(j);
        // Only the columns the rows change are named: a column kept is not set, not even to itself.
        if (changed.at(qsizetype(j)) == u'1')
            sets << quoteIdentifier(c.name) + QStringLiteral(" = CAST(v.n") + number +
                        QStringLiteral(" AS ") + c.castType + u')';
    }
    return QStringLiteral("UPDATE ") + onlyLeaf(leaf) + QStringLiteral(" AS q SET ") +
           sets.join(QStringLiteral(", ")) + QStringLiteral(" FROM (SELECT ") +
           selected.join(QStringLiteral(", ")) + u' ' + m_sql.replacementChain(leaf, QStringLiteral("s")) +
           QStringLiteral(" WHERE s.ctid >= CAST(? AS pg_catalog.tid) AND s.ctid < CAST(? AS "
                          "pg_catalog.tid) AND s.ctid = ANY (CAST(? AS pg_catalog.tid[]))) AS v "
                          "WHERE q.ctid = v.ct AND q.ctid >= CAST(? AS pg_catalog.tid) AND q.ctid < "
                          "CAST(? AS pg_catalog.tid) AND q.ctid = ANY (CAST(? AS pg_catalog.tid[])) "
                          "RETURNING v.ct::pg_catalog.text, ") +
           m_sql.returning() + newTexts + m_sql.storedTexts(QStringLiteral("v.n%1 IS DISTINCT FROM v.o%1"));
}

std::vector<PushdownStored> PushdownLockedRows::replaceRows(const PushdownLeaf& leaf, const QString& from,
                                                            const QString& to,
                                                            const std::vector<QString>& ctids,
                                                            const ChangedColumns& changed,
                                                            QString& transaction)
{
    const size_t keys = m_sql.shape().keyColumns().size();
    const size_t columns = m_sql.shape().columns().size();
    // Both sides of the join are bounded by the batch's pages: given only the list of places, the planner
    // takes a few thousand of them for a reason to read the whole table, twice, in every batch.
    std::vector<QString> parameters = m_sql.pairParameters();
    const QString places = arrayLiteral(ctids);
    for (int side = 0; side < 2; ++side)
        parameters.insert(parameters.end(), {from, to, places});
    Statement& update = m_session.prepared(replacementUpdate(leaf, changed));
    std::vector<PushdownStored> stored;
    if (update.execute(parameters)) {
        while (update.fetch()) {
            transaction = requiredText(update, 4);
            stored.push_back(readStoredRow(update, keys, columns));
            readStoredTexts(update, SQLUSMALLINT(5 + keys + columns), columns, stored.back());
        }
    }
    update.closeCursor();
    return stored;
}

std::optional<PushdownStored>
PushdownLockedRows::storeOne(const QString& sql, const std::vector<QString>& parameters, const QString& ctid,
                             const std::vector<int>& columns, const std::vector<QString>& texts,
                             QString& transaction)
{
    const size_t keys = m_sql.shape().keyColumns().size();
    Statement& update = m_session.prepared(sql);
    std::optional<PushdownStored> stored;
    if (update.execute(parameters) && update.fetch()) {
        PushdownStored row = readStoredRow(update, keys, 0);
        transaction = requiredText(update, 4);
        row.tableOid = requiredText(update, SQLUSMALLINT(5 + keys));
        row.stored.resize(m_sql.shape().columns().size());
        auto at = SQLUSMALLINT(6 + keys);
        for (int j : columns)
            row.stored[static_cast<size_t>(j)] = update.text(at++);
        row.oldCtid = ctid;
        for (const QString& text : texts)
            row.values.emplace_back(text);
        stored = std::move(row);
    }
    update.closeCursor();
    return stored;
}

std::optional<PushdownStored> PushdownLockedRows::storeRow(const PushdownLeaf& leaf, const QString& ctid,
                                                           const std::vector<int>& columns,
                                                           const std::vector<QString>& texts,
                                                           QString& transaction)
{
    const PushdownShape& shape = m_sql.shape();
    QStringList sets;
    QString storedColumns;
    for (int j : columns) {
        const PushdownColumn& c = shape.columns()[static_cast<size_t>(j)];
        sets << quoteIdentifier(c.name) + QStringLiteral(" = CAST(CAST(? AS pg_catalog.text) AS ") +
                    c.castType + u')';
        storedColumns += QStringLiteral(", ") + qualifiedColumn(QStringLiteral("q"), c) +
                         QStringLiteral("::pg_catalog.text");
    }
    const QString tail = QStringLiteral(" RETURNING q.ctid::pg_catalog.text, ") + m_sql.returning() +
                         QStringLiteral(", q.tableoid::pg_catalog.text") + storedColumns;
    std::vector<QString> parameters = texts;
    parameters.push_back(ctid);
    try {
        return storeOne(QStringLiteral("UPDATE ") + onlyLeaf(leaf) + QStringLiteral(" AS q SET ") +
                            sets.join(QStringLiteral(", ")) +
                            QStringLiteral(" WHERE q.ctid = CAST(? AS pg_catalog.tid)") + tail,
                        parameters, ctid, columns, texts, transaction);
    } catch (const DbError& error) {
        // A new partition key that the partition refuses: through the table itself, the row moves to the
        // partition that takes it, as the record walk stores it.
        if (error.sqlState() != u"23514" || leaf.remote || leaf.oid == shape.oid())
            throw;
    }
    parameters.insert(parameters.end() - 1, leaf.oid);
    return storeOne(QStringLiteral("UPDATE ") + shape.table().qualifiedName() + QStringLiteral(" AS q SET ") +
                        sets.join(QStringLiteral(", ")) +
                        QStringLiteral(" WHERE q.tableoid = CAST(? AS pg_catalog.oid) AND q.ctid = CAST(? AS "
                                       "pg_catalog.tid)") +
                        tail,
                    parameters, ctid, columns, texts, transaction);
}

} // namespace quarvel::db
