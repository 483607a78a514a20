#pragma once
// Undo of a journaled run: every field the run changed goes back to the text it held, where it still
// holds what the run stored; the rest is listed, never overwritten. The undo is journaled as a run of
// its own, so it can be undone in turn.

#include "engine/Journal.h"

#include <QList>
#include <QString>
#include <QStringList>

namespace quarvel::engine {

// A record (or a table's records) that the undo did not put back, and why.
struct NotPutBack
{
    QString table;
    long long record = 0; // 0 for every record of the table
    QString key;          // "(id)=(5)" where the table has a primary key
    QString reason;
};

struct UndoReport
{
    qint64 undoRun = 0;           // the undo's own run in the journal
    long long restored = 0;       // records whose every field was put back
    long long changedSince = 0;   // records with a field changed since (those fields kept)
    long long missing = 0;        // records not found (deleted, or moved in a table without a key)
    long long notStored = 0;      // journaled records whose store never committed: nothing to undo
    long long failed = 0;         // records the server refused to put back
    QStringList listed;           // one line per record not wholly restored
    QList<NotPutBack> notPutBack; // the same records, a field each
    QStringList notes;            // per table whose rules or triggers act beyond its rows: not undone
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

// What undoRun would do now, found on a session the server keeps read-only: restored counts the records it
// would put back, changedSince, missing and failed those it would keep. Stores whose commit was not seen
// are first settled with the server, as the undo settles them. Nothing is journaled or written to the
// database. Throws as undoRun.
UndoReport countUndo(Journal& journal, qint64 run, const QString& connectionString, UndoHost* host = nullptr);

// The records not put back as CSV (as the Preview writes its samples): table, record, key, reason.
QByteArray notPutBackCsv(const UndoReport& report);

} // namespace quarvel::engine
