#include "engine/Undo.h"

#include "db/Connection.h"
#include "db/RecordSet.h"
#include "db/RowIdentity.h"

#include <QScopeGuard>

#include <algorithm>
#include <map>
#include <set>

namespace quarvel::engine {

namespace {

// Rows put back in one transaction: short enough to hold few locks for long. Read from the journal a chunk
// at a time, and no more than ChunkBytes of them, so that what the undo holds does not grow with the run.
constexpr size_t ChunkRows = 500;
constexpr qint64 ChunkBytes = qint64(4) << 20;

QString keyText(const JournalStore& store, const db::RestoreRow& row)
{
    if (store.keyColumns.empty() || row.key.size() != store.keyColumns.size())
        return {};
    return QStringLiteral("(%1)=(%2)")
        .arg(QStringList(store.keyColumns.begin(), store.keyColumns.end()).join(QStringLiteral(", ")),
             QStringList(row.key.begin(), row.key.end()).join(QStringLiteral(", ")));
}

void notPutBack(UndoReport& report, const JournalStore& store, const db::RestoreRow& row,
                const QString& reason)
{
    const db::RowIdentity name{store.table.displayName(), row.ctid, store.keyColumns, row.key};
    report.listed << QStringLiteral("%1: %2").arg(name.text(), reason);
    report.notPutBack.append({store.table.displayName(), row.record, keyText(store, row), reason});
}

void tally(UndoReport& report, const JournalStore& store, const db::RestoreRow& row,
           const db::RestoreOutcome& outcome)
{
    switch (outcome.result) {
    case db::RestoreResult::Restored:
        ++report.restored;
        return;
    case db::RestoreResult::ChangedSince:
        ++report.changedSince;
        notPutBack(report, store, row,
                   QStringLiteral("changed since the run, kept: ") +
                       outcome.changedColumns.join(QStringLiteral(", ")));
        return;
    case db::RestoreResult::Missing:
        ++report.missing;
        notPutBack(report, store, row, QStringLiteral("no longer there"));
        return;
    case db::RestoreResult::Moved:
        ++report.missing;
        notPutBack(
            report, store, row,
            QStringLiteral("the row has moved since the run and the table has no primary key to find it "
                           "by; not guessed"));
        return;
    }
}

} // namespace

QString undoRefusal(const JournalRun& run, const QString& connectionString)
{
    if (run.undoneBy != 0)
        return QStringLiteral("Run %1 was already undone (by run %2). Undo run %2 to put its changes back.")
            .arg(QString::number(run.id), QString::number(run.undoneBy));
    const RunPlace here = runPlaceOf(connectionString);
    if (here.server != run.place.server || here.port != run.place.port || here.database != run.place.database)
        return QStringLiteral(
                   "Run %1 was made on the database \"%2\" on %3, port %4. Connect to that database "
                   "first; now the connection is to \"%5\" on %6, port %7.")
            .arg(QString::number(run.id), run.place.database, run.place.server, run.place.port, here.database,
                 here.server, here.port);
    return {};
}

namespace {

// One restore per table, made when its first store comes: the table as it is named now. A table that
// cannot be found or read any more is remembered with the reason, so that its later stores say the same.
class TableRestores
{
public:
    explicit TableRestores(db::Connection& connection) : m_connection(connection) {}

    // The restore for the store's table; nullptr when the table is gone (see goneReason). Throws
    // db::DbError when the connection fails.
    db::RowRestore* forStore(const JournalStore& store, UndoReport& report)
    {
        const Name name{store.table.schema, store.table.name};
        auto restore = m_restores.find(name);
        if (restore == m_restores.end() && !m_gone.count(name)) {
            try {
                restore = m_restores
                              .emplace(name, std::make_unique<db::RowRestore>(m_connection, store.table,
                                                                              store.keyColumns))
                              .first;
            } catch (const db::DbError& e) {
                if (e.ruinsTheTable() && !e.sqlState().startsWith(u"42"))
                    throw;
                m_gone[name] = e.message();
            }
        }
        if (restore == m_restores.end())
            return nullptr;
        if (!restore->second->sideEffects().isEmpty() && m_noted.insert(name).second)
            report.notes << QStringLiteral("%1: %2 ran on the run's updates and on the undo's; what they did "
                                           "beyond its rows is not undone.")
                                .arg(store.table.displayName(),
                                     restore->second->sideEffects().join(QStringLiteral(", ")));
        return restore->second.get();
    }

