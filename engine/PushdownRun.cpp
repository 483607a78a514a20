#include "engine/PushdownRun.h"

#include "core/Procedure.h"
#include "db/Connection.h"
#include "db/Pushdown.h"
#include "db/RecordSet.h"
#include "engine/BatchScheduler.h"
#include "engine/RequestHost.h"
#include "engine/RunRecord.h"
#include "engine/RunReport.h"

#include <QScopeGuard>

#include <future>
#include <memory>
#include <optional>
#include <stdexcept>

namespace quarvel::engine {

namespace {

// The holding connection rolls a failed statement back with its transaction: the driver's savepoint
// before each statement would keep the snapshot from being exported.
const QString HoldOptions = QStringLiteral(";Protocol=7.4-1");

// The record walk over one table, with the run's pairs and journal: for a table the server cannot do
// exactly. Throws RunStopped.
void walkTable(Procedure& p, RunObserver& observer, db::Connection& connection, const RunRequest& request,
               int entry, db::StoreJournal* journal)
{
    db::RecordSet records;
    records.setBatchSize(db::RecordSet::DefaultBatchRows);
    records.setJournal(journal);
    if (!p.step(step::TableOpen,
                [&] { records.open(request.tables.at(entry).first, connection, db::LockType::Optimistic); }))
        return;
    const auto closed = qScopeGuard([&] { records.close(); });
    RequestHost host(request, observer);
    walkOpenTable(p, host, records, entry, int(request.tables.size()), request.tables.at(entry).second);
}

} // namespace

// One table of the run: the server does it batch by batch, or the record walk where it cannot do it
// exactly. Throws RunStopped and TableLeft.
void PushdownRun::runTable(Procedure& p, RunObserver& observer, const RunRequest& request, int entry,
                           db::StoreJournal* journal)
{
    tellTableStarted(observer, entry);
    // The connection that holds the tables' locks opens beside the first table's shape being read: a
    // new session costs as much as the shape itself.
    if (!m_holdOpening.valid() && !m_holdConnection.isOpen())
        m_holdOpening = std::async(std::launch::async, [this, text = request.connectionString] {
            m_holdConnection.open(text + HoldOptions);
        });
    db::Connection connection;
    if (!p.step(step::ConnectionOpen, [&] { connection.open(request.connectionString); }))
        return;
    const db::Table& dbTable = request.tables.at(entry).first;
    const QString& tableText = request.tables.at(entry).second;
    const std::vector<std::pair<QString, QString>> pairs = request.pairsThatMatch();
    std::unique_ptr<db::PushdownTable> shape;
    std::optional<QString> walkReason;
    if (!p.step(step::TableOpen, [&] {
            shape = std::make_unique<db::PushdownTable>(
                connection, dbTable,
                [&request, entry](const QString& column) { return request.searches(entry, column); });
            if (!pairs.empty())
                walkReason = shape->walkReason(pairs);
        }))
        return;
    tellTableWay(observer, entry, walkReason.value_or(QString()));
    if (tableWay) {
        try {
            tableWay(entry, walkReason.value_or(QString()));
        } catch (...) {
        }
    }
    if (walkReason) {
        shape.reset(); // the walk's record set has the connection to itself
        walkTable(p, observer, connection, request, entry, journal);
        return;
    }
    tellNotUpdatable(observer, entry,
                     QStringList(shape->notUpdatable().begin(), shape->notUpdatable().end()));
    if (pairs.empty() || shape->columns().empty())
        return;
    const ServerTable table{request,
                            pairs,
                            ReplacementPlan(pairs),
                            dbTable,
                            tableText,
                            shape->columns(),
                            shape->keyColumns(),
                            pairLines(request),
                            *shape};
    runOnServer(p, observer, table, std::move(shape), journal, entry);
}

// The table's batches on the server, in the table's snapshot held on a connection of its own.
void PushdownRun::runOnServer(Procedure& p, RunObserver& observer, const ServerTable& table,
                              std::unique_ptr<db::PushdownTable> shape, db::StoreJournal* journal, int entry)
{
    shape->setPairs(table.pairs);
    shape->setCap({batchCapRows(table.request), db::PushdownCap{}.bytes});
    // The tables' locks and snapshots are held on a connection of their own, open for the whole run.
    if (!p.step(step::ConnectionOpen, [&] {
            if (m_holdOpening.valid())
                m_holdOpening.get(); // its failure is this table's
            else if (!m_holdConnection.isOpen())
                m_holdConnection.open(table.request.connectionString + HoldOptions);
        }))
        return;
    std::optional<db::PushdownTable> holder;
    if (!p.step(step::TableOpen, [&] { holder.emplace(m_holdConnection, *shape); }))
        return;
    BatchScheduler scheduler(table, p, observer, entry, int(table.request.tables.size()),
                             Lane{nullptr, std::move(shape)}, *holder, journal);
    try {
        scheduler.run();
    } catch (const db::DbError& error) {
        reportFailure(p, step::Store, std::make_exception_ptr(error));
    } catch (const std::logic_error& error) {
        p.report(step::Store, QString::fromUtf8(error.what()));
        throw RunStopped();
    }
}

bool PushdownRun::run(const RunRequest& request, RunObserver& observer)
{
    const RunningFlag running(m_running);
    if (!running.entered())
        return false;
    std::optional<RunRecord> record;
    try {
        record.emplace(observer, request, ServerEngine, false);
    } catch (const std::exception& e) {
        observer.prompts().message(journalMissingMessage(QString::fromUtf8(e.what())));
        return true;
    }
    Procedure p(observer.prompts(), QLatin1String(Location));
    const auto stopHolding = [this] {
        if (m_holdOpening.valid())
            m_holdOpening.wait(); // a failure no table needed it for is no one's to tell
        m_holdOpening = {};
        m_holdConnection.close();
    };
    auto held = qScopeGuard(stopHolding);
    for (int i = 0; i < int(request.tables.size()); ++i) {
        try {
            runTable(p, observer, request, i, record->recorder());
        } catch (const TableLeft&) {
        } catch (const RunStopped&) {
            break;
        }
    }
    held.dismiss();
    stopHolding();
    // A run stopped because its window is closing ends with the program: nothing is left to answer.
    if (!stopAsked(observer))
        p.step(step::Done, [&] { observer.prompts().message(QStringLiteral("Done.")); });
    return true;
}

bool PushdownRun::run(RunHost& host)
{
    RunRequest request;
    try {
        request = RunRequestBuilder::fromHost(host).batchRows(m_batchRows).onServer(true).build();
    } catch (const std::exception& e) {
        host.prompts().message(journalMissingMessage(QString::fromUtf8(e.what())));
        return true;
    }
    return run(request, host);
}

} // namespace quarvel::engine
