#pragma once
// The replacement run behind "Start Replacing": every ticked table, every record, every field; each
// pair that matches a field is logged and applied, and leaving a record stores its changes.
//
// The run reads its inputs from a host (the Main window, or a test) at the moment it needs them and
// keeps no copy, so a change the user makes while the run processes events counts from the next field.

#include "core/PointerMode.h"
#include "core/Procedure.h"
#include "core/Prompts.h"
#include "db/Connection.h"
#include "db/RecordSet.h"
#include "db/Table.h"
#include "engine/Journal.h"
#include "engine/RunRequest.h"

#include <QString>

#include <optional>

namespace quarvel::engine {

// The host of the record walk: what the Main window shows, read again at each use, so that a change the
// user makes while the run processes events counts from the next field.
class RunHost : public RunObserver
{
public:
    // The table list: entry count, tick, the table an entry names and its text as listed.
    virtual int tableCount() = 0;
    virtual bool isTicked(int entry) = 0;
    virtual db::Table table(int entry) = 0;
    virtual QString tableText(int entry) = 0;

    // Built from the Connection window's boxes as they are now.
    virtual QString connectionString() = 0;

    // 0 = the single pair, 1 = the sets; anything else leaves fields alone.
    virtual int selectedTab() = 0;
    virtual QString findText() = 0;
    virtual QString replaceText() = 0;
    virtual int setCount() = 0;
    virtual QString setFindText(int set) = 0;
    virtual QString setReplaceText(int set) = 0;

    virtual void processEvents() = 0;
    virtual void setPointerMode(PointerMode mode) = 0;

    // The tables' columns the walk may test and set; the windows search every column.
    virtual RunSelection selection() { return {}; }
};

// The record walk over one open table: every record, every field, each pair the host shows at that
// moment; then what is still waiting is stored. A failure is reported at its step; one that leaves the
// table ends the walk there. Throws RunStopped (see RunReport.h) once what the walk changed is stored.
void walkOpenTable(Procedure& p, RunHost& host, db::RecordSet& records, int entry, int entries,
                   const QString& tableText);

class ReplaceRun
{
public:
    // Location the run's error reports name.
    static constexpr char Location[] = "Form2.PushButton1_Click";

    // The whole run, from the hourglass to "Done.". A call while this run is going on (the window stays
    // responsive during a run) is ignored and returns false.
    bool PushButton1_Click(RunHost& host);

    bool isRunning() const { return m_running; }

private:
    // The connection and record set objects of the classic steps, made once for the whole run.
    struct TableObjects
    {
        std::optional<db::Connection> connection;
        std::optional<db::RecordSet> records;
    };
    void runTable(Procedure& p, RunHost& host, TableObjects& objects, int entry, int entries,
                  db::StoreJournal* recorder);

    bool m_running = false;
};

} // namespace quarvel::engine