    QString goneReason(const db::Table& table) const
    {
        const auto gone = m_gone.find({table.schema, table.name});
        return gone == m_gone.end() ? QString() : gone->second;
    }

private:
    using Name = std::pair<QString, QString>;
    db::Connection& m_connection;
    std::map<Name, std::unique_ptr<db::RowRestore>> m_restores;
    std::map<Name, QString> m_gone;
    std::set<Name> m_noted;
};

bool losesTheConnection(const db::DbError& e)
{
    return e.stopsTheRun() || e.sqlState().startsWith(u"08");
}

// A unique or exclusion constraint refused the row: another row still holds its key, and may give it up
// once that row is put back in turn.
bool collides(const db::DbError& e)
{
    return e.sqlState() == u"23505" || e.sqlState() == u"23P01";
}

// A row that collided, found again by its entry in the journal.
struct Collided
{
    qint64 store = 0;
    qint64 entry = 0;
};

// The undo, or with lookOnly the same walk over the same stores asking the same questions of each row,
// on a read-only session, changing nothing.
class UndoWalk
{
public:
    UndoWalk(Journal& journal, const JournalRun& original, UndoHost* host, bool lookOnly)
        : m_journal(journal), m_host(host), m_lookOnly(lookOnly),
          m_total(original.records + original.undecided)
    {}

    // Throws what the connection, the journal or the undo's own journaling throw.
    UndoReport walk(const JournalRun& original, const QString& connectionString)
    {
        m_connection.open(connectionString);
        if (m_lookOnly)
            m_connection.execute(QStringLiteral("SET SESSION CHARACTERISTICS AS TRANSACTION READ ONLY"));
        if (!m_lookOnly) {
            RunPairs reversed;
            for (const auto& [find, replacement] : original.pairs)
                reversed.append({replacement, find});
            m_report.undoRun =
                m_journal.beginRun(runPlaceOf(connectionString), original.tables, reversed, original.id);
            m_recorder = m_journal.recorder(m_report.undoRun);
        }
        const auto ended = qScopeGuard([this] {
            if (!m_lookOnly)
                m_journal.endRun(m_report.undoRun);
        });
        m_journal.forEachStore(original.id, [this](const JournalStore& store) { putBack(store); });
        putBackCollided();
        if (m_stopped)
            m_report.listed << QStringLiteral("Stopped before the end: %1 of %2 records were looked at. The "
                                              "rest are still as the run left them.")
                                   .arg(QString::number(m_done - static_cast<long long>(m_collided.size())),
                                        QString::number(m_total));
        return m_report;
    }

private:
    void putBack(const JournalStore& store)
    {
        if (m_stopped || !reachedTheDatabase(store))
            return;
        db::RowRestore* restore = m_restores.forStore(store, m_report);
        if (!restore) {
            const QString reason =
                QStringLiteral("%1 records not restored: %2")
                    .arg(QString::number(store.records), m_restores.goneReason(store.table));
            m_report.missing += store.records;
            m_report.listed << QStringLiteral("%1: %2").arg(store.table.displayName(), reason);
            m_report.notPutBack.append({store.table.displayName(), 0, QString(), reason});
            m_done += store.records;
            return;
        }
        qint64 after = 0;
        while (!m_stopped) {
            const JournalRows chunk = m_journal.storeRows(store.id, after, ChunkRows, ChunkBytes);
            if (chunk.rows.empty())
                break;
            after = chunk.entries.back();
            putBackChunk(*restore, store, chunk);
        }
    }

    // A store whose commit was not seen: the program ended between the commit and its confirmation, or
    // before the commit. The server tells which; what never committed has nothing to undo.
    bool reachedTheDatabase(const JournalStore& store)
    {
        if (store.confirmed)
            return true;
        const std::optional<QString> status = db::transactionStatus(m_connection, store.transaction);
        const bool committed = status == u"committed";
        if (status != u"in progress")
            m_journal.settle(store.id, committed);
        if (!committed) {
            m_report.notStored += store.records;
            m_done += store.records;
        }
        return committed;
    }

    std::vector<db::RestoreOutcome> ask(db::RowRestore& restore, const std::vector<db::RestoreRow>& rows)
    {
        return m_lookOnly ? restore.check(rows) : restore.restore(rows, m_recorder.get());
    }

