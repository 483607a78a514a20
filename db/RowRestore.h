#pragma once
// Puts journaled fields back: each field only where it still holds exactly what was stored there,
// on the row version the journal names or, when that row has moved, on the row with the same primary
// key. Nothing is guessed: a row that cannot be found for certain is left alone and reported.

#include "db/Connection.h"
#include "db/Statement.h"
#include "db/StoreJournal.h"
#include "db/Table.h"

#include <QString>
#include <QStringList>

#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace quarvel::db {

struct RowAsFound;

struct RestoreField
{
    QString column;
    QString expected;             // what the field must still hold, as it was given to the column
    std::optional<QString> value; // what to put back; nullopt for a database null
};

struct RestoreRow
{
    long long record = 0;
    QString rowOid;           // the table holding the version that the journal names
    QString ctid;             // where that version is
    QString xmin;             // which version it is
    std::vector<QString> key; // the primary key after that store; empty without a key
    std::vector<RestoreField> fields;
};

enum class RestoreResult {
    Restored,     // every field put back
    ChangedSince, // some field holds something else now; those fields are kept (the others are put back)
    Missing,      // no row with the version or the key
    Moved,        // the version is gone from a table without a key: which row it became is not known
};

struct RestoreOutcome
{
    RestoreResult result = RestoreResult::Missing;
    QStringList changedColumns; // for ChangedSince
};

// What became of a transaction, by its txid: "committed", "aborted", "in progress", or nullopt when the
// server no longer knows (too old). Throws DbError.
std::optional<QString> transactionStatus(Connection& connection, const QString& transaction);

class RowRestore
{
public:
    // On the table as it is named now, with the key columns the journal recorded. Throws DbError when the
    // table cannot be found or read.
    RowRestore(Connection& connection, const Table& table, std::vector<QString> keyColumns);
    ~RowRestore();
    RowRestore(const RowRestore&) = delete;
    RowRestore& operator=(const RowRestore&) = delete;

    // Restores the rows in one transaction. The journal, when given, takes what was put back (as a
    // store: old = what the field held, new = what was put back) before the transaction commits; a
    // journal that cannot take it rolls everything back and throws DbError that stopsTheRun(). Throws
    // DbError when the server refuses (the transaction is then rolled back: nothing of this call
    // stays).
    std::vector<RestoreOutcome> restore(const std::vector<RestoreRow>& rows, StoreJournal* journal);

    // What restore would find for each row, asked with the same reads but without locking a row or
    // writing one: a session the server keeps read-only may ask it. Throws DbError.
    std::vector<RestoreOutcome> check(const std::vector<RestoreRow>& rows);

    // The table's rules and UPDATE triggers ("rule r", "trigger t"): they run on the undo's updates as
    // they ran on the run's, and what they did elsewhere is not put back.
    const QStringList& sideEffects() const { return m_sideEffects; }

    struct Column
    {
        QString castType;   // without a modifier: the assignment applies it and refuses what does not fit
        QString storedType; // with the modifier: a given text becomes what the column held
    };

private:
    const Column& column(const QString& name) const;
    Statement& prepared(const QString& sql);
    std::vector<RestoreOutcome> walk(const std::vector<RestoreRow>& rows,
                                     std::vector<JournaledRecord>& journaled, QString& transaction,
                                     bool lookOnly);
    void restoreRow(const RestoreRow& row, RestoreOutcome& outcome, std::vector<JournaledRecord>& journaled,
                    QString& transaction, bool lookOnly = false);
    std::optional<RowAsFound> lockRow(const RestoreRow& row, RestoreOutcome& outcome, bool lookOnly) const;
    void restoreVersions(const std::vector<RestoreRow>& rows, const std::vector<size_t>& which,
                         std::vector<RestoreOutcome>& outcomes, std::vector<bool>& settled,
                         std::vector<JournaledRecord>& journaled, QString& transaction,
                         bool lookOnly = false);

    // Declared before the statements that live on it.
    std::shared_ptr<ConnectionState> m_connection;
    Table m_table;
    QString m_from; // ONLY for a plain table: a child of an inheritance tree is an entry of its own
    std::vector<QString> m_keyColumns;
    std::map<QString, Column> m_columns;
    struct Prepared
    {
        Statement statement;
        quint64 used = 0; // when last asked for, counted in m_uses
    };
    std::map<QString, Prepared> m_statements; // those of the sets of fields asked for last, prepared once
    quint64 m_uses = 0;
    QStringList m_sideEffects;
    bool m_rewritten = false; // a rule rewrites an UPDATE of the table
};

} // namespace quarvel::db
