// The server-side run's reading of a leaf that is a postgres_fdw foreign table. The local server passes
// the statements on to the server that holds the rows; what it cannot pass on (a cast to text, a
// collation) it evaluates itself on rows fetched from there, which is slower but gives the same rows.
#include "db/PushdownRemote.h"

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

// How often a batch is read again when the other server refuses it for a concurrent update: postgres_fdw
// runs its transactions there in REPEATABLE READ, so a row another session changed after the batch's
// snapshot ends the statement (40001) where the local server would wait and read the newer version.
constexpr int RemoteAttempts = 5;

const QString RemoteEndQuery =
    QStringLiteral("SELECT COALESCE(((pg_catalog.max(q.ctid)::pg_catalog.text::pg_catalog.point)[0])"
                   "::pg_catalog.int8 + 1, 0)::pg_catalog.text FROM ONLY %1 AS q");

const QString DeterministicQuery =
    QStringLiteral("SELECT a.attname::pg_catalog.text FROM pg_catalog.pg_attribute a "
                   "JOIN pg_catalog.pg_collation k ON k.oid = a.attcollation "
                   "WHERE a.attrelid = CAST(? AS pg_catalog.oid) AND a.attnum > 0 AND NOT a.attisdropped "
                   "AND k.collisdeterministic");

// Rows sharing a place in the batch's pages: there only when the foreign table reaches a partitioned table
// or an inheritance parent there, where each table numbers its own places.
const QString SharedPlacesQuery = QStringLiteral(
    "SELECT (pg_catalog.count(*) - pg_catalog.count(DISTINCT q.ctid))::pg_catalog.text FROM ONLY %1 AS q "
    "WHERE q.ctid >= CAST(? AS pg_catalog.tid) AND q.ctid < CAST(? AS pg_catalog.tid)");

std::optional<std::pair<long long, int>> placeOf(const QString& ctid)
{
    // "(page,item)"
    const QStringList parts = ctid.mid(1, ctid.size() - 2).split(u',');
    bool pageRead = false;
    bool itemRead = false;
    if (parts.size() != 2)
        return std::nullopt;
    const long long page = parts[0].toLongLong(&pageRead);
    const int item = parts[1].toInt(&itemRead);
    if (!pageRead || !itemRead)
        return std::nullopt;
    return std::make_pair(page, item);
}

} // namespace

PushdownRemote::PushdownRemote(PushdownSession& session, const PushdownSql& sql)
    : m_session(session), m_sql(sql)
{}

bool PushdownRemote::shippable(const PushdownColumn& c)
{
    // Only a plain text comparison goes to the other server: a cast to text or an explicit collation
    // keeps postgres_fdw from sending the condition, and then every row of the batch comes back (and
    // is locked there). strpos compares bytes under any deterministic collation, so none is needed.
    if (!c.takesAnyText)
        return false;
    if (!m_deterministic) {
        m_deterministic.emplace();
        Statement names(m_session.state());
        names.prepare(DeterministicQuery);
        names.execute({m_leaf});
        while (names.fetch())
            m_deterministic->insert(names.text(1).value_or(QString()));
        names.closeCursor();
    }
    return m_deterministic->count(c.name) > 0;
}

long long PushdownRemote::pages(const PushdownLeaf& leaf)
{
    if (m_leaf != leaf.oid) {
        m_leaf = leaf.oid;
        m_own.clear();
        m_end = -1;
        m_reached = 0;
        m_deterministic.reset();
    }
    // Its last row is found by a scan of the whole table there: read once, and again only when the
    // batches have reached it, for rows moved past it meanwhile.
    if (m_end < 0 || m_reached >= m_end) {
        Statement& query = m_session.prepared(RemoteEndQuery.arg(leaf.table.qualifiedName()));
        query.execute({});
        m_end = query.fetch() ? query.text(1).value_or(QStringLiteral("0")).toLongLong() : 0;
        query.closeCursor();
    }
    return m_end;
}

void PushdownRemote::wrote(const PushdownLeaf& leaf, const QString& ctid)
{
    if (leaf.oid != m_leaf)
        return;
    if (const auto place = placeOf(ctid))
        m_own.insert(*place);
}

