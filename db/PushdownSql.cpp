#include "db/PushdownSql.h"

#include "db/PushdownRead.h"
#include "db/PushdownShape.h"
#include "db/Statement.h"

#include <algorithm>

namespace quarvel::db {

PushdownSql::PushdownSql(std::shared_ptr<const PushdownShape> shape) : m_shape(std::move(shape))
{
    setPairs({});
}

void PushdownSql::setPairs(const PushdownPairs& pairs)
{
    m_pairs = pairs;
    m_plan = ReplacementPlan(pairs);
    m_mayHold.clear();
    for (const PushdownColumn& column : m_shape->columns())
        m_mayHold.push_back(column.mayHold(pairs));
}

QString PushdownSql::columnText(const QString& alias, size_t column) const
{
    if (!m_mayHold[column])
        return QStringLiteral("CAST(NULL AS pg_catalog.text)");
    return qualifiedColumn(alias, m_shape->columns()[column]) + QStringLiteral("::pg_catalog.text");
}

// The chain is the run's replacement plan as SQL: the server computes exactly what the record walk would.
QString PushdownSql::replacementChain(const PushdownLeaf& leaf, const QString& alias) const
{
    QStringList texts;
    for (size_t j = 0; j < m_shape->columns().size(); ++j)
        texts << columnText(alias, j);
    return QStringLiteral("FROM ") + onlyLeaf(leaf) + QStringLiteral(" AS ") + alias +
           QStringLiteral(" CROSS JOIN (SELECT CAST(? AS pg_catalog.text[]) AS f, "
                          "CAST(? AS pg_catalog.text[]) AS r) AS p") +
           m_plan.sqlChainSteps(texts, pairTexts(), QStringLiteral("x"));
}

std::vector<SqlPairTexts> PushdownSql::pairTexts() const
{
    return m_plan.sqlArrayElements(QStringLiteral("p.f"), QStringLiteral("p.r"));
}

QString PushdownSql::lastStep() const
{
    return QStringLiteral("x%1").arg(m_pairs.size());
}

QString PushdownSql::holdsSomeFind(const QString& text) const
{
    return m_plan.sqlAnyHolds(text, pairTexts());
}

QStringList PushdownSql::columnTests(const QString& alias) const
{
    QStringList tests;
    for (size_t j = 0; j < m_shape->columns().size(); ++j)
        tests << (m_mayHold[j] ? holdsSomeFind(columnText(alias, j)) : QStringLiteral("false"));
    return tests;
}

// A batch's rows are counted and weighed before any is read or written, so that one dense stretch after
// many empty pages comes back a batch at a time: the cut is always at a place, so the rows after it are
// the next batch's.
QString PushdownSql::cappedPlaces(const PushdownLeaf& leaf) const
{
    const std::vector<PushdownColumn>& columns = m_shape->columns();
    const QStringList tests = columnTests(QStringLiteral("s"));
    // What a row found weighs while its batch is in hand: each text it holds comes back old and new, and
    // is held by the driver, the batch and the journal's record, each with a cost of its own; and every
    // column has its slots in each row whether its texts are there or not. So a batch of rows of many
    // columns holds about as much memory as one of few, however short their texts.
    constexpr int CopiesOfAText = 4;
    constexpr int TextCost = 160;
    constexpr int ColumnCost = 96;
    QStringList bytes{QString::number(ColumnCost * qsizetype(columns.size()))};
    for (size_t j = 0; j < columns.size(); ++j)
        bytes << QStringLiteral("CASE WHEN ") + tests[int(j)] + QStringLiteral(" THEN ") +
                     QString::number(CopiesOfAText) + QStringLiteral(" * pg_catalog.octet_length(") +
                     qualifiedColumn(QStringLiteral("s"), columns[j]) +
                     QStringLiteral("::pg_catalog.text) + ") + QString::number(TextCost) +
                     QStringLiteral(" ELSE 0 END");
    return QStringLiteral("f AS MATERIALIZED (SELECT s.ctid AS ct, ") + bytes.join(QStringLiteral(" + ")) +
           QStringLiteral(" AS b FROM ") + onlyLeaf(leaf) +
           QStringLiteral(" AS s, (SELECT CAST(? AS pg_catalog.text[]) AS f) AS p WHERE s.ctid >= CAST(? AS "
                          "pg_catalog.tid) AND s.ctid < CAST(? AS pg_catalog.tid) AND (") +
           tests.join(QStringLiteral(" OR ")) +
           // Where all the rows found fit the cap, as nearly always, they are taken without being put in
           // order and counted one by one: the window below then never runs.
           QStringLiteral(
               ")), c AS (SELECT CAST(? AS pg_catalog.int8) AS rows, CAST(? AS pg_catalog.int8) AS bytes, "
               "(SELECT pg_catalog.count(*) FROM f) AS found, (SELECT pg_catalog.sum(f.b) FROM f) AS total), "
               "a AS (SELECT c.found <= c.rows AND COALESCE(c.total, 0) < c.bytes AS fits FROM c), "
               "k AS MATERIALIZED (SELECT f.ct FROM f WHERE (SELECT a.fits FROM a) UNION ALL "
               "SELECT z.ct FROM (SELECT f.ct, pg_catalog.row_number() OVER w AS n, "
               "pg_catalog.sum(f.b) OVER w - f.b AS before FROM f WINDOW w AS (ORDER BY f.ct ROWS "
               "UNBOUNDED PRECEDING)) AS z WHERE NOT (SELECT a.fits FROM a) AND z.n <= (SELECT c.rows "
               "FROM c) AND (z.n = 1 OR z.before < (SELECT c.bytes FROM c)))");
}

std::vector<QString> PushdownSql::cappedParameters(const QString& from, const QString& to) const
{
    return {pairParameters().front(), from, to, QString::number(std::max<long long>(1, m_cap.rows)),
            QString::number(m_cap.bytes)};
}

std::vector<QString> PushdownSql::pairParameters() const
{
    return {arrayLiteral(m_plan.finds()), arrayLiteral(m_plan.replacements())};
}

QString PushdownSql::cutPlace()
{
    return QStringLiteral(
        "CASE WHEN (SELECT c.found FROM c) > (SELECT pg_catalog.count(*) FROM k) THEN (SELECT "
        "k.ct::pg_catalog.text FROM k ORDER BY k.ct DESC LIMIT 1) END COLLATE \"C\"");
}

QString PushdownSql::keyTexts(const QString& alias) const
{
    QString sql;
    for (const QString& key : m_shape->keyColumns())
        sql +=
            QStringLiteral(", ") + alias + u'.' + quoteIdentifier(key) + QStringLiteral("::pg_catalog.text");
    return sql;
}

QString PushdownSql::rowColumns() const
{
    QString sql = QStringLiteral("q.ctid::pg_catalog.text") + keyTexts(QStringLiteral("q"));
    for (const PushdownColumn& c : m_shape->columns())
        sql += QStringLiteral(", ") + qualifiedColumn(QStringLiteral("q"), c) +
               QStringLiteral("::pg_catalog.text");
    return sql;
}

// As RETURNING gives it, only where it is not the new text itself (a trigger changed it, or the type
// spells it its own way): the rows of a batch come back no larger than they were.
QString PushdownSql::storedTexts(const QString& set) const
{
    const std::vector<PushdownColumn>& columns = m_shape->columns();
    QString sql;
    for (size_t j = 0; j < columns.size(); ++j) {
        const QString stored =
            qualifiedColumn(QStringLiteral("q"), columns[j]) + QStringLiteral("::pg_catalog.text");
        sql += QStringLiteral(", CASE WHEN %2 AND %3 IS DISTINCT FROM v.n%1 THEN %3 END")
                   .arg(QString::number(j), set.arg(j), stored);
    }
    return sql;
}

QString PushdownSql::returning() const
{
    return QStringLiteral("q.ctid::pg_catalog.text, q.xmin::pg_catalog.text, "
                          "pg_catalog.txid_current()::pg_catalog.text") +
           keyTexts(QStringLiteral("q"));
}

} // namespace quarvel::db
