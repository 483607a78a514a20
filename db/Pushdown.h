#pragma once
// A table as the server-side run sees it: its leaves (the plain tables that hold its rows), its columns,
// and the statements that find, lock and rewrite the rows a batch of pages holds, with the replacement
// computed by the server next to the data.

#include "db/Connection.h"
#include "db/DbError.h"
#include "db/RecordSet.h"
#include "db/Rounding.h"
#include "db/Statement.h"
#include "db/Table.h"

#include <QString>
#include <QStringList>

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <utility>
#include <vector>

namespace quarvel::db {

using PushdownPairs = std::vector<std::pair<QString, QString>>;

struct PushdownLeaf
{
    QString oid;
    Table table;
    long long rowsPerPage = 0; // as the planner estimates it; 0 when never analysed
    bool remote = false;       // a postgres_fdw foreign table: its rows and pages are on another server
};

struct PushdownColumn
{
    QString name;
    QString castType;          // the type without a modifier, quoted: what the new text is cast to
    bool takesAnyText = false; // text or unbounded varchar: no text is refused
    QString inputFunction;     // for a refusal check, as the record walk makes it
    int inputArguments = 1;
    QString inputTypeParameter;
    ColumnRounding rounding; // what the type makes of a text it takes, as the record walk checks it
};

// A row a batch found holding some find text, locked until the batch ends.
struct PushdownRow
{
    QString ctid;
    QString xmin;                               // the version read, where the statement tells it
    std::vector<QString> key;                   // primary key values as read
    std::vector<std::optional<QString>> values; // every column, in PostgreSQL's text form; from a batch,
                                                // only those some find text matches (the others null)
};

// A row version a batch's UPDATE wrote.
struct PushdownStored
{
    QString oldCtid;
    QString ctid;
    QString xmin;
    QString tableOid;                           // the leaf it is in now, where a store may move it
    std::vector<QString> key;                   // primary key values after the store
    std::vector<std::optional<QString>> values; // the new text of each column, before the type took it;
                                                // from a batch, null where the column is left as it was
    std::vector<std::optional<QString>> stored; // by column, the text the server stored where it is not
                                                // the new text (a trigger changed it); else null
};

// A row some find text occurs in, with what the server's replacement makes of it: what a run would
// write there, as a preview reads it.
struct PushdownPreviewRow
{
    QString ctid;
    std::vector<QString> key;
    std::vector<std::optional<QString>> oldValues; // the text of each column some find text matches
    std::vector<std::optional<QString>> newValues; // the new text of each column the pairs change
};

// What one statement made of a batch of pages, as told first: how many rows some find text occurs in
// (found), how many of them the replacement changes (meant), and the ids the stored versions carry.
struct PushdownBatchHead
{
    long long found = 0;
    long long meant = 0;
    QString transaction;
    QString xmin; // empty when nothing was stored
    QString cut;  // the place of the last row taken when the batch held more than a batch may: the rows
                  // after it in the range were left for the next batch; empty when it took them all
};

// A batch's bounds, beyond its pages: rows found, and bytes of their texts (the first row always goes).
struct PushdownCap
{
    long long rows = 10000;
    long long bytes = 8 << 20;
};

// A table's run as one snapshot: taken under a lock that keeps any rewrite of the table out, with the
// size of each leaf then. Every row version visible in it lies within those pages.
struct PushdownHold
{
    QString snapshot;
    std::map<QString, long long> pages; // by leaf oid
};

// Then every row some find text occurs in, as it was, and for each row the replacement changes, the
// version written: fewer stored than meant means something on the server passed some over (a trigger,
// row security), and the batch must be done again the locking way.
struct PushdownBatch
{
    std::vector<PushdownRow> rows;
    std::vector<std::optional<PushdownStored>> stored; // by row; nullopt where the replacement changes
                                                       // nothing (or the row was passed over)
};

class PushdownTable
{
public:
    // How long a statement waits for a lock another session holds before the server refuses it: as long
    // as the record walk waits.
    static constexpr int LockWaitMs = RecordSet::DefaultLockTimeoutMs;

