#include "cli/CliRun.h"

#include "core/Identity.h"
#include "engine/PushdownRun.h"
#include "engine/RequestHost.h"

#include <QRegularExpression>

#include <utility>

namespace quarvel::cli {

RunFailure parseErrorReport(const QString& report)
{
    // The report's tail names the program's place and asks for a screenshot: a terminal wants the
    // description and the step only.
    static const QRegularExpression tail(QStringLiteral("\\r\\nin %1\\.[^\\r\\n]* at line (\\d+)\\r\\n")
                                             .arg(QRegularExpression::escape(identity::ReportPrefix)));
    RunFailure failure;
    QRegularExpressionMatch found;
    const qsizetype at = report.lastIndexOf(tail, -1, &found);
    if (at < 0) {
        failure.message = report;
        return failure;
    }
    failure.message = report.left(at);
    failure.line = found.captured(1).toInt();
    return failure;
}

engine::RunRequestBuilder requestFor(const QString& connectionString, const QList<ListedTable>& tables,
                                     const Pairs& pairs)
{
    engine::RunRequestBuilder builder;
    builder.connection(connectionString);
    for (const ListedTable& listed : tables) {
        if (listed.columns)
            builder.table(listed.table, listed.text, *listed.columns);
        else
            builder.table(listed.table, listed.text);
    }
    if (pairs.useSets)
        builder.sets(pairs.sets);
    else
        builder.singlePair(pairs.find, pairs.replacement);
    return builder;
}

CliRunObserver::CliRunObserver(const QList<ListedTable>& tables, engine::Journal& journal,
                               const std::atomic<bool>& stop, ProgressSink progress)
    : m_journal(journal), m_stop(stop), m_progress(std::move(progress))
{
    for (const ListedTable& listed : tables)
        m_outcome.tables.append(TableOutcome{listed.text});
}

RunOutcome CliRunObserver::run(const engine::RunRequest& request)
{
    if (request.onServer) {
        engine::PushdownRun().run(request, *this);
    } else {
        engine::RequestHost host(request, *this);
        engine::ReplaceRun().PushButton1_Click(host);
    }
    m_outcome.stopped = m_stop.load();
    if (m_journaled)
        m_outcome.journalRun = m_journal.newestRun();
    countStored(request);
    return m_outcome;
}

// What was replaced is what was stored, as the journal has it: a field whose store was refused, or whose
// text a later pair made what it was, is not counted, and a field two pairs matched counts once.
void CliRunObserver::countStored(const engine::RunRequest& request)
{
    if (!m_journaled)
        return;
    std::map<QString, long long> stored;
    try {
        if (m_outcome.journalRun > 0)
            stored = engine::storedFields(m_journal, m_outcome.journalRun);
    } catch (const std::exception&) {
        return; // the counts of the run stand
    }
    // A table listed twice is counted at its first entry.
    for (qsizetype i = 0; i < m_outcome.tables.size() && i < request.tables.size(); ++i) {
        const auto found = stored.find(request.tables[i].first.qualifiedName());
        m_outcome.tables[i].replaced = found == stored.end() ? 0 : found->second;
        if (found != stored.end())
            stored.erase(found);
    }
}

void CliRunObserver::tableWay(int entry, const QString& walkReason)
{
    m_outcome.tables[entry].walkReason = walkReason;
}

void CliRunObserver::notUpdatable(int entry, const QStringList& columns)
{
    m_outcome.tables[entry].notUpdatable = columns;
}

void CliRunObserver::progress(int entry, int entryCount, long long record, long long recordCount)
{
    TableOutcome& table = m_outcome.tables[entry];
    table.records = record;
    if (m_progress)
        m_progress(table, entry, entryCount, recordCount);
}

void CliRunObserver::replaced(const QString&)
{
    if (m_entry >= 0)
        ++m_outcome.tables[m_entry].replaced;
}

void CliRunObserver::unlogged(const QString&)
{
    if (m_entry < 0)
        return;
    ++m_outcome.tables[m_entry].replaced;
    ++m_outcome.tables[m_entry].logFailures;
}

bool CliRunObserver::stopRequested()
{
    return m_stop.load();
}

engine::Journal* CliRunObserver::journal()
{
    m_journaled = true;
    return &m_journal;
}

void CliRunObserver::message(const QString& text)
{
    // "Done." ends every run; anything else is a run that could not start.
    if (text != u"Done.")
        m_outcome.failures.append(RunFailure{QString(), 0, text});
}

void CliRunObserver::errorReport(const QString& text)
{
    RunFailure failure = parseErrorReport(text);
    if (m_entry >= 0) {
        TableOutcome& table = m_outcome.tables[m_entry];
        failure.table = table.table;
        ++table.failures;
        // A failure inside a record's walk says which record, as a failure found when its batch is
        // stored already does.
        if (table.records > 0 && !failure.message.contains(QStringLiteral("\nRecord ")))
            failure.message +=
                QStringLiteral("\nRecord %1 of %2.").arg(QString::number(table.records), table.table);
    }
    m_outcome.failures.append(failure);
}

} // namespace quarvel::cli
