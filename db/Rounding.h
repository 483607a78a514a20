#pragma once
// What a column's type makes of a text it takes without an error: a modifier rounds or cuts
// (numeric(7,2), timestamp(0)), "char" and name cut, and so do such types inside arrays, composites and
// ranges; money rounds to its cents, the time types to microseconds, and jsonb keeps one of two equal
// keys. Such a text is refused with what the column would have stored. Forms that keep the value (07
// stored as 7, yes as true, jsonb spacing and key order) are no change.

#include "db/DbError.h"
#include "db/OdbcHandle.h"

#include <QString>

#include <memory>

namespace quarvel::db {

struct ConnectionState;

struct ColumnRounding
{
    // Equality: compared, after the column's conversion, with the same text converted to the type without
    // its modifiers (by the type's equality, so that the type's own spelling of an equal value passes);
    // Text: the stored text must be the text itself (a modifier or a cut inside an array, composite or
    // range); Digits: money's digits must be the text's; Fraction: no seventh digit of a second;
    // JsonKeys: no object with two equal keys.
    enum class Kind { None, Equality, Text, Digits, Fraction, JsonKeys };
    Kind kind = Kind::None;
    QString storedType;    // the column's type with its modifier, as the server spells it
    QString unroundedType; // for Equality: no modifier, domains resolved to their base
};

// Reads how a column of the type (its oid, kind and the column's modifier) can store a text as something
// else; castType is the type without its modifier, storedType with it. Throws DbError.
ColumnRounding columnRounding(const std::shared_ptr<ConnectionState>& connection, const QString& typeOid,
                              const QString& typeKind, const QString& typeModifier, const QString& castType,
                              const QString& storedType);

// False when the text surely keeps its value, told without asking the server.
bool mayRound(const ColumnRounding& rounding, const QString& text);

// The check's SQL, given the text: null when the column stores the text as an equal value, otherwise
// the text it would store.
QString roundingCheck(const ColumnRounding& rounding);
// The same over many texts at once, given as one text[]: each text the column would store as something
// else, with what it would store.
QString roundingCheckOfMany(const ColumnRounding& rounding);
// False where the check needs the server's answer for each text: only mayRound tells.
bool roundsBySql(const ColumnRounding& rounding);

// Whether the check failed as the type cannot be compared with its base (no equality operator, or none
// between the two): there is nothing to compare, and the input check refuses what the type does not take.
bool cannotCompare(const DbError& error);

// "numeric(7,2) would store 1.505 as 1.51".
DbError roundedError(const ColumnRounding& rounding, const QString& text, const QString& stored);

} // namespace quarvel::db
