#pragma once
// The journal: every change a run stores, with the text it replaced, kept in one SQLite file per user so
// that a run can be undone. Written before each store commits (see db::StoreJournal), so a program
// killed at any moment leaves on record every change that reached the database.

#include "core/Selection.h"
#include "db/RowRestore.h"
#include "db/StoreJournal.h"
#include "db/Table.h"

#include <QDateTime>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <vector>

struct sqlite3;

namespace quarvel::engine {

class JournalError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// A journal file that would let another user read what goes into it: it is refused, not written.
class JournalRefused : public JournalError
{
public:
    using JournalError::JournalError;
};

using RunPairs = QList<QPair<QString, QString>>;

// Where a run was made: enough to tell the database again, never the password.
struct RunPlace
{
    QString server;
    QString port;
    QString database;
    QString user;
    friend bool operator==(const RunPlace&, const RunPlace&) = default;
};

// The server, port, user and database of a connection string as BuildConnectionString makes it.
RunPlace runPlaceOf(const QString& connectionString);

// What a run was asked to take: the patterns as given and, for each table whose columns were chosen (by its
// text in the list), the columns it could search. Empty for a run of the windows, and for runs journaled
// before runs kept it: every column of every table listed.
struct RunChoice
{
    SelectionPatterns patterns;
    QList<QPair<QString, QStringList>> columns;
    bool isEmpty() const { return patterns.isEmpty() && columns.isEmpty(); }
    friend bool operator==(const RunChoice&, const RunChoice&) = default;
};

// The choice in a line: the patterns as options, then the columns searched per table.
QString choiceText(const RunChoice& choice);

struct JournalRun
{
    qint64 id = 0;
    bool isUndo = false;
    qint64 undoes = 0;   // for an undo: the run it undid
    qint64 undoneBy = 0; // the undo that undid this run, if any
    QDateTime started;
    QDateTime ended; // invalid when the run never ended (the program was stopped)
    RunPlace place;
    QStringList tables;
    RunPairs pairs; // as the run began
    // Every list of pairs the run applied, in the order it applied them: more than one where the pairs were
    // changed while the record walk ran (it reads them again for every field). Never empty.
    std::vector<RunPairs> pairsRan;
    long long records = 0;   // records whose store was seen to commit: the changes that reached the database
    long long undecided = 0; // records of stores whose commit was not seen (a killed run): the server knows
    QString engine; // RecordWalkEngine or ServerEngine; empty for an undo and for runs journaled before
    RunChoice choice = {};
};

// The engines a run names in the journal, as quarvel-cli's --engine names them.
inline constexpr char RecordWalkEngine[] = "client";
inline constexpr char ServerEngine[] = "server";

// One store of a run: the rows one transaction changed in one table.
struct JournalStore
{
    qint64 id = 0;
    db::Table table;
    std::vector<QString> keyColumns;
    QString transaction;
    bool confirmed = false; // the commit was seen; otherwise the transaction's fate on the server decides
    long long records = 0;  // how many rows it stored
};

// Some of a store's records, as a restore back to the old texts would need them.
struct JournalRows
{
    std::vector<db::RestoreRow> rows;
    std::vector<qint64> entries; // each row's own entry in the journal, for record()
};

class JournalRecorder;

class Journal;

// How many fields the run stored in each table, by the table's qualifiedName. Throws JournalError.
std::map<QString, long long> storedFields(Journal& journal, qint64 run);

class Journal
{
public:
    // Opens the journal file, creating it and its folder. The file and its -wal and -shm are made readable
    // and writable by their owner only (0600). Throws JournalError, JournalRefused for a file (or
    // companion) of another user or one that cannot be made private.
    explicit Journal(const QString& path);
    ~Journal();
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // journal.sqlite3 in the user's application data folder.
    static QString defaultPath();
    QString path() const { return m_path; }

    // Starts a run (or an undo of another run) on record. Throws JournalError.
    qint64 beginRun(const RunPlace& place, const QStringList& tables, const RunPairs& pairs,
                    qint64 undoes = 0, const QString& engine = QString(), const RunChoice& choice = {});
    // Marks the run ended. Never throws: a run whose end is not on record still undoes.
    void endRun(qint64 run) noexcept;

    // What a record set tells the journal, for the given run. The stored changes point at the run's
    // pairs as they stand when the recorder is made, or as pairsRead() tells of them since.
    std::unique_ptr<db::StoreJournal> recorder(qint64 run);
    // The same for the record walk, which reads the pairs again for every field: while it lives,
    // walkingTable() and pairsRead() tell it what the walk read. One at a time.
    std::unique_ptr<db::StoreJournal> walkRecorder(qint64 run);
    // The walk starts on a table: its places count from 1 again.
    void walkingTable();
    // The walk read these pairs for the field that comes first of fieldsFrom (the record's fields from it
    // on, by name) in the record at place. Pairs unlike those before are put on record as a new entry of
    // the run's pairs, and the changes made from there on point at it. Does nothing without a
    // walkRecorder. Throws JournalError.
    void pairsRead(long long place, const QStringList& fieldsFrom, const RunPairs& pairs);

    // Every run, newest first. Throws JournalError.
    std::vector<JournalRun> runs();
    qint64 newestRun(); // 0 when there is none
    JournalRun run(qint64 id);
    // The stores of a run, in the order they were made, without their records (see storeRows). No read of
    // the journal is pending while visit runs, so it may write to the journal. Throws JournalError.
    void forEachStore(qint64 run, const std::function<void(const JournalStore&)>& visit);
    // The store's records that follow the entry after (0: from its first), in the order they were put on
    // record: at most maxRows of them, and no more once they take maxBytes in memory (a record alone
    // may take more). None past its last. Nothing stays pending in between. Throws JournalError.
    JournalRows storeRows(qint64 store, qint64 after, size_t maxRows, qint64 maxBytes);
    // One record again, by its entry. Throws JournalError, also for an entry that is not there.
    db::RestoreRow record(qint64 entry);
    // Marks a store whose commit was not seen as decided on the server. Never throws.
    void settle(qint64 store, bool committed) noexcept;

    // For tests: every store from now on fails to be put on record, as on a full disk.
    void failNextWrites(bool fail) { m_failWrites = fail; }

private:
    friend class JournalRecorder;
    friend std::map<QString, long long> storedFields(Journal& journal, qint64 run);
    void exec(const char* sql);
    // pairs: for each record, for each of its changed columns, the entry of the run's pairs it used.
    void write(qint64 run, const db::Table& table, const std::vector<QString>& keyColumns,
               const QString& transaction, const std::vector<db::JournaledRecord>& records,
               const std::vector<std::vector<qint64>>& pairs);
    void confirm(bool committed) noexcept;

    QString m_path;
    sqlite3* m_db = nullptr;
    qint64 m_lastStore = 0;
    bool m_failWrites = false;
    JournalRecorder* m_walk = nullptr; // the walkRecorder's, while it lives
};

} // namespace quarvel::engine