    // Reads the table's shape on the open connection. Throws DbError when the table cannot be read.
    PushdownTable(Connection& connection, const Table& table);
    // The shape read already, on another open connection of the same run. Throws DbError.
    PushdownTable(Connection& connection, const PushdownTable& shape);
    ~PushdownTable();
    PushdownTable(const PushdownTable&) = delete;
    PushdownTable& operator=(const PushdownTable&) = delete;

    // Why the record walk must do this table with these pairs (a column would round, a partition no
    // postgres_fdw reaches, a text the database's encoding cannot hold, which the walk refuses record by
    // record), as the user is told; nullopt when the server can do it exactly. Throws DbError.
    std::optional<QString> walkReason(const PushdownPairs& pairs);
    const std::vector<PushdownLeaf>& leaves() const { return m_leaves; }
    const std::vector<PushdownColumn>& columns() const { return m_columns; }
    const std::vector<QString>& keyColumns() const { return m_keyColumns; }

    // The pairs every later statement applies, in order; pairs with an empty find text never match and
    // must not be given.
    void setPairs(const PushdownPairs& pairs);

    // The leaf's size in pages now: rows written meanwhile land at its end and are read too.
    long long pages(const PushdownLeaf& leaf);

    // Transactions on the connection: each batch is one. begin/commit throw DbError; rollback never fails.
    // Given a local leaf, begin takes the lock a store needs on it first, so that a wait for the table
    // (another session holds it, or waits to rewrite it) leaves the table (DbError::leavingTheTable)
    // rather than failing a row; given a snapshot, the transaction reads as of that snapshot, and a row
    // another session changed since fails the statement that writes it (40001).
    void begin();
    void begin(const PushdownLeaf& leaf, const QString& snapshot = QString());
    void commit();
    void rollback() noexcept;

    // Locks and reads the rows of pages [first, end) where some column holds some find text, leaving
    // out row versions this run wrote (their xmins): each row's newest committed version is read, so a
    // change another session made meanwhile is kept. Throws DbError.
    std::vector<PushdownRow> lockBatch(const PushdownLeaf& leaf, long long first, long long end,
                                       const std::vector<QString>& ownVersions);
    // The same for the one row at ctid; nullopt when it is no longer there (moved by another session).
    // Given the version read (xmin), only that version.
    std::optional<PushdownRow> lockRow(const PushdownLeaf& leaf, const QString& ctid,
                                       const std::vector<QString>& ownVersions,
                                       const QString& xmin = QString());

    // Rewrites the locked rows at the ctids, all within places [from, to), with the replacement
    // computed by the server, setting only the columns it changes, and gives back what it wrote and the
    // transaction's id. Throws DbError when the server refuses any of them (nothing is then written).
    std::vector<PushdownStored> replaceRows(const PushdownLeaf& leaf, const QString& from, const QString& to,
                                            const std::vector<QString>& ctids, QString& transaction);

    // Takes the table's lock and snapshot in a transaction of this connection's own, kept until release:
    // a rewrite of the table waits for it. A lock wait that runs out leaves the table. Throws DbError.
    PushdownHold hold();
    void release() noexcept { rollback(); }
    // In the held snapshot, locking nothing: the rows of places [from, to) where some column holds some
    // find text, in place order, with their versions, as many as the cap lets (cut tells where it
    // stopped). Throws DbError.
    std::vector<PushdownRow> heldRows(const PushdownLeaf& leaf, const QString& from, const QString& to,
                                      QString& cut);
    // Locks those of the rows that are still the version read, passing over rows another session holds
    // (SKIP LOCKED): each comes back as locked now, with its texts. Throws DbError.
    std::vector<PushdownRow> lockHeld(const PushdownLeaf& leaf, const std::vector<PushdownRow>& rows);
    // The newest version of the row with this primary key, locked, unless the run wrote it (its xmin);
    // nullopt when there is none. Throws DbError.
    std::optional<PushdownRow> lockByKey(const PushdownLeaf& leaf, const std::vector<QString>& key,
                                         const std::vector<QString>& ownVersions);
    // Whether the row version is still there, as any statement of this user sees it. Throws DbError.
    bool stillThere(const PushdownLeaf& leaf, const PushdownRow& row);
    // Why an update of the leaf touched a row still as read: its triggers, rules or row security.
    DbError skipped(const PushdownLeaf& leaf);

    void setCap(const PushdownCap& cap) { m_cap = cap; }

