#pragma once
// One entry of the table catalogue: a user table named by its schema and name.

#include <QString>

namespace quarvel::db {

struct Table
{
    QString schema;
    QString name;

    // What the table list shows and the log names: the bare name in "public", "schema.name" elsewhere.
    QString displayName() const;
    // The schema-qualified name with both parts quoted, safe to put into SQL text.
    QString qualifiedName() const;

    friend bool operator==(const Table&, const Table&) = default;
};

// Double-quotes an identifier, doubling quotes inside it.
QString quoteIdentifier(const QString& identifier);

} // namespace quarvel::db
