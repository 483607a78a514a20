#include "engine/ReplaceRun.h"

#include "core/Procedure.h"
#include "db/Connection.h"
#include "db/RecordSet.h"
#include "engine/Replace.h"
#include "engine/ReplacementLog.h"

#include <QDateTime>
#include <QScopeGuard>

#include <memory>
#include <optional>
#include <stdexcept>

namespace quarvel::engine {

namespace {

// A step failure after which the table can take no more changes: the connection is gone, the role may
// not write, or the transaction is read-only. Going on would only repeat the same report for every
// field and record.
bool ruinsTheTable(const std::exception_ptr& failure)
{
    try {
        std::rethrow_exception(failure);
    } catch (const db::DbError& e) {
        return e.ruinsTheTable();
    } catch (...) {
        return false;
    }
}

class RunStopped : public std::exception
{
};

// The journal could not take a store: nothing more may be stored anywhere.
bool stopsTheRun(const std::exception_ptr& failure)
{
    try {
        std::rethrow_exception(failure);
    } catch (const db::DbError& e) {
        return e.stopsTheRun();
    } catch (...) {
        return false;
    }
}

class TableLeft : public std::exception
{
};

// Progress is for the eyes only: it must never break a run.
void tellProgress(RunHost& host, int entry, int entryCount, long long record, long long recordCount) noexcept
{
    try {
        host.progress(entry, entryCount, record, recordCount);
    } catch (...) {
    }
}

// Tells the host of a replacement; like progress, this must never break a run.
void tellReplaced(RunHost& host, const QString& fieldName) noexcept
{
    try {
        host.replaced(fieldName);
    } catch (...) {
    }
}

void tellUnlogged(RunHost& host, const QString& fieldName) noexcept
{
    try {
        host.unlogged(fieldName);
    } catch (...) {
    }
}

// Whether the host asks to end the run; a host that fails to say lets it go on.
bool stopAsked(RunHost& host) noexcept
{
    try {
        return host.stopRequested();
    } catch (...) {
        return false;
    }
}

// Runs a step of the record walk; a failure is reported, and when it ruins the table the walk leaves it.
template <class F> bool walkStep(Procedure& p, int line, F&& body)
{
    try {
        body();
        return true;
    } catch (...) {
        const std::exception_ptr failure = std::current_exception();
        p.report(line, failure);
        if (stopsTheRun(failure))
            throw RunStopped();
        if (ruinsTheTable(failure))
            throw TableLeft();
        return false;
    }
}

// The report lines of one pair's three steps: the single pair's, and a set's.
struct PairLines
{
    int match;
    int log;
    int store;
};
constexpr PairLines SinglePairLines{136, 138, 140};
constexpr PairLines SetLines{146, 148, 150};

// One pair applied to field j of the current record: match test, log line, new value.
void applyPair(Procedure& p, RunHost& host, db::RecordSet& records, int j, const QString& find,
               const QString& replacement, const QString& tableText, const PairLines& lines)
{
    std::optional<QString> value;
    bool matched = false;
    walkStep(p, lines.match, [&] {
        value = records.value(j);
        matched = matches(value, find);
    });
    if (!matched)
        return;
    QString fieldName;
    if (walkStep(p, lines.log, [&] {
            fieldName = records.fieldName(j);
            AppendLogLine(logLine(QDateTime::currentDateTime(), find, replacement, tableText, fieldName));
        }))
        tellReplaced(host, fieldName);
    else
        tellUnlogged(host, fieldName);
    walkStep(p, lines.store, [&] { records.setValue(j, replaceAndTrim(*value, find, replacement)); });
}

// Stores are made in batches, so a record's failure is told when its batch is stored, at the step
// that stores it, naming the record. One that leaves the table ends the walk.
void reportStoreFailures(Procedure& p, db::RecordSet& records)
{
    for (const db::StoreFailure& failure : records.takeFailures()) {
        p.report(156, std::make_exception_ptr(failure.error.describing(failure.row)));
        if (failure.error.stopsTheRun())
            throw RunStopped();
        if (failure.error.ruinsTheTable())
            throw TableLeft();
    }
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
    walkStep(p, 132, [&] { host.processEvents(); });
    int tab = -1;
    walkStep(p, 134, [&] { tab = host.selectedTab(); });
    if (tab == 0) {
        QString find;
        QString replacement;
        walkStep(p, 136, [&] {
            find = host.findText();
            replacement = host.replaceText();
        });
        pairsRead.read(place, j, {{find, replacement}}, 136);
        applyPair(p, host, records, j, find, replacement, tableText, SinglePairLines);
    } else if (tab == 1) {
        const int sets = p.value(144, 0, [&] { return host.setCount(); });
        RunPairs read;
        for (int k = 0; k < sets; ++k) {
            QString find;
            QString replacement;
            if (!walkStep(p, 146, [&] {
                    find = host.setFindText(k);
                    replacement = host.setReplaceText(k);
                }))
                continue;
            read.append({find, replacement});
            applyPair(p, host, records, j, find, replacement, tableText, SetLines);
        }
        pairsRead.read(place, j, read, 146);
    }
}

void walkRecords(Procedure& p, RunHost& host, db::RecordSet& records, int entry, int entryCount,
                 const QString& tableText)
{
    const int fields = p.value(126, 0, [&] { return records.fieldCount(); });
    const long long recordCount = p.value<long long>(126, 0, [&] { return records.recordCount(); });
    PairsRead pairsRead(p, host, records, fields);
    long long record = 0;
    tellProgress(host, entry, entryCount, 0, recordCount);
    for (;;) {
        bool atEnd = false;
        if (!walkStep(p, 128, [&] { atEnd = records.isEOF(); }))
            throw TableLeft(); // an end-of-records test that fails would fail for ever
        if (atEnd)
            break;
        if (stopAsked(host))
            throw RunStopped();
        tellProgress(host, entry, entryCount, ++record, recordCount);
        for (int j = 0; j < fields; ++j)
            walkField(p, host, records, j, tableText, pairsRead, record);
        // The record set advances even when storing fails, so a failure here never repeats on one record.
        walkStep(p, 156, [&] { records.moveNext(); });
        reportStoreFailures(p, records);
    }
}

// Stores what is still waiting in the table's batches and reports what failed, also when the walk
// left the table early: a change whose log line was written is stored if the table can take it.
void storeTheRest(Procedure& p, db::RecordSet& records)
{
    try {
        walkStep(p, 156, [&] { records.flush(); });
        reportStoreFailures(p, records);
    } catch (const TableLeft&) {
    }
}

// What the run is asked to do, as the journal keeps it: the ticked tables and the pairs of the tab.
void describeRun(RunHost& host, QStringList& tables, RunPairs& pairs)
{
    for (int i = 0; i < host.tableCount(); ++i)
        if (host.isTicked(i))
            tables << host.tableText(i);
    const int tab = host.selectedTab();
    if (tab == 0)
        pairs.append({host.findText(), host.replaceText()});
    else if (tab == 1)
        for (int k = 0; k < host.setCount(); ++k)
            pairs.append({host.setFindText(k), host.setReplaceText(k)});
}

// Opens the run in the host's journal; nullptr without one. Throws JournalError.
std::unique_ptr<db::StoreJournal> openJournal(RunHost& host, Journal*& journal, qint64& run)
{
    journal = host.journal();
    if (!journal)
        return nullptr;
    QStringList tables;
    RunPairs pairs;
    RunPlace place;
    try {
        describeRun(host, tables, pairs);
        place = runPlaceOf(host.connectionString());
    } catch (const JournalError&) {
        throw;
    } catch (...) {
        // What cannot be told now is reported by the run's own steps; the journal keeps what it has.
    }
    run = journal->beginRun(place, tables, pairs, 0, QString::fromLatin1(RecordWalkEngine));
    return journal->walkRecorder(run);
}

} // namespace

QString ReplaceRun::journalMissingMessage(const QString& why)
{
    return QStringLiteral("The journal of old values cannot be written (%1), so nothing was replaced: every "
                          "change is put on record before it is stored. Free some disk space or make the "
                          "folder writable, then start again.")
        .arg(why);
}

bool ReplaceRun::PushButton1_Click(RunHost& host)
{
    if (m_running)
        return false;
    m_running = true;
    const auto notRunning = qScopeGuard([this] { m_running = false; });
    Journal* journal = nullptr;
    qint64 journalRun = 0;
    std::unique_ptr<db::StoreJournal> recorder;
    try {
        recorder = openJournal(host, journal, journalRun);
    } catch (const std::exception& e) {
        host.prompts().message(journalMissingMessage(QString::fromUtf8(e.what())));
        return true;
    }
    const auto runEnded = qScopeGuard([&] {
        if (recorder)
            journal->endRun(journalRun);
    });
    Procedure p(host.prompts(), QLatin1String(Location));

    std::optional<db::Connection> connection;
    std::optional<db::RecordSet> records;
    p.step(100, [&] { connection.emplace(); });
    p.step(102, [&] { records.emplace(); });
    p.step(104, [&] { host.setPointerMode(Hourglass); });

    const int entries = p.loopCount(108, [&] { return host.tableCount(); });
    bool stopped = false;
    for (int i = 0; i < entries && !stopped; ++i) {
        if (!p.test(110, [&] { return host.isTicked(i); }))
            continue;
        // A connection or a table that cannot be opened is reported once; the run goes on with the next
        // ticked table rather than failing step after step on this one.
        if (!p.step(112, [&] {
                if (!connection)
                    throw std::runtime_error("The connection object could not be created.");
                connection->open(host.connectionString());
            }))
            continue;
        QString tableText;
        db::Table table;
        const bool named = p.step(114, [&] {
            table = host.table(i);
            tableText = host.tableText(i);
        });
        bool opened = false;
        if (named) {
            p.step(116, [&] {
                if (!records)
                    throw std::runtime_error("The record set object could not be created.");
                // No client cursor to ask for: a record set always reads through a streaming connection
                // of its own, whatever the cursor location and type of the classic steps.
                records->setBatchSize(db::RecordSet::DefaultBatchRows);
                records->setJournal(recorder.get());
            });
            opened =
                records && p.step(118, [&] { records->open(table, *connection, db::LockType::Optimistic); });
        }
        if (opened && p.test(120, [&] { return !records->isEOF(); })) {
            try {
                walkRecords(p, host, *records, i, entries, tableText);
            } catch (const TableLeft&) {
            } catch (const RunStopped&) {
                stopped = true;
            }
            try {
                storeTheRest(p, *records);
            } catch (const RunStopped&) {
                stopped = true;
            }
        }
        if (records)
            p.step(158, [&] { records->close(); });
        p.step(160, [&] { connection->close(); });
    }

    p.step(164, [&] { host.setPointerMode(DefaultPointer); });
    // A run stopped because its window is closing ends with the program: nothing is left to answer.
    if (!stopAsked(host))
        p.step(170, [&] { host.prompts().message(QStringLiteral("Done.")); });
    return true;
}

} // namespace quarvel::engine
