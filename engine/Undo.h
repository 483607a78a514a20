#pragma once
// Undo of a journaled run: every field the run changed goes back to the text it held, where it still
// holds what the run stored; the rest is listed, never overwritten. The undo is journaled as a run of
// its own, so it can be undone in turn.

#include "engine/Journal.h"

#include <QString>
#include <QStringList>

namespace quarvel::engine {

struct UndoReport
{
    qint64 undoRun = 0;         // the undo's own run in the journal
    long long restored = 0;     // records whose every field was put back
    long long changedSince = 0; // records with a field changed since (those fields kept)
    long long missing = 0;      // records not found (deleted, or moved in a table without a key)
    long long notStored = 0;    // journaled records whose store never committed: nothing to undo
    long long failed = 0;       // records the server refused to put back
    QStringList listed;         // one line per record not wholly restored
    QStringList notes;          // per table whose rules or triggers act beyond its rows: not undone
};

class UndoHost
{
public:
    virtual ~UndoHost() = default;
    virtual void progress(long long done, long long total) { (void)done, (void)total; }
    virtual bool stopRequested() { return false; }
};

// Why a run cannot be undone now (already undone, made on another database); empty when it can.
QString undoRefusal(const JournalRun& run, const QString& connectionString);

// Undoes the run on the database of the connection string. Throws JournalError or db::DbError with a
// clear message when it cannot begin (see undoRefusal, a dead server, an unreadable journal); failures
// of single records are in the report.
UndoReport undoRun(Journal& journal, qint64 run, const QString& connectionString, UndoHost* host = nullptr);

} // namespace quarvel::engine
