#pragma once
// A run as it goes on record: begun in the observer's journal with the tables and pairs it was asked,
// and ended when it goes, whichever engine ran it. The one way both engines start a run.

#include "db/StoreJournal.h"
#include "engine/RunRequest.h"

#include <QString>

#include <memory>

namespace quarvel::engine {

class RunRecord
{
public:
    // Puts the run on record; without a journal records nothing. The record walk's recorder also keeps
    // the pairs the walk reads as they change. Throws JournalError when the journal cannot take it.
    RunRecord(RunObserver& observer, const RunRequest& request, const char* engine, bool walk);
    ~RunRecord();
    RunRecord(const RunRecord&) = delete;
    RunRecord& operator=(const RunRecord&) = delete;

    // What takes every store of the run; null without a journal.
    db::StoreJournal* recorder() const { return m_recorder.get(); }

private:
    Journal* m_journal = nullptr;
    qint64 m_run = 0;
    std::unique_ptr<db::StoreJournal> m_recorder;
};

// A run that is going on holds its engine's flag, so that a second press while it goes is ignored.
class RunningFlag
{
public:
    // False in `entered` when a run already holds the flag.
    explicit RunningFlag(bool& running) : m_running(running), m_entered(!running) { m_running = true; }
    ~RunningFlag()
    {
        if (m_entered)
            m_running = false;
    }
    RunningFlag(const RunningFlag&) = delete;
    RunningFlag& operator=(const RunningFlag&) = delete;
    bool entered() const { return m_entered; }

private:
    bool& m_running;
    bool m_entered;
};

} // namespace quarvel::engine
