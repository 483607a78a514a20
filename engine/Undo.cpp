#include "engine/Undo.h"

#include "db/Connection.h"
#include "db/RecordSet.h"

#include <algorithm>
#include <map>
#include <set>

namespace quarvel::engine {

namespace {

// Rows put back in one transaction: short enough to hold few locks for long.
constexpr size_t ChunkRows = 500;

QString keyText(const std::vector<QString>& keyColumns, const db::RestoreRow& row)
{
    if (keyColumns.empty() || row.key.size() != keyColumns.size())
        return {};
    return QStringLiteral("(%1)=(%2)")
        .arg(QStringList(keyColumns.begin(), keyColumns.end()).join(QStringLiteral(", ")),
             QStringList(row.key.begin(), row.key.end()).join(QStringLiteral(", ")));
}

QString recordText(const db::Table& table, const std::vector<QString>& keyColumns, const db::RestoreRow& row)
{
    QString text = QStringLiteral("%1, record %2").arg(table.displayName()).arg(row.record);
    if (const QString key = keyText(keyColumns, row); !key.isEmpty())
        text += QStringLiteral(", key ") + key;
    return text;
}

void notPutBack(UndoReport& report, const db::Table& table, const std::vector<QString>& keyColumns,
                const db::RestoreRow& row, const QString& reason)
{
    report.listed << QStringLiteral("%1: %2").arg(recordText(table, keyColumns, row), reason);
    report.notPutBack.append({table.displayName(), row.record, keyText(keyColumns, row), reason});
}

void tally(UndoReport& report, const db::Table& table, const std::vector<QString>& keyColumns,
           const db::RestoreRow& row, const db::RestoreOutcome& outcome)
{
    switch (outcome.result) {
    case db::RestoreResult::Restored:
        ++report.restored;
        return;
    case db::RestoreResult::ChangedSince:
        ++report.changedSince;
        notPutBack(report, table, keyColumns, row,
                   QStringLiteral("changed since the run, kept: ") +
                       outcome.changedColumns.join(QStringLiteral(", ")));
        return;
    case db::RestoreResult::Missing:
        ++report.missing;
        notPutBack(report, table, keyColumns, row, QStringLiteral("no longer there"));
        return;
    case db::RestoreResult::Moved:
        ++report.missing;
        notPutBack(
            report, table, keyColumns, row,
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
            .arg(run.id)
            .arg(run.undoneBy);
    const RunPlace here = runPlaceOf(connectionString);
    if (here.server != run.place.server || here.port != run.place.port || here.database != run.place.database)
        return QStringLiteral(
                   "Run %1 was made on the database \"%2\" on %3, port %4. Connect to that database "
                   "first; now the connection is to \"%5\" on %6, port %7.")
            .arg(run.id)
            .arg(run.place.database, run.place.server, run.place.port, here.database, here.server, here.port);
    return {};
}

namespace {

// The undo, or with lookOnly the same walk over the same stores asking the same questions of each row,
// on a read-only session, changing nothing.
UndoReport walkUndo(Journal& journal, qint64 run, const QString& connectionString, UndoHost* host,
                    bool lookOnly)
{
    const JournalRun original = journal.run(run);
    const QString refusal = undoRefusal(original, connectionString);
    if (!refusal.isEmpty())
        throw JournalError(refusal.toStdString());
    db::Connection connection;
    connection.open(connectionString);
    if (lookOnly)
        connection.execute(QStringLiteral("SET SESSION CHARACTERISTICS AS TRANSACTION READ ONLY"));

    RunPairs reversed;
    for (const auto& [find, replacement] : original.pairs)
        reversed.append({replacement, find});
    UndoReport report;
    if (!lookOnly)
        report.undoRun = journal.beginRun(runPlaceOf(connectionString), original.tables, reversed, run);
    const std::unique_ptr<db::StoreJournal> recorder = lookOnly ? nullptr : journal.recorder(report.undoRun);
    const long long total = original.records + original.undecided;
    long long done = 0;
    bool stopped = false;

    // One restore per table, made when its first store comes: the table as it is named now.
    std::map<std::pair<QString, QString>, std::unique_ptr<db::RowRestore>> restores;
    std::map<std::pair<QString, QString>, QString> goneTables;
    std::set<std::pair<QString, QString>> noted;
    try {
        journal.forEachStore(run, [&](const JournalStore& store) {
            if (stopped)
                return;
            if (!store.confirmed) {
                // The program ended between the commit and its confirmation, or before the commit.
                const std::optional<QString> status = db::transactionStatus(connection, store.transaction);
                const bool committed = status == u"committed";
                if (status != u"in progress")
                    journal.settle(store.id, committed);
                if (!committed) {
                    report.notStored += static_cast<long long>(store.rows.size());
                    done += static_cast<long long>(store.rows.size());
                    return;
                }
            }
            const std::pair<QString, QString> name{store.table.schema, store.table.name};
            auto restore = restores.find(name);
            if (restore == restores.end() && !goneTables.count(name)) {
                try {
                    restore = restores
                                  .emplace(name, std::make_unique<db::RowRestore>(connection, store.table,
                                                                                  store.keyColumns))
                                  .first;
                } catch (const db::DbError& e) {
                    if (e.ruinsTheTable() && !e.sqlState().startsWith(u"42"))
                        throw;
                    goneTables[name] = e.message();
                }
            }
            if (restore != restores.end() && !restore->second->sideEffects().isEmpty() &&
                !noted.count(name)) {
                noted.insert(name);
                report.notes << QStringLiteral("%1: %2 ran on the run's updates and on the undo's; what they "
                                               "did beyond its rows is not undone.")
                                    .arg(store.table.displayName(),
                                         restore->second->sideEffects().join(QStringLiteral(", ")));
            }
            if (restore == restores.end()) {
                report.missing += static_cast<long long>(store.rows.size());
                report.listed << QStringLiteral("%1: %2 records not restored: %3")
                                     .arg(store.table.displayName())
                                     .arg(store.rows.size())
                                     .arg(goneTables[name]);
                report.notPutBack.append({store.table.displayName(), 0, QString(),
                                          QStringLiteral("%1 records not restored: %2")
                                              .arg(store.rows.size())
                                              .arg(goneTables[name])});
                done += static_cast<long long>(store.rows.size());
                return;
            }
            for (size_t at = 0; at < store.rows.size() && !stopped; at += ChunkRows) {
                const std::vector<db::RestoreRow> chunk(
                    store.rows.begin() + static_cast<std::ptrdiff_t>(at),
                    store.rows.begin() +
                        static_cast<std::ptrdiff_t>(std::min(store.rows.size(), at + ChunkRows)));
                try {
                    const std::vector<db::RestoreOutcome> outcomes =
                        lookOnly ? restore->second->check(chunk)
                                 : restore->second->restore(chunk, recorder.get());
                    for (size_t i = 0; i < chunk.size(); ++i)
                        tally(report, store.table, store.keyColumns, chunk[i], outcomes[i]);
                } catch (const db::DbError& e) {
                    if (e.stopsTheRun() || e.sqlState().startsWith(u"08"))
                        throw;
                    // Nothing of the chunk stayed; a row the server refuses (a trigger, a constraint
                    // since) is tried alone, so that the others still go back.
                    for (const db::RestoreRow& row : chunk) {
                        try {
                            const auto outcome = lookOnly ? restore->second->check({row})
                                                          : restore->second->restore({row}, recorder.get());
                            tally(report, store.table, store.keyColumns, row, outcome.front());
                        } catch (const db::DbError& alone) {
                            if (alone.stopsTheRun() || alone.sqlState().startsWith(u"08"))
                                throw;
                            ++report.failed;
                            notPutBack(report, store.table, store.keyColumns, row,
                                       QStringLiteral("not put back: ") + alone.message());
                        }
                    }
                }
                done += static_cast<long long>(chunk.size());
                if (host) {
                    host->progress(done, total);
                    stopped = host->stopRequested();
                }
            }
        });
    } catch (...) {
        if (!lookOnly)
            journal.endRun(report.undoRun);
        throw;
    }
    if (!lookOnly)
        journal.endRun(report.undoRun);
    if (stopped)
        report.listed << QStringLiteral(
                             "Stopped before the end: %1 of %2 records were looked at. The rest are "
                             "still as the run left them.")
                             .arg(done)
                             .arg(total);
    return report;
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
