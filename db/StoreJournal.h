#pragma once
// What a record set tells a journal of the changes it stores, so that they can be put back later.
// With a journal, each store is a transaction of its own that commits only after the journal has taken
// what it changed: a change can reach the table only once it is on record.

#include "db/Table.h"

#include <QString>

#include <optional>
#include <vector>

namespace quarvel::db {

// One record as the store left it.
struct JournaledRecord
{
    // The n-th record the run stored in this table, from 1, in the order its stores committed: the same
    // number for the same store in either engine. 0: numbered by the journal as it takes the record. An
    // undo's record keeps the number of the record it put back.
    long long record = 0;
    long long walkPlace = 0;                       // the record walk's place of the record, from 1; else 0
    std::vector<QString> columns;                  // the changed fields, by name
    std::vector<std::optional<QString>> oldValues; // as read, in PostgreSQL's text form
    std::vector<QString> newValues;                // as given to the column
    std::vector<QString> key;                      // primary key values after the store; none without a key
    QString rowOid;                                // the table (partition, child) holding the row now
    QString ctid;                                  // where the stored version is
    QString xmin;                                  // which version it is (a subtransaction's id may differ)
};

class StoreJournal
{
public:
    virtual ~StoreJournal() = default;

    // Inside the store's transaction, before it commits: what it changed, and the transaction's id
    // (txid_current). Throws when that cannot be recorded; the transaction is then rolled back.
    virtual void storing(const Table& table, const std::vector<QString>& keyColumns,
                         const QString& transaction, const std::vector<JournaledRecord>& records) = 0;

    // Whether the transaction of the last storing() committed. A commit whose answer was lost is told
    // as not committed; the transaction id then decides. Never throws.
    virtual void stored(bool committed) noexcept = 0;
};

} // namespace quarvel::db
