#pragma once
// A table as the server-side run sees it: its leaves (the plain tables that hold its rows), its columns,
// and the statements that find, lock and rewrite the rows a batch of pages holds, with the replacement
// computed by the server next to the data. One face over the pieces that do it: the shape read from the
// catalogue, the SQL made for the pairs, the connection and its transaction, the locking way, the
// one-statement batches and the foreign leaves.

#include "db/Connection.h"
#include "db/DbError.h"
#include "db/PushdownBatches.h"
#include "db/PushdownData.h"
#include "db/PushdownLockedRows.h"
#include "db/PushdownRefusal.h"
#include "db/PushdownRemote.h"
#include "db/PushdownSession.h"
#include "db/PushdownShape.h"
#include "db/PushdownSql.h"
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

class PushdownTable
{
public:
    // How long a statement waits for a lock another session holds before the server refuses it: as long
    // as the record walk waits.
    static constexpr int LockWaitMs = RecordSet::DefaultLockTimeoutMs;

    // Reads the table's shape on the open connection, with the columns `searched` lets through (every
    // column when empty). Throws DbError when the table cannot be read.
    PushdownTable(Connection& connection, const Table& table, const ColumnFilter& searched = {});
    // The shape read already, on another open connection of the same run. Throws DbError.
    PushdownTable(Connection& connection, const PushdownTable& shape);
    ~PushdownTable();
    PushdownTable(const PushdownTable&) = delete;
    PushdownTable& operator=(const PushdownTable&) = delete;

    // Why the record walk must do this table with these pairs (a column would round, a partition no
    // postgres_fdw reaches, a text the database's encoding cannot hold, which the walk refuses record by
    // record), as the user is told; nullopt when the server can do it exactly. Throws DbError.
    std::optional<QString> walkReason(const PushdownPairs& pairs);
    const std::vector<PushdownLeaf>& leaves() const { return m_shape->leaves(); }
    const std::vector<PushdownColumn>& columns() const { return m_shape->columns(); }
    const std::vector<QString>& keyColumns() const { return m_shape->keyColumns(); }
    // The searched columns the role may not update, left out of columns().
    const std::vector<QString>& notUpdatable() const { return m_shape->notUpdatable(); }

    // The pairs every later statement applies, in order; pairs with an empty find text never match and
    // must not be given.
    void setPairs(const PushdownPairs& pairs);

    // The leaf's size in pages now: rows written meanwhile land at its end and are read too.
    long long pages(const PushdownLeaf& leaf);

    // Transactions on the connection: each batch is one. begin/commit throw DbError; rollback never fails.
    // Given a local leaf, begin takes the lock a store needs on it first (a row-locking read's, where the
    // role may update only some columns), so that a wait for the table (another session holds it, or
    // waits to rewrite it) leaves the table (DbError::leavingTheTable) rather than failing a row; given a
    // snapshot, the transaction reads as of that snapshot, and a row another session changed since fails the
    // statement that writes it (40001).
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

    // Rewrites the locked rows at the ctids, all within places [from, to) and each changing just the
    // columns given, with the replacement computed by the server, setting only those columns, and gives
    // back what it wrote and the transaction's id. Throws DbError when the server refuses any of them
    // (nothing is then written).
    std::vector<PushdownStored> replaceRows(const PushdownLeaf& leaf, const QString& from, const QString& to,
                                            const std::vector<QString>& ctids, const ChangedColumns& changed,
                                            QString& transaction);

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
    // The newest version of the row read (its place and version in the table's snapshot), found along
    // that row's own chain of updates and locked, unless the run wrote it (its xmin); nullopt when the
    // row was deleted, moved to another leaf, or changed again while it was being locked. Never another
    // row that has its key now. Throws DbError.
    std::optional<PushdownRow> lockNewest(const PushdownLeaf& leaf, const PushdownRow& read,
                                          const std::vector<QString>& ownVersions);
    // Whether the row version is still there, as any statement of this user sees it. Throws DbError.
    bool stillThere(const PushdownLeaf& leaf, const PushdownRow& row);
    // Why an update of the leaf touched a row still as read: its triggers, rules or row security.
    DbError skipped(const PushdownLeaf& leaf);

    void setCap(const PushdownCap& cap) { m_sql.setCap(cap); }

    // In one statement, finds the rows of places [from, to) where some column holds some find text, as
    // many as the cap lets (the head's cut tells where it stopped), and rewrites those the replacement
    // changes whose changed columns are one of the sets given; the head tells the sets the rows meant
    // change. Run in a transaction begun with the table's snapshot: a row another session changed since
    // fails the statement (40001), and so does the server's refusal of any row (nothing is then written).
    // A lock it waits for longer than lockWaitMs ends it with the server's refusal. Not for a foreign leaf.
    PushdownBatchHead startBatch(const PushdownLeaf& leaf, const QString& from, const QString& to,
                                 const std::vector<ChangedColumns>& sets, int lockWaitMs = LockWaitMs);
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
    // The places of the rows of places [from, to) in the open transaction, in place order, each with its
    // key where the driver can carry every key (else none). Throws DbError.
    std::vector<PushdownRow> placesIn(const PushdownLeaf& leaf, const QString& from, const QString& to);

    // The place of a row's first page: where a range of pages begins.
    static QString place(long long page);
    // The place just after the given one.
    static QString after(const QString& ctid);

    // "record at (p,i) in leaf, key (k)=(v)", as refusals and samples name a row.
    QString rowName(const PushdownLeaf& leaf, const QString& ctid, const std::vector<QString>& key) const;

    // The server's refusal of the text for the column, as the record walk gives it; nullopt when the
    // column takes it. Throws DbError for a failure that says nothing about the text.
    std::optional<DbError> refusal(int column, const QString& text);
    // Of a batch's new texts for the column, those it would store as something else; nullopt when the
    // server refused one of them outright (each is then asked by refusal).
    std::optional<std::set<QString>> roundedTexts(int column, const std::vector<QString>& texts);

private:
    // Declared first: the connection outlives every statement prepared on it, and is set up before the
    // shape is read on it.
    PushdownSession m_session;
    std::shared_ptr<const PushdownShape> m_shape;
    PushdownSql m_sql;
    PushdownLockedRows m_locked;
    PushdownBatches m_batches;
    PushdownRemote m_remote;
    PushdownRefusal m_refusal;
};

} // namespace quarvel::db
