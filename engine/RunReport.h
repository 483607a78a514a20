#pragma once
// How both engines report: the numbered steps a failure names, the messages they share, and the notices
// to the observer, which must never break a run. A failure reads the same whichever engine met it.

#include "core/Procedure.h"
#include "engine/RunRequest.h"

#include <QString>

#include <exception>

namespace quarvel::engine {

// The steps of "Start Replacing", as its error reports number them.
namespace step {
constexpr int ConnectionMade = 100;
constexpr int RecordSetMade = 102;
constexpr int Hourglass = 104;
constexpr int TableLoop = 108;
constexpr int TickTest = 110;
constexpr int ConnectionOpen = 112;
constexpr int TableNamed = 114;
constexpr int RecordSetSetUp = 116;
constexpr int TableOpen = 118;
constexpr int AnyRecord = 120;
constexpr int FieldCount = 126;
constexpr int EndTest = 128;
constexpr int Events = 132;
constexpr int TabTest = 134;
constexpr int SetCount = 144;
constexpr int Store = 156;
constexpr int RecordSetClose = 158;
constexpr int ConnectionClose = 160;
constexpr int DefaultPointer = 164;
constexpr int Done = 170;
} // namespace step

// One pair's three steps: the single pair's, and a set's.
struct PairLines
{
    int match;
    int log;
    int store;
};
constexpr PairLines SinglePairLines{136, 138, 140};
constexpr PairLines SetLines{146, 148, 150};
inline PairLines pairLines(const RunRequest& request)
{
    return request.singlePair ? SinglePairLines : SetLines;
}

// Shown when the journal cannot take the run: nothing is stored then.
QString journalMissingMessage(const QString& why);

// Thrown out of a table's walk: the run ends (stop asked, or the journal failed) ...
class RunStopped : public std::exception
{
};
// ... or the table can take no more changes (the connection is gone, the role may not write).
class TableLeft : public std::exception
{
};

void tellTableStarted(RunObserver& observer, int entry) noexcept;
void tellProgress(RunObserver& observer, int entry, int entryCount, long long record,
                  long long recordCount) noexcept;
void tellReplaced(RunObserver& observer, const QString& fieldName) noexcept;
void tellUnlogged(RunObserver& observer, const QString& fieldName) noexcept;
void tellTableWay(RunObserver& observer, int entry, const QString& walkReason) noexcept;
// Tells nothing when no column is named.
void tellNotUpdatable(RunObserver& observer, int entry, const QStringList& columns) noexcept;
// Whether the observer asks to end the run; one that fails to say lets it go on.
bool stopAsked(RunObserver& observer) noexcept;

// Reports a failure at its step; one that stops the run or leaves the table is thrown on as such.
void reportFailure(Procedure& p, int line, const std::exception_ptr& failure);

// Runs a step of a walk: a failure is reported, and thrown on where it ends the run or the table.
template <class F> bool walkStep(Procedure& p, int line, F&& body)
{
    try {
        body();
        return true;
    } catch (...) {
        reportFailure(p, line, std::current_exception());
        return false;
    }
}

} // namespace quarvel::engine
