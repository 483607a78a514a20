#include "engine/RunRecord.h"

#include "engine/Journal.h"

namespace quarvel::engine {

RunRecord::RunRecord(RunObserver& observer, const RunRequest& request, const char* engine, bool walk)
{
    Journal* journal = observer.journal();
    if (!journal)
        return;
    RunPlace place;
    try {
        place = runPlaceOf(request.connectionString);
    } catch (...) {
        // What cannot be told now is reported by the run's own steps; the journal keeps what it has.
    }
    RunChoice choice{request.selection.patterns, {}};
    for (const auto& [entry, columns] : request.selection.columns)
        choice.columns.append({request.tables.at(entry).second, columns});
    m_run = journal->beginRun(place, request.tableTexts(), request.journalPairs(), 0,
                              QString::fromLatin1(engine), choice);
    m_journal = journal;
    m_recorder = walk ? journal->walkRecorder(m_run) : journal->recorder(m_run);
}

RunRecord::~RunRecord()
{
    if (m_journal)
        m_journal->endRun(m_run);
}

} // namespace quarvel::engine