    void putBackChunk(db::RowRestore& restore, const JournalStore& store, const JournalRows& chunk)
    {
        try {
            const std::vector<db::RestoreOutcome> outcomes = ask(restore, chunk.rows);
            for (size_t i = 0; i < chunk.rows.size(); ++i)
                tally(m_report, store, chunk.rows[i], outcomes[i]);
        } catch (const db::DbError& e) {
            if (losesTheConnection(e))
                throw;
            // Nothing of the chunk stayed; a row the server refuses (a trigger, a constraint since) is
            // tried alone, so that the others still go back.
            for (size_t i = 0; i < chunk.rows.size(); ++i)
                if (!putBackAlone(restore, store, chunk.rows[i], false)) {
                    m_collided.push_back({store.id, chunk.entries[i]});
                    m_collidedStores.try_emplace(store.id, store);
                }
        }
        m_done += static_cast<long long>(chunk.rows.size());
        askTheHost(m_collided.size());
    }

    // False, leaving it to be tried again, for a row that collided unless last; a row refused otherwise
    // is listed.
    bool putBackAlone(db::RowRestore& restore, const JournalStore& store, const db::RestoreRow& row,
                      bool last)
    {
        try {
            tally(m_report, store, row, ask(restore, {row}).front());
        } catch (const db::DbError& alone) {
            if (losesTheConnection(alone))
                throw;
            if (!last && collides(alone))
                return false;
            ++m_report.failed;
            notPutBack(m_report, store, row, QStringLiteral("not put back: ") + alone.message());
        }
        return true;
    }

    // The rows that collided go back after all the others, in rounds, each going through them the other
    // way round from the round before: a run that moved keys along a chain (k1 to k2 after k2 to k3) is put
    // back in the order that frees each key before it is wanted, whichever way the journal has it. Once a
    // round each way has put none back, a last one lists those left with what the server said.
    void putBackCollided()
    {
        int idleRounds = 0;
        while (!m_collided.empty() && !m_stopped) {
            const size_t before = m_collided.size();
            std::vector<Collided> left;
            while (!m_collided.empty() && !m_stopped) {
                const Collided row = m_collided.back();
                m_collided.pop_back();
                const JournalStore& store = m_collidedStores.at(row.store);
                if (!putBackAlone(*m_restores.forStore(store, m_report), store, m_journal.record(row.entry),
                                  idleRounds == 2))
                    left.push_back(row);
                if (m_collided.size() % ChunkRows == 0)
                    askTheHost(m_collided.size() + left.size());
            }
            // What a stop left untried waits with the rest.
            left.insert(left.end(), m_collided.rbegin(), m_collided.rend());
            m_collided = std::move(left);
            idleRounds = m_collided.size() == before ? idleRounds + 1 : 0;
        }
    }

    // Tells the host how far the undo is, leaving out the rows that wait to be tried again.
    void askTheHost(size_t waiting)
    {
        if (m_host) {
            m_host->progress(m_done - static_cast<long long>(waiting), m_total);
            m_stopped = m_host->stopRequested();
        }
    }

    Journal& m_journal;
    UndoHost* m_host;
    const bool m_lookOnly;
    const long long m_total;
    db::Connection m_connection;
    TableRestores m_restores{m_connection};
    std::unique_ptr<db::StoreJournal> m_recorder;
    UndoReport m_report;
    long long m_done = 0;
    bool m_stopped = false;
    std::vector<Collided> m_collided;                // tried again from the back
    std::map<qint64, JournalStore> m_collidedStores; // the stores they come from
};

UndoReport walkUndo(Journal& journal, qint64 run, const QString& connectionString, UndoHost* host,
                    bool lookOnly)
{
    const JournalRun original = journal.run(run);
    const QString refusal = undoRefusal(original, connectionString);
    if (!refusal.isEmpty())
        throw JournalError(refusal.toStdString());
    return UndoWalk(journal, original, host, lookOnly).walk(original, connectionString);
}

QString csvField(const QString& text)
{
    if (!text.contains(u',') && !text.contains(u'"') && !text.contains(u'\r') && !text.contains(u'\n'))
        return text;
    return u'"' + QString(text).replace(QLatin1String("\""), QLatin1String("\"\"")) + u'"';
}

} // namespace

UndoReport undoRun(Journal& journal, qint64 run, const QString& connectionString, UndoHost* host)
{
    return walkUndo(journal, run, connectionString, host, false);
}

UndoReport countUndo(Journal& journal, qint64 run, const QString& connectionString, UndoHost* host)
{
    return walkUndo(journal, run, connectionString, host, true);
}

QByteArray notPutBackCsv(const UndoReport& report)
{
    QString text = QStringLiteral("table,record,key,reason\r\n");
    for (const NotPutBack& entry : report.notPutBack)
        text +=
            QStringList{csvField(entry.table), entry.record == 0 ? QString() : QString::number(entry.record),
                        csvField(entry.key), csvField(entry.reason)}
                .join(u',') +
            QStringLiteral("\r\n");
    return text.toUtf8();
}

} // namespace quarvel::engine
