#include "cli/CliRun.h"

#include "core/Identity.h"
#include "engine/PushdownRun.h"

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

CliRunHost::CliRunHost(QString connectionString, QList<ListedTable> tables, Pairs pairs,
                       engine::Journal& journal, const std::atomic<bool>& stop, ProgressSink progress)
    : m_connectionString(std::move(connectionString)), m_tables(std::move(tables)), m_pairs(std::move(pairs)),
      m_journal(journal), m_stop(stop), m_progress(std::move(progress))
{
    for (const ListedTable& listed : std::as_const(m_tables))
        m_outcome.tables.append(TableOutcome{listed.text});
}

RunOutcome CliRunHost::run(Engine engine)
{
    if (engine == Engine::Server) {
        engine::PushdownRun run;
        run.tableWay = [this](int entry, const QString& walkReason) {
            m_outcome.tables[entry].walkReason = walkReason;
        };
        run.run(*this);
    } else {
        engine::ReplaceRun run;
        run.PushButton1_Click(*this);
    }
    m_outcome.stopped = m_stop.load();
    if (m_journaled)
        m_outcome.journalRun = m_journal.newestRun();
    return m_outcome;
}

int CliRunHost::tableCount()
{
    return int(m_tables.size());
}

bool CliRunHost::isTicked(int entry)
{
    // Asked first for every table the run enters: what it reports from here on belongs to this one.
    m_entry = entry;
    return true;
}

db::Table CliRunHost::table(int entry)
{
    return m_tables.at(entry).table;
}

QString CliRunHost::tableText(int entry)
{
    return m_tables.at(entry).text;
}

QString CliRunHost::connectionString()
{
    return m_connectionString;
}

int CliRunHost::selectedTab()
{
    return m_pairs.useSets ? 1 : 0;
}

QString CliRunHost::findText()
{
    return m_pairs.find;
}

QString CliRunHost::replaceText()
{
    return m_pairs.replacement;
}

int CliRunHost::setCount()
{
    return int(m_pairs.sets.size());
}

QString CliRunHost::setFindText(int set)
{
    return m_pairs.sets.at(set).find;
}

QString CliRunHost::setReplaceText(int set)
{
    return m_pairs.sets.at(set).replacement;
}

void CliRunHost::progress(int entry, int entryCount, long long record, long long recordCount)
{
    TableOutcome& table = m_outcome.tables[entry];
    table.records = record;
    if (m_progress)
        m_progress(table, entry, entryCount, recordCount);
}

void CliRunHost::replaced(const QString&)
{
    if (m_entry >= 0)
        ++m_outcome.tables[m_entry].replaced;
}

void CliRunHost::unlogged(const QString&)
{
    if (m_entry < 0)
        return;
    ++m_outcome.tables[m_entry].replaced;
    ++m_outcome.tables[m_entry].logFailures;
}

bool CliRunHost::stopRequested()
{
    return m_stop.load();
}

engine::Journal* CliRunHost::journal()
{
    m_journaled = true;
    return &m_journal;
}

void CliRunHost::message(const QString& text)
{
    // "Done." ends every run; anything else is a run that could not start.
    if (text != u"Done.")
        m_outcome.failures.append(RunFailure{QString(), 0, text});
}

void CliRunHost::errorReport(const QString& text)
{
    RunFailure failure = parseErrorReport(text);
    if (m_entry >= 0) {
        TableOutcome& table = m_outcome.tables[m_entry];
        failure.table = table.table;
        ++table.failures;
        // A failure inside a record's walk says which record, as a failure found when its batch is
        // stored already does.
        if (table.records > 0 && !failure.message.contains(QStringLiteral("\nRecord ")))
            failure.message += QStringLiteral("\nRecord %1 of %2.").arg(table.records).arg(table.table);
    }
    m_outcome.failures.append(failure);
}

} // namespace quarvel::cli
