#include "engine/RunReport.h"

#include "db/DbError.h"

namespace quarvel::engine {

QString journalMissingMessage(const QString& why)
{
    return QStringLiteral("The journal of old values cannot be written (%1), so nothing was replaced: every "
                          "change is put on record before it is stored. Free some disk space or make the "
                          "folder writable, then start again.")
        .arg(why);
}

void tellTableStarted(RunObserver& observer, int entry) noexcept
{
    try {
        observer.tableStarted(entry);
    } catch (...) {
    }
}

void tellProgress(RunObserver& observer, int entry, int entryCount, long long record,
                  long long recordCount) noexcept
{
    try {
        observer.progress(entry, entryCount, record, recordCount);
    } catch (...) {
    }
}

void tellReplaced(RunObserver& observer, const QString& fieldName) noexcept
{
    try {
        observer.replaced(fieldName);
    } catch (...) {
    }
}

void tellUnlogged(RunObserver& observer, const QString& fieldName) noexcept
{
    try {
        observer.unlogged(fieldName);
    } catch (...) {
    }
}

void tellTableWay(RunObserver& observer, int entry, const QString& walkReason) noexcept
{
    try {
        observer.tableWay(entry, walkReason);
    } catch (...) {
    }
}

void tellNotUpdatable(RunObserver& observer, int entry, const QStringList& columns) noexcept
{
    if (columns.isEmpty())
        return;
    try {
        observer.notUpdatable(entry, columns);
    } catch (...) {
    }
}

bool stopAsked(RunObserver& observer) noexcept
{
    try {
        return observer.stopRequested();
    } catch (...) {
        return false;
    }
}

void reportFailure(Procedure& p, int line, const std::exception_ptr& failure)
{
    p.report(line, failure);
    try {
        std::rethrow_exception(failure);
    } catch (const db::DbError& e) {
        if (e.stopsTheRun())
            throw RunStopped();
        if (e.ruinsTheTable())
            throw TableLeft();
    } catch (...) {
    }
}

} // namespace quarvel::engine
