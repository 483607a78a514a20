#include "db/PushdownBatches.h"

#include "db/DbError.h"
#include "db/PushdownRead.h"
#include "db/PushdownSession.h"
#include "db/PushdownShape.h"
#include "db/PushdownSql.h"
#include "db/Statement.h"

#include <QStringList>

#include <algorithm>

namespace quarvel::db {

namespace {

// After the row's kind, which of its texts the row holds, in the order of the answer's texts (before and
// after for each column, then as stored): the reader asks the driver only for those there, as each ask
// costs about as much as planning the row. Written rows (u) hold all three kinds; a row found unchanged
// only its texts before. A bit for each text, in numbers of FlagBits bits joined by commas: summing
// numbers costs the server less than joining a character for each text.
constexpr size_t FlagBits = 62;

QString presentTexts(const PushdownShape& shape, const QString& rows, bool written)
{
    const size_t columns = shape.columns().size();
    std::vector<QString> texts; // empty where the text is never there
    for (size_t j = 0; j < columns; ++j) {
        texts.push_back(QStringLiteral("o%1").arg(j));
        texts.push_back(written ? QStringLiteral("n%1").arg(j) : QString());
    }
    for (size_t j = 0; j < columns; ++j)
        texts.push_back(written ? QStringLiteral("s%1").arg(j) : QString());
    QStringList numbers;
    for (size_t first = 0; first < texts.size(); first += FlagBits) {
        QStringList bits{QStringLiteral("CAST(0 AS pg_catalog.int8)")};
        for (size_t i = first; i < std::min(texts.size(), first + FlagBits); ++i)
            if (!texts[i].isEmpty())
                bits << QStringLiteral("CASE WHEN ") + rows + u'.' + texts[i] +
                            QStringLiteral(" IS NULL THEN 0 ELSE ") +
                            QString::number(quint64(1) << (i - first)) + QStringLiteral(" END");
        numbers << u'(' + bits.join(QStringLiteral(" + ")) + QStringLiteral(")::pg_catalog.text");
    }
    return numbers.join(QStringLiteral(" || ',' || "));
}

// The texts a row holds, as its kind (read) tells them; empty where it tells nothing, and every text is
// then read.
std::vector<quint64> presentFlags(const QString& kind)
{
    std::vector<quint64> numbers;
    if (kind.size() > 1)
        for (const QStringView number : QStringView(kind).mid(1).split(u','))
            numbers.push_back(number.toULongLong());
    return numbers;
}

// The names of the columns of the rows written, so that presentTexts can name them.
QString writtenNames(const PushdownShape& shape)
{
    const size_t columns = shape.columns().size();
    QStringList names{QStringLiteral("ct"), QStringLiteral("nct"), QStringLiteral("nxm")};
    for (size_t k = 0; k < shape.keyColumns().size(); ++k)
        names << QStringLiteral("k%1").arg(k);
    for (size_t j = 0; j < columns; ++j)
        names << QStringLiteral("o%1").arg(j) << QStringLiteral("n%1").arg(j);
    for (size_t j = 0; j < columns; ++j)
        names << QStringLiteral("s%1").arg(j);
    return names.join(QStringLiteral(", "));
}

// A text of the answer's row, where its flags do not say it is NULL: the flag-th text.
std::optional<QString> presentText(Statement& statement, const std::vector<quint64>& flags, size_t at,
                                   size_t flag)
{
    const size_t number = flag / FlagBits;
    if (number < flags.size() && (flags[number] & (quint64(1) << (flag % FlagBits))) == 0)
        return std::nullopt;
    return statement.text(SQLUSMALLINT(at));
}

// One row of a batch's answer after its head: a row written, or one found that the replacement leaves as
// it was.
void readAnswerRow(Statement& statement, const PushdownShape& shape, PushdownBatch& batch)
{
    const size_t keys = shape.keyColumns().size();
    const size_t columns = shape.columns().size();
    const QString kind = requiredText(statement, 1);
    const bool written = kind.startsWith(u'1');
    const std::vector<quint64> flags = presentFlags(kind);
    PushdownRow row;
    row.ctid = requiredText(statement, 2);
    row.values.reserve(columns);
    PushdownStored stored;
    stored.values.reserve(columns);
    if (written) {
        stored.oldCtid = row.ctid;
        stored.ctid = requiredText(statement, 3);
        stored.xmin = requiredText(statement, 4);
    }
    for (size_t k = 0; k < keys; ++k)
        stored.key.push_back(statement.text(SQLUSMALLINT(5 + k)).value_or(QStringLiteral("NULL")));
    const size_t texts = 5 + keys;
    for (size_t j = 0; j < columns; ++j) {
        row.values.push_back(presentText(statement, flags, texts + 2 * j, 2 * j));
        stored.values.push_back(presentText(statement, flags, texts + 2 * j + 1, 2 * j + 1));
    }
    if (written) {
        for (size_t j = 0; j < columns; ++j)
            stored.stored.push_back(presentText(statement, flags, texts + 2 * columns + j, 2 * columns + j));
        row.key = stored.key;
    }
    batch.rows.push_back(std::move(row));
    if (written)
        batch.stored.emplace_back(std::move(stored));
    else
        batch.stored.emplace_back();
}

} // namespace

PushdownBatches::PushdownBatches(PushdownSession& session, const PushdownSql& sql)
    : m_session(session), m_sql(sql)
{}

QString PushdownBatches::setList(const ChangedColumns& changed) const
{
    const std::vector<PushdownColumn>& columns = m_sql.shape().columns();
    QStringList sets;
    for (size_t j = 0; j < columns.size(); ++j)
        if (changed.at(qsizetype(j)) == u'1')
            sets << quoteIdentifier(columns[j].name) + QStringLiteral(" = CAST(v.n") + QString::number(j) +
                        QStringLiteral(" AS ") + columns[j].castType + u')';
    return sets.join(QStringLiteral(", "));
}

QString PushdownBatches::batchUpdate(const PushdownLeaf& leaf, const ChangedColumns& changed) const
{
    const size_t columns = m_sql.shape().columns().size();
    QStringList texts;
    for (size_t j = 0; j < columns; ++j)
        texts << QStringLiteral("v.o%1, v.n%1").arg(j);
    // In the table's snapshot, a row another session changed since fails the UPDATE (40001) rather than
    // being read twice or changed on a version the run never read.
    return QStringLiteral("UPDATE ") + onlyLeaf(leaf) + QStringLiteral(" AS q SET ") + setList(changed) +
           QStringLiteral(" FROM v WHERE v.mk = CAST(? AS pg_catalog.text) AND q.ctid = v.ct AND q.xmin = "
                          "v.xm RETURNING v.ct::pg_catalog.text AS ct, q.ctid::pg_catalog.text AS nct, "
                          "q.xmin::pg_catalog.text AS nxm") +
           m_sql.keyTexts(QStringLiteral("q")) + QStringLiteral(", ") + texts.join(QStringLiteral(", ")) +
           m_sql.storedTexts(QStringLiteral("v.n%1 IS NOT NULL"));
}

QString PushdownBatches::foundRows(const PushdownLeaf& leaf, const QString& places) const
{
    const size_t columns = m_sql.shape().columns().size();
    const QString last = m_sql.lastStep();
    const QStringList tests = m_sql.columnTests(QStringLiteral("s"));
    QStringList found{QStringLiteral("s.ctid AS ct"), QStringLiteral("s.xmin AS xm")};
    QStringList changes;
    QStringList bits;
    for (size_t j = 0; j < columns; ++j) {
        const QString before = QStringLiteral("x0.c") + QString::number(j);
        const QString after = last + QStringLiteral(".c") + QString::number(j);
        const QString number = QString::number(j);
        const QString change = before + QStringLiteral(" IS DISTINCT FROM ") + after;
        // Only the texts of columns some find text matches come back, and new texts only where changed.
        found << QStringLiteral("CASE WHEN ") + tests[int(j)] + QStringLiteral(" THEN ") + before +
                     QStringLiteral(" END AS o") + number
              << QStringLiteral("CASE WHEN ") + change + QStringLiteral(" THEN ") + after +
                     QStringLiteral(" END AS n") + number;
        changes << change;
        bits << QStringLiteral("CASE WHEN ") + change + QStringLiteral(" THEN '1' ELSE '0' END");
    }
    // concat takes at most a hundred arguments: the bits go in groups of fifty.
    constexpr qsizetype Group = 50;
    QStringList groups;
    for (qsizetype first = 0; first < bits.size(); first += Group)
        groups << QStringLiteral("pg_catalog.concat(") + bits.mid(first, Group).join(QStringLiteral(", ")) +
                      u')';
    found << QStringLiteral("(") + changes.join(QStringLiteral(" OR ")) + QStringLiteral(") AS ch")
          << QStringLiteral("pg_catalog.concat(") + groups.join(QStringLiteral(", ")) +
                 QStringLiteral(") AS mk");
    return QStringLiteral("SELECT ") + found.join(QStringLiteral(", ")) + u' ' +
           m_sql.replacementChain(leaf, QStringLiteral("s")) + QStringLiteral(" WHERE s.ctid = ANY (ARRAY(") +
           places + QStringLiteral("))");
}

QString PushdownBatches::batchAnswer() const
{
    const size_t columns = m_sql.shape().columns().size();
    const size_t keys = m_sql.shape().keyColumns().size();
    QStringList unchangedTexts;
    for (size_t j = 0; j < columns; ++j)
        unchangedTexts << QStringLiteral("v.o") + QString::number(j) + QStringLiteral(", NULL");
    const QString nulls = QStringLiteral(", NULL");
    // Its head first: a run can go on to the next batch knowing only that.
    return QStringLiteral(
               " SELECT '3', (SELECT pg_catalog.count(*) FROM v WHERE v.ch)::pg_catalog.text, "
               "pg_catalog.txid_current()::pg_catalog.text, (SELECT u.nxm FROM u LIMIT 1), (SELECT "
               "pg_catalog.count(*) FROM v)::pg_catalog.text COLLATE \"C\", ") +
           PushdownSql::cutPlace() +
           QStringLiteral(", (SELECT pg_catalog.string_agg(DISTINCT v.mk, ',') FROM v WHERE v.ch) COLLATE "
                          "\"C\"") +
           nulls.repeated(int(keys + 3 * columns) - 3) + QStringLiteral(" UNION ALL SELECT '1' || ") +
           presentTexts(m_sql.shape(), QStringLiteral("u"), true) +
           QStringLiteral(", u.* FROM u UNION ALL SELECT '2' || ") +
           presentTexts(m_sql.shape(), QStringLiteral("v"), false) +
           QStringLiteral(", v.ct::pg_catalog.text, NULL, NULL") + nulls.repeated(int(keys)) +
           QStringLiteral(", ") + unchangedTexts.join(QStringLiteral(", ")) + nulls.repeated(int(columns)) +
           QStringLiteral(" FROM v WHERE NOT v.ch");
}

// The rows found are read once; each set of changed columns the statement is given has an UPDATE of its
// own, naming only those columns. The rows of a set it is not given are counted as meant and not written.
QString PushdownBatches::batchStatement(const PushdownLeaf& leaf,
                                        const std::vector<ChangedColumns>& sets) const
{
    const QString names = writtenNames(m_sql.shape());
    QString sql = QStringLiteral("WITH ") + m_sql.cappedPlaces(leaf) +
                  QStringLiteral(", v AS MATERIALIZED (") +
                  foundRows(leaf, QStringLiteral("SELECT k.ct FROM k")) + QStringLiteral("), ");
    QStringList written;
    for (size_t i = 0; i < sets.size(); ++i) {
        const QString name = QStringLiteral("u") + QString::number(i);
        sql += name + u'(' + names + QStringLiteral(") AS (") + batchUpdate(leaf, sets[i]) +
               QStringLiteral("), ");
        written << QStringLiteral("SELECT * FROM ") + name;
    }
    if (written.isEmpty()) {
        const qsizetype count = names.count(u',') + 1;
        written << QStringLiteral("SELECT ") +
                       QStringList(count, QStringLiteral("CAST(NULL AS pg_catalog.text)"))
                           .join(QStringLiteral(", ")) +
                       QStringLiteral(" WHERE false");
    }
    return sql + QStringLiteral("u(") + names + QStringLiteral(") AS (") +
           written.join(QStringLiteral(" UNION ALL ")) + u')' + batchAnswer();
}

PushdownBatchHead PushdownBatches::startBatch(const PushdownLeaf& leaf, const QString& from,
                                              const QString& to, const std::vector<ChangedColumns>& sets,
                                              int lockWaitMs)
{
    // The planner cannot know that the rows found are a few of the pages' rows: left alone it hashes
    // every row of the pages to meet them, where fetching each by its place costs a tenth; and it takes
    // the batch for costly enough to compile, which costs more than the batch (set for the batch only).
    Statement& byPlace = m_session.prepared(QStringLiteral(
        "SELECT pg_catalog.set_config('enable_hashjoin', 'off', true), "
        "pg_catalog.set_config('enable_mergejoin', 'off', true), "
        "pg_catalog.set_config('enable_memoize', 'off', true), pg_catalog.set_config('jit', 'off', true), "
        "pg_catalog.set_config('lock_timeout', ?, true)"));
    byPlace.execute({QString::number(lockWaitMs)});
    byPlace.closeCursor();
    std::vector<QString> parameters = m_sql.cappedParameters(from, to);
    const std::vector<QString> pairs = m_sql.pairParameters();
    parameters.insert(parameters.end(), pairs.begin(), pairs.end());
    parameters.insert(parameters.end(), sets.begin(), sets.end());
    // The text of a table of many columns is long: made once for each leaf and sets of columns.
    QString made = leaf.oid;
    for (const ChangedColumns& set : sets)
        made += u' ' + set;
    Statement*& batch = m_batches[made];
    if (!batch)
        batch = &m_session.prepared(batchStatement(leaf, sets));
    m_batch = batch;
    m_batch->execute(parameters);
    if (!m_batch->fetch() || requiredText(*m_batch, 1) != u"3") {
        m_batch->closeCursor();
        throw DbError(QStringLiteral("The server's answer to a batch does not begin with its counts."),
                      QStringLiteral("XX000"));
    }
    PushdownBatchHead head;
    head.meant = requiredText(*m_batch, 2).toLongLong();
    head.transaction = requiredText(*m_batch, 3);
    head.xmin = requiredText(*m_batch, 4);
    head.found = requiredText(*m_batch, 5).toLongLong();
    head.cut = requiredText(*m_batch, 6);
    const QString changed = requiredText(*m_batch, 7);
    if (!changed.isEmpty())
        for (const QString& set : changed.split(u','))
            head.changed.push_back(set);
    return head;
}

void PushdownBatches::dropAnswer() noexcept
{
    if (m_batch)
        m_batch->closeCursor();
}

PushdownBatch PushdownBatches::finishBatch()
{
    PushdownBatch batch;
    while (m_batch->fetch())
        readAnswerRow(*m_batch, m_sql.shape(), batch);
    m_batch->closeCursor();
    return batch;
}

std::vector<PushdownRow> PushdownBatches::heldRows(const PushdownLeaf& leaf, const QString& from,
                                                   const QString& to, QString& cut)
{
    const std::vector<PushdownColumn>& columns = m_sql.shape().columns();
    const size_t keys = m_sql.shape().keyColumns().size();
    QString selected = QStringLiteral("s.ctid::pg_catalog.text, s.xmin::pg_catalog.text") +
                       m_sql.keyTexts(QStringLiteral("s"));
    const QStringList tests = m_sql.columnTests(QStringLiteral("s"));
    for (size_t j = 0; j < columns.size(); ++j)
        selected += QStringLiteral(", CASE WHEN %1 THEN %2::pg_catalog.text END")
                        .arg(tests[int(j)], qualifiedColumn(QStringLiteral("s"), columns[j]));
    const QString sql =
        QStringLiteral("WITH ") + m_sql.cappedPlaces(leaf) + QStringLiteral(" SELECT ") + selected +
        QStringLiteral(", ") + PushdownSql::cutPlace() + QStringLiteral(" FROM ") + onlyLeaf(leaf) +
        QStringLiteral(" AS s, (SELECT CAST(? AS pg_catalog.text[]) AS f) AS p WHERE s.ctid = "
                       "ANY (ARRAY(SELECT k.ct FROM k)) ORDER BY s.ctid");
    std::vector<QString> parameters = m_sql.cappedParameters(from, to);
    parameters.push_back(m_sql.pairParameters().front());
    Statement& query = m_session.prepared(sql);
    query.execute(parameters);
    std::vector<PushdownRow> rows;
    cut.clear();
    const auto cutColumn = SQLUSMALLINT(3 + keys + columns.size());
    while (query.fetch()) {
        rows.push_back(readVersionedRow(query, false, keys, columns.size()));
        cut = requiredText(query, cutColumn);
    }
    query.closeCursor();
    return rows;
}

std::vector<PushdownPreviewRow> PushdownBatches::previewBatch(const PushdownLeaf& leaf, long long first,
                                                              long long end)
{
    const size_t columns = m_sql.shape().columns().size();
    const size_t keys = m_sql.shape().keyColumns().size();
    QString selected = QStringLiteral("s.ctid::pg_catalog.text") + m_sql.keyTexts(QStringLiteral("s"));
    QStringList tests;
    for (size_t j = 0; j < columns; ++j) {
        const QString text = QStringLiteral("x0.c%1").arg(j);
        const QString any = m_sql.holdsSomeFind(text);
        selected += QStringLiteral(", CASE WHEN ") + any + QStringLiteral(" THEN ") + text +
                    QStringLiteral(" END, CASE WHEN %1.c%2 IS DISTINCT FROM %3 THEN %1.c%2 END")
                        .arg(m_sql.lastStep(), QString::number(j), text);
        tests << any;
    }
    const QString sql = QStringLiteral("SELECT ") + selected + u' ' +
                        m_sql.replacementChain(leaf, QStringLiteral("s")) +
                        QStringLiteral(" WHERE s.ctid >= CAST(? AS pg_catalog.tid) AND s.ctid < CAST(? AS "
                                       "pg_catalog.tid) AND (") +
                        tests.join(QStringLiteral(" OR ")) + u')';
    std::vector<QString> parameters = m_sql.pairParameters();
    parameters.insert(parameters.end(), {pagePlace(first), pagePlace(end)});
    Statement& query = m_session.prepared(sql);
    query.execute(parameters);
    std::vector<PushdownPreviewRow> rows;
    while (query.fetch()) {
        PushdownPreviewRow row;
        row.ctid = requiredText(query, 1);
        readKeyAndTexts(query, 2, keys, columns, row.key, row.oldValues, row.newValues);
        rows.push_back(std::move(row));
    }
    query.closeCursor();
    return rows;
}

long long PushdownBatches::rowsIn(const PushdownLeaf& leaf, long long first, long long end)
{
    Statement& count = m_session.prepared(
        QStringLiteral("SELECT pg_catalog.count(*)::pg_catalog.text FROM ") + onlyLeaf(leaf) +
        QStringLiteral(" WHERE ctid >= CAST(? AS pg_catalog.tid) AND ctid < CAST(? AS "
                       "pg_catalog.tid)"));
    count.execute({pagePlace(first), pagePlace(end)});
    const long long rows = count.fetch() ? requiredText(count, 1).toLongLong() : 0;
    count.closeCursor();
    return rows;
}

} // namespace quarvel::db
