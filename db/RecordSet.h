#pragma once
// A record set in the role of the classic record set object: opened on a query or on one table, it
// walks the rows one at a time. On a table, field values can be set, and leaving the record stores the
// changes of that record in the database, on exactly the row version that was read.

#include "db/Connection.h"
#include "db/OdbcHandle.h"
#include "db/StoreJournal.h"
#include "db/Table.h"

#include <QString>

#include <memory>
#include <optional>
#include <vector>

namespace quarvel::db {

struct RecordSetState;
struct ConnectionState;

// A record whose changes could not be stored, told when its batch was stored.
struct StoreFailure
{
    long long record = 0; // 1-based position in the walk
    QString row;          // "record 17 of orders, key (id)=(5)": which row it was, for the user
    DbError error;
};

enum class LockType { ReadOnly = 1, Optimistic = 3 };

// Why an UPDATE of a row that is still as it was read touched nothing: the BEFORE UPDATE triggers, DO
// INSTEAD rules and row security of the relation or its leaf that can skip a row, in the user's words.
// Throws DbError when the catalogue cannot be read.
DbError skippedUpdate(const std::shared_ptr<ConnectionState>& connection, const QString& relationOid,
                      const QString& tableOid);

// A lock wait that ran out on a table another session holds, or waits to lock whole (a VACUUM FULL or
// ALTER TABLE queues every later lock behind it): such a failure leaves the table.
DbError lockedTable(const DbError& failure, const Table& table);

// "Row cannot be located for updating. ...": a row changed by another session since it was read.
const QString& staleRowMessage();
// Why a run stops when its journal cannot take a store: nothing more is stored anywhere.
QString journalStoppedMessage(const QString& why);

// The only owner of its state, which is shared so that the connection can watch it (see ConnectionState).
class RecordSet : private StateOwner<RecordSetState>
{
public:
    RecordSet();

    // How long opening and storing wait for a lock that another session holds before failing with
    // the server's lock timeout (55P03). Set before open.
    static constexpr int DefaultLockTimeoutMs = 10000;
    void setLockTimeout(int milliseconds);

    // Opens the record set on every row of the table, as of one snapshot taken at open. The rows are
    // read a thousand at a time on a reading connection of the record set's own (same connection
    // string), so memory does not grow with the table; changes are checked and stored on the given
    // connection. Fields are those of "SELECT * FROM" the table, values in PostgreSQL's own text form.
    // Throws DbError when the table cannot be read.
    void open(const Table& table, Connection& connection, LockType lockType = LockType::Optimistic);
    bool isOpen() const;

    // True past the last record, and right after opening an empty result. A closed record set has no
    // current record either: true, so that a walk over a table that failed to open ends at once.
    bool isEOF() const;
    long long recordCount() const;
    int fieldCount() const;
    QString fieldName(int index) const;
    // Whether the connected role may update field index, by a grant on the table or on the column; the
    // server refuses any store of a field it may not. False on a record set opened on a query.
    bool roleMayUpdate(int index) const;

    // The value of field index in the current record, as text; nullopt for a database null.
    std::optional<QString> value(int index) const;

    // Sets field index of the current record to the text, converted to the column's type at once.
    // Throws DbError with the server's message when the column cannot take the text, and one saying
    // what the column would store when it would round or cut it ("numeric(7,2) would store 1.505 as
    // 1.51"); the record's other pending changes stay. Not stored before the record is left.
    void setValue(int index, const QString& text);

    // The failure setValue would throw for the text in field index, without setting it; nullopt when
    // the column takes it. Also on a read-only record set: asking changes nothing. A failure that is
    // no answer about the value (the connection is gone) is thrown.
    std::optional<DbError> refusal(int index, const QString& text);

    // The current record for the user: "record at (0,3) in orders", with ", key (id)=(5)" when the
    // table has a primary key.
    QString recordName() const;

    // Stores the pending changes of the current record, then advances. When storing fails, the
    // record set still advances (the changes of the record left are dropped) and then throws DbError;
    // a row changed or deleted by someone else since it was read fails with "Row cannot be located for
    // updating. Some values may have been changed since it was last read.", a row still as read that
    // the server skipped (a trigger, a rule, row security) says so. A table rewritten, replaced or
    // locked whole by another session since it was read fails with a DbError that ruinsTheTable().
    void moveNext();

    // How many changed records are stored together (one statement, one transaction). 1, the
    // default, stores each record as it is left and moveNext throws its failure; more defers the
    // store to when the batch is full or flush() is called, and failures are told by takeFailures().
    static constexpr int DefaultBatchRows = 1000;
    void setBatchSize(int rows);

    // Stores every record still waiting in a batch. Failures go to takeFailures(); once a failure
    // ruinsTheTable(), what was still waiting is dropped. Never throws DbError.
    void flush();
    std::vector<StoreFailure> takeFailures();

    // How the records were stored since open: batch statements run, and records stored one at a
    // time (alone, or again after their batch was refused). For tests and benchmarks.
    struct StoreCounts
    {
        long long batches = 0;
        long long rowsAlone = 0;
    };
    StoreCounts storeCounts() const;

    // Every store from now on commits only after the journal has taken what it changed (see
    // StoreJournal); a journal that cannot take it fails the store with a DbError that stopsTheRun().
    // nullptr, the default, stores without one. The journal must outlive the record set's stores.
    void setJournal(StoreJournal* journal);

    // The statement text the record set was opened with; empty when closed.
    QString source() const;

    // Closes the record set; pending changes of the current record are dropped. Reusable afterwards.
    void close() noexcept;

    // For Connection::execute.
    explicit RecordSet(std::shared_ptr<RecordSetState> state);
};

} // namespace quarvel::db
