#include "engine/ReplaceRun.h"

#include "core/Procedure.h"
#include "core/ReplacementPlan.h"
#include "db/Connection.h"
#include "db/RecordSet.h"
#include "engine/ReplacementLog.h"
#include "engine/RunRecord.h"
#include "engine/RunReport.h"

#include <QDateTime>
#include <QScopeGuard>

#include <algorithm>
#include <memory>
#include <optional>
#include <stdexcept>

namespace quarvel::engine {

namespace {

// One pair applied to field j of the current record: match test, log line, new value.
void applyPair(Procedure& p, RunHost& host, db::RecordSet& records, int j, const QString& find,
               const QString& replacement, const QString& tableText, const PairLines& lines)
{
    std::optional<QString> replaced;
    walkStep(p, lines.match, [&] {
        replaced = ReplacementPlan::applyPair({find, replacement}, records.value(j));
    });
    if (!replaced)
        return;
    QString fieldName;
    if (walkStep(p, lines.log, [&] {
            fieldName = records.fieldName(j);
            AppendLogLine(logLine(QDateTime::currentDateTime(), find, replacement, tableText, fieldName));
        }))
        tellReplaced(host, fieldName);
    else
        tellUnlogged(host, fieldName);
    // A text the column refuses fails here and leaves the field as it was for the next pair.
    walkStep(p, lines.store, [&] { records.setValue(j, *replaced); });
}

// Stores are made in batches, so a record's failure is told when its batch is stored, at the step
// that stores it, naming the record. One that leaves the table ends the walk.
void reportStoreFailures(Procedure& p, db::RecordSet& records)
{
    for (const db::StoreFailure& failure : records.takeFailures())
        reportFailure(p, step::Store, std::make_exception_ptr(failure.error.describing(failure.row)));
}

// What the walk read of the pairs, told to the journal where it differs from what it read before: a change
// made to them during the run counts from the field it was read for, and the journal keeps what ran.
class PairsRead
{
public:
    PairsRead(Procedure& p, RunHost& host, db::RecordSet& records, int fields) : m_p(p)
    {
        try {
            m_journal = host.journal();
            if (!m_journal)
                return;
            m_journal->walkingTable();
            for (int j = 0; j < fields; ++j)
                m_names << records.fieldName(j);
        } catch (...) {
            // Names not known: a change of the pairs is then put on record from the next record on.
        }
    }