void PushdownRemote::placesApart(const PushdownLeaf& leaf, const QString& from, const QString& to)
{
    // postgres_fdw stores each row by "UPDATE ... WHERE ctid = $1", which reaches every row at that place.
    // Asked in the transaction that stores, so in the snapshot its updates see there: no row can come to
    // such a place unseen.
    Statement& shared = m_session.prepared(SharedPlacesQuery.arg(leaf.table.qualifiedName()));
    shared.execute({from, to});
    const bool apart = shared.fetch() && shared.text(1) == QStringLiteral("0");
    shared.closeCursor();
    if (!apart)
        throw DbError::leavingTheTable(
            QStringLiteral(
                "Rows of %1 share their places (ctid) on the other server: it is a partitioned table "
                "or an inheritance parent there, where postgres_fdw would store a row over every row "
                "at its place. The run leaves it here; change the partitions there instead.")
                .arg(leaf.table.displayName()),
            QStringLiteral("55000"));
}

void PushdownRemote::rowApart(const PushdownLeaf& leaf, const QString& ctid)
{
    const auto place = placeOf(ctid);
    if (!place)
        return;
    placesApart(
        leaf, ctid,
        QStringLiteral("(%1,%2)").arg(QString::number(place->first), QString::number(place->second + 1)));
}

std::vector<QString> PushdownRemote::ownPlaces(long long first, long long end)
{
    // Versions this run wrote before the batch's first page are never read again.
    m_own.erase(m_own.begin(), m_own.lower_bound({first, 0}));
    std::vector<QString> own;
    for (auto at = m_own.begin(); at != m_own.end() && at->first < end; ++at)
        own.push_back(QStringLiteral("(%1,%2)").arg(QString::number(at->first), QString::number(at->second)));
    return own;
}

QString PushdownRemote::batchSelect(const PushdownLeaf& leaf, std::vector<QString>& selectParameters,
                                    std::vector<QString>& conditionParameters)
{
    // Each find text is a parameter of its own where it is used, so that the conditions reach the other
    // server as constants.
    QString selected = QStringLiteral("q.ctid::pg_catalog.text") + m_sql.keyTexts(QStringLiteral("q"));
    QStringList tests;
    for (const PushdownColumn& c : m_sql.shape().columns()) {
        const QString name = QStringLiteral("q.") + quoteIdentifier(c.name);
        const QString searched =
            shippable(c) ? name : name + QStringLiteral("::pg_catalog.text COLLATE \"C\"");
        QStringList held;
        for (const auto& pair : m_sql.pairs()) {
            held << QStringLiteral("pg_catalog.strpos(%1, CAST(? AS pg_catalog.text)) > 0").arg(searched);
            selectParameters.push_back(pair.first);
            conditionParameters.push_back(pair.first);
        }
        const QString any = held.join(QStringLiteral(" OR "));
        selected += QStringLiteral(", CASE WHEN ") + any + QStringLiteral(" THEN ") + name +
                    QStringLiteral("::pg_catalog.text END");
        tests << any;
    }
    return QStringLiteral("SELECT ") + selected + QStringLiteral(" FROM ") + onlyLeaf(leaf) +
           QStringLiteral(" AS q WHERE q.ctid >= CAST(? AS pg_catalog.tid) "
                          "AND q.ctid < CAST(? AS pg_catalog.tid) "
                          "AND NOT (q.ctid = ANY (CAST(? AS pg_catalog.tid[]))) AND (") +
           tests.join(QStringLiteral(" OR ")) + QStringLiteral(") FOR UPDATE OF q");
}

std::vector<PushdownRow> PushdownRemote::lockBatch(const PushdownLeaf& leaf, long long first, long long end)
{
    pages(leaf);
    m_reached = std::max(m_reached, end);
    const std::vector<QString> own = ownPlaces(first, end);
    std::vector<QString> parameters;
    std::vector<QString> conditionParameters;
    Statement& query = m_session.prepared(batchSelect(leaf, parameters, conditionParameters));
    const QString from = pagePlace(first);
    const QString to = pagePlace(end);
    parameters.insert(parameters.end(), {from, to, arrayLiteral(own)});
    parameters.insert(parameters.end(), conditionParameters.begin(), conditionParameters.end());
    const size_t keys = m_sql.shape().keyColumns().size();
    const size_t columns = m_sql.shape().columns().size();
    for (int attempt = 1;; ++attempt) {
        std::vector<PushdownRow> rows;
        try {
            query.execute(parameters);
            while (query.fetch())
                rows.push_back(readPlacedRow(query, keys, columns));
            query.closeCursor();
            if (!rows.empty())
                placesApart(leaf, from, to);
            return rows;
        } catch (const DbError& error) {
            query.closeCursor();
            if (error.sqlState() != u"40001" || attempt == RemoteAttempts)
                throw;
            // The snapshot there lasts as long as the transaction: only a new one sees the newer rows.
            m_session.restart();
        }
    }
}

} // namespace quarvel::db