    // In one statement, finds the rows of places [from, to) where some column holds some find text, as
    // many as the cap lets (the head's cut tells where it stopped), and rewrites those the replacement
    // changes. Run in a transaction begun with the table's snapshot: a row another session changed since
    // fails the statement (40001), and so does the server's refusal of any row (nothing is then written).
    // A lock it waits for longer than lockWaitMs ends it with the server's refusal. Not for a foreign leaf.
    PushdownBatchHead startBatch(const PushdownLeaf& leaf, const QString& from, const QString& to,
                                 int lockWaitMs = LockWaitMs);
    // The rows of the batch started last. Throws DbError.
    PushdownBatch finishBatch();

    // Stores the given texts in the given columns (indexes) of the locked row at ctid, through the table
    // itself for a partition, so that a row whose partition key changes moves. Throws DbError.
    std::optional<PushdownStored> storeRow(const PushdownLeaf& leaf, const QString& ctid,
                                           const std::vector<int>& columns, const std::vector<QString>& texts,
                                           QString& transaction);

    // Reads, locking nothing, the rows of pages [first, end) where some column holds some find text,
    // with the texts the same replacement as replaceRows gives. Throws DbError.
    std::vector<PushdownPreviewRow> previewBatch(const PushdownLeaf& leaf, long long first, long long end);
    // How many rows pages [first, end) hold. Throws DbError.
    long long rowsIn(const PushdownLeaf& leaf, long long first, long long end);

    // The place of a row's first page: where a range of pages begins.
    static QString place(long long page);
    // The place just after the given one.
    static QString after(const QString& ctid);

    // "record at (p,i) in leaf, key (k)=(v)", as refusals and samples name a row.
    QString rowName(const PushdownLeaf& leaf, const QString& ctid, const std::vector<QString>& key) const;

    // The server's refusal of the text for the column, as the record walk gives it; nullopt when the
    // column takes it. Throws DbError for a failure that says nothing about the text.
    std::optional<DbError> refusal(int column, const QString& text);

private:
    Statement& prepared(const QString& sql);
    void configure();
    QString replacementChain(const PushdownLeaf& leaf, const QString& alias) const;
    // Per column, whether some find text occurs in its text form on the row aliased as given.
    QStringList columnTests(const QString& alias) const;
    // The CTEs f (rows of the places holding some find text) and k (those of them the cap lets through,
    // in place order), with their parameters.
    QString cappedPlaces(const PushdownLeaf& leaf) const;
    std::vector<QString> cappedParameters(const QString& from, const QString& to) const;
    std::vector<QString> pairParameters() const;

    // A foreign leaf shows no xmin (postgres_fdw reads it as 0) and no size: its row versions this run
    // wrote are known by their places on the other server, and its end by its last row there.
    std::vector<PushdownRow> lockRemoteBatch(const PushdownLeaf& leaf, long long first, long long end);
    long long remotePages(const PushdownLeaf& leaf);
    void wroteRemote(const PushdownLeaf& leaf, const QString& ctid);
    bool shippable(const PushdownColumn& c);
    // Throws a DbError that leaves the table when rows there share a place in [from, to).
    void remotePlacesApart(const PushdownLeaf& leaf, const QString& from, const QString& to);
    void remoteRowApart(const PushdownLeaf& leaf, const QString& ctid);

    SQLHDBC m_handle = nullptr;
    Table m_table;
    std::optional<QString> m_walkReason;
    QString m_encoding; // the server's
    std::vector<PushdownLeaf> m_leaves;
    std::vector<PushdownColumn> m_columns;
    std::vector<QString> m_keyColumns;
    PushdownPairs m_pairs;
    std::map<QString, std::unique_ptr<Statement>> m_statements; // prepared once per text
    Statement* m_batch = nullptr;                               // the batch started last
    bool m_inTransaction = false;

    QString m_remoteLeaf;                             // the foreign leaf the following refer to
    std::set<std::pair<long long, int>> m_remoteOwn;  // places of versions this run wrote there
    long long m_remoteEnd = -1;                       // its pages as last read, -1 when not yet
    long long m_remoteReached = 0;                    // the end of the last batch read there
    std::optional<std::set<QString>> m_deterministic; // columns whose collation compares bytes
    QString m_oid;
    PushdownCap m_cap;
};

} // namespace quarvel::db