    // The pairs read for field j of the record at place, at the report line of that read. A journal that
    // cannot take them stops the run, as one that cannot take a store does.
    void read(long long place, int field, const RunPairs& pairs, int line)
    {
        if (!m_journal || pairs == m_last)
            return;
        try {
            m_journal->pairsRead(place, m_names.mid(field), pairs);
            m_last = pairs;
        } catch (...) {
            m_p.report(line, std::current_exception());
            throw RunStopped();
        }
    }

private:
    Procedure& m_p;
    Journal* m_journal = nullptr;
    QStringList m_names;
    std::optional<RunPairs> m_last;
};

// Applies the pairs of the selected tab to field j of the record at place, reading them as they stand now.
void walkField(Procedure& p, RunHost& host, db::RecordSet& records, int j, const QString& tableText,
               PairsRead& pairsRead, long long place)
{
    walkStep(p, step::Events, [&] { host.processEvents(); });
    int tab = -1;
    walkStep(p, step::TabTest, [&] { tab = host.selectedTab(); });
    if (tab == 0) {
        QString find;
        QString replacement;
        walkStep(p, SinglePairLines.match, [&] {
            find = host.findText();
            replacement = host.replaceText();
        });
        pairsRead.read(place, j, {{find, replacement}}, SinglePairLines.match);
        applyPair(p, host, records, j, find, replacement, tableText, SinglePairLines);
    } else if (tab == 1) {
        const int sets = p.value(step::SetCount, 0, [&] { return host.setCount(); });
        RunPairs read;
        for (int k = 0; k < sets; ++k) {
            QString find;
            QString replacement;
            if (!walkStep(p, SetLines.match, [&] {
                    find = host.setFindText(k);
                    replacement = host.setReplaceText(k);
                }))
                continue;
            read.append({find, replacement});
            applyPair(p, host, records, j, find, replacement, tableText, SetLines);
        }
        pairsRead.read(place, j, read, SetLines.match);
    }
}

// The fields the walk may search: those chosen that the role may update, the others told. One whose
// name cannot be read cannot be shown to be chosen: left alone.
std::vector<bool> searchedFields(RunHost& host, db::RecordSet& records, int entry, int fields)
{
    std::vector<bool> searched;
    searched.reserve(size_t(std::max(fields, 0)));
    const RunSelection selection = host.selection();
    QStringList notUpdatable;
    for (int j = 0; j < fields; ++j) {
        try {
            const QString name = records.fieldName(j);
            const bool chosen = selection.searches(entry, name);
            const bool updatable = records.roleMayUpdate(j);
            if (chosen && !updatable)
                notUpdatable << name;
            searched.push_back(chosen && updatable);
        } catch (const db::DbError&) {
            searched.push_back(false);
        }
    }
    tellNotUpdatable(host, entry, notUpdatable);
    return searched;
}

void walkRecords(Procedure& p, RunHost& host, db::RecordSet& records, int entry, int entryCount,
                 const QString& tableText)
{
    const int fields = p.value(step::FieldCount, 0, [&] { return records.fieldCount(); });
    const std::vector<bool> searched = searchedFields(host, records, entry, fields);
    // Every field left out: the role may update none of them, and nothing here can change.
    if (fields > 0 && std::none_of(searched.begin(), searched.end(), [](bool field) { return field; }))
        return;
    const long long recordCount =
        p.value<long long>(step::FieldCount, 0, [&] { return records.recordCount(); });
    PairsRead pairsRead(p, host, records, fields);
    long long record = 0;
    tellProgress(host, entry, entryCount, 0, recordCount);
    for (;;) {
        bool atEnd = false;
        if (!walkStep(p, step::EndTest, [&] { atEnd = records.isEOF(); }))
            throw TableLeft(); // an end-of-records test that fails would fail for ever
        if (atEnd)
            break;
        if (stopAsked(host))
            throw RunStopped();
        tellProgress(host, entry, entryCount, ++record, recordCount);
        for (int j = 0; j < fields; ++j)
            if (searched[size_t(j)])
                walkField(p, host, records, j, tableText, pairsRead, record);
        // The record set advances even when storing fails, so a failure here never repeats on one record.
        walkStep(p, step::Store, [&] { records.moveNext(); });
        reportStoreFailures(p, records);
    }
}

// Stores what is still waiting in the table's batches and reports what failed, also when the walk
// left the table early: a change whose log line was written is stored if the table can take it.
void storeTheRest(Procedure& p, db::RecordSet& records)
{
    try {
        walkStep(p, step::Store, [&] { records.flush(); });
        reportStoreFailures(p, records);
    } catch (const TableLeft&) {
    }
}

} // namespace

void walkOpenTable(Procedure& p, RunHost& host, db::RecordSet& records, int entry, int entries,
                   const QString& tableText)
{
    bool stopped = false;
    try {
        walkRecords(p, host, records, entry, entries, tableText);
    } catch (const TableLeft&) {
    } catch (const RunStopped&) {
        stopped = true;
    }
    try {
        storeTheRest(p, records);
    } catch (const RunStopped&) {
        stopped = true;
    }
    if (stopped)
        throw RunStopped();
}

namespace {

// What the run is asked, as the journal keeps it: the ticked tables and the pairs of the tab when it
// starts. What cannot be read now is reported by the run's own steps.
RunRequest describedRun(RunHost& host)
{
    try {
        return RunRequestBuilder::fromHost(host).build();
    } catch (...) {
        return {};
    }
}

} // namespace

// One ticked table: opened on the connection, walked, its changes stored, closed. Throws RunStopped.
void ReplaceRun::runTable(Procedure& p, RunHost& host, TableObjects& objects, int entry, int entries,
                          db::StoreJournal* recorder)
{
    tellTableStarted(host, entry);
    std::optional<db::Connection>& connection = objects.connection;
    std::optional<db::RecordSet>& records = objects.records;
    // A connection or a table that cannot be opened is reported once; the run goes on with the next
    // ticked table rather than failing step after step on this one.
    if (!p.step(step::ConnectionOpen, [&] {
            if (!connection)
                throw std::runtime_error("The connection object could not be created.");
            connection->open(host.connectionString());
        }))
        return;
    QString tableText;
    db::Table table;
    const bool named = p.step(step::TableNamed, [&] {
        table = host.table(entry);
        tableText = host.tableText(entry);
    });
    bool opened = false;
    if (named) {
        p.step(step::RecordSetSetUp, [&] {
            if (!records)
                throw std::runtime_error("The record set object could not be created.");
            // No client cursor to ask for: a record set always reads through a streaming connection of
            // its own, whatever the cursor location and type of the classic steps.
            records->setBatchSize(db::RecordSet::DefaultBatchRows);
            records->setJournal(recorder);
        });
        opened = records && p.step(step::TableOpen,
                                   [&] { records->open(table, *connection, db::LockType::Optimistic); });
    }
    const auto closed = qScopeGuard([&] {
        if (records)
            p.step(step::RecordSetClose, [&] { records->close(); });
        p.step(step::ConnectionClose, [&] { connection->close(); });
    });
    if (opened && p.test(step::AnyRecord, [&] { return !records->isEOF(); }))
        walkOpenTable(p, host, *records, entry, entries, tableText);
}

bool ReplaceRun::PushButton1_Click(RunHost& host)
{
    const RunningFlag running(m_running);
    if (!running.entered())
        return false;
    std::optional<RunRecord> record;
    try {
        record.emplace(host, describedRun(host), RecordWalkEngine, true);
    } catch (const std::exception& e) {
        host.prompts().message(journalMissingMessage(QString::fromUtf8(e.what())));
        return true;
    }
    Procedure p(host.prompts(), QLatin1String(Location));
    TableObjects objects;
    p.step(step::ConnectionMade, [&] { objects.connection.emplace(); });
    p.step(step::RecordSetMade, [&] { objects.records.emplace(); });
    p.step(step::Hourglass, [&] { host.setPointerMode(Hourglass); });

    const int entries = p.loopCount(step::TableLoop, [&] { return host.tableCount(); });
    try {
        for (int i = 0; i < entries; ++i)
            if (p.test(step::TickTest, [&] { return host.isTicked(i); }))
                runTable(p, host, objects, i, entries, record->recorder());
    } catch (const RunStopped&) {
    }
    p.step(step::DefaultPointer, [&] { host.setPointerMode(DefaultPointer); });
    // A run stopped because its window is closing ends with the program: nothing is left to answer.
    if (!stopAsked(host))
        p.step(step::Done, [&] { host.prompts().message(QStringLiteral("Done.")); });
    return true;
}

} // namespace quarvel::engine
