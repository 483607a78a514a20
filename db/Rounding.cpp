#include "db/Rounding.h"

#include "db/Catalogue.h"
#include "db/Statement.h"
#include "db/Table.h"

#include <QRegularExpression>

#include <set>
#include <vector>

namespace quarvel::db {

namespace {

QString required(Statement& statement, SQLUSMALLINT column)
{
    return statement.text(column).value_or(QString());
}

// A text for a message: whole when short, otherwise its two ends.
QString shortened(const QString& text)
{
    constexpr qsizetype Most = 120;
    if (text.size() <= Most)
        return text;
    return text.first(Most / 2 - 1) + QStringLiteral("…") + text.last(Most / 2 - 1);
}

// A JSON string at text[at] (its opening quote), decoded; at ends past its closing quote.
QString jsonString(const QString& text, qsizetype& at)
{
    QString out;
    for (++at; at < text.size() && text[at] != u'"'; ++at) {
        if (text[at] != u'\\' || at + 1 >= text.size()) {
            out += text[at];
            continue;
        }
        const QChar escaped = text[++at];
        if (escaped == u'u' && at + 4 < text.size()) {
            out += QChar(char16_t(text.mid(at + 1, 4).toUShort(nullptr, 16)));
            at += 4;
        } else {
            static const QString from = QStringLiteral("bfnrt");
            static const QString to = QStringLiteral("\b\f\n\r\t");
            const qsizetype simple = from.indexOf(escaped);
            out += simple >= 0 ? to[simple] : escaped;
        }
    }
    ++at;
    return out;
}

// Whether some object of the JSON text has two members with equal keys (after their escapes): jsonb
// keeps only the last of them.
bool hasEqualKeys(const QString& text)
{
    std::vector<std::set<QString>> objects; // the keys of each object open at this point; arrays: none
    std::vector<bool> isObject;
    bool expectKey = false;
    for (qsizetype at = 0; at < text.size();) {
        const QChar c = text[at];
        if (c == u'"') {
            const QString value = jsonString(text, at);
            if (expectKey && !objects.empty()) {
                if (!objects.back().insert(value).second)
                    return true;
                expectKey = false;
            }
            continue;
        }
        if (c == u'{') {
            objects.emplace_back();
            isObject.push_back(true);
            expectKey = true;
        } else if (c == u'[') {
            isObject.push_back(false);
            expectKey = false;
        } else if (c == u'}' || c == u']') {
            if (!isObject.empty()) {
                if (isObject.back())
                    objects.pop_back();
                isObject.pop_back();
            }
            expectKey = false;
        } else if (c == u',') {
            expectKey = !isObject.empty() && isObject.back();
        }
        ++at;
    }
    return false;
}

constexpr char MoneyOid[] = "790";
constexpr char JsonbOid[] = "3802";
constexpr char CharOid[] = "18";
constexpr char VarcharOid[] = "1043";
constexpr char NameOid[] = "19";

bool isTimeType(const QString& oid)
{
    // timestamp, timestamptz, time, timetz, interval: microseconds at most.
    static const QStringList times{QStringLiteral("1114"), QStringLiteral("1184"), QStringLiteral("1083"),
                                   QStringLiteral("1266"), QStringLiteral("1186")};
    return times.contains(oid);
}

ColumnRounding columnRoundingOn(const std::shared_ptr<ConnectionState>& handle, QString typeOid,
                                QString typeKind, const QString& typeModifier, const QString& castType,
                                const QString& storedType)
{
    ColumnRounding rounding;
    rounding.storedType = storedType;
    bool modifier = typeModifier != u"-1";
    QString baseType = castType;
    const QString columnType = typeOid;
    Statement query(handle);
    query.prepare(catalogueQuery(CatalogueQuery::DomainLevel));
    for (int depth = 0; typeKind == u"d" && depth < 64; ++depth) {
        query.execute({typeOid});
        if (!query.fetch())
            break;
        if (required(query, 3) != u"-1")
            modifier = true;
        typeOid = required(query, 2);
        query.closeCursor();
        query.execute({typeOid});
        if (!query.fetch())
            break;
        typeKind = required(query, 1);
        baseType = Table{required(query, 4), required(query, 5)}.qualifiedName();
        query.closeCursor();
    }
    rounding.unroundedType = baseType;
    if (typeOid == QLatin1String(CharOid) || typeOid == QLatin1String(NameOid)) {
        rounding.kind = ColumnRounding::Kind::Text;
        return rounding;
    }
    // The run's texts end in no blank, so varchar(n) refuses a longer one on assignment rather than cut
    // it; only a cast cuts, and a domain's cast is one.
    if (modifier && columnType == QLatin1String(VarcharOid))
        return rounding;
    if (modifier) {
        rounding.kind = ColumnRounding::Kind::Equality;
        return rounding;
    }
    Statement nested(handle);
    nested.prepare(catalogueQuery(CatalogueQuery::NestedModifiers));
    nested.execute({columnType});
    const bool inside = nested.fetch() && required(nested, 1) != u"0";
    nested.closeCursor();
    if (inside)
        rounding.kind = ColumnRounding::Kind::Text;
    else if (typeOid == QLatin1String(MoneyOid))
        rounding.kind = ColumnRounding::Kind::Digits;
    else if (isTimeType(typeOid))
        rounding.kind = ColumnRounding::Kind::Fraction;
    else if (typeOid == QLatin1String(JsonbOid))
        rounding.kind = ColumnRounding::Kind::JsonKeys;
    return rounding;
}

} // namespace

ColumnRounding columnRounding(const std::shared_ptr<ConnectionState>& connection, const QString& typeOid,
                              const QString& typeKind, const QString& typeModifier, const QString& castType,
                              const QString& storedType)
{
    return columnRoundingOn(connection, typeOid, typeKind, typeModifier, castType, storedType);
}

bool roundsBySql(const ColumnRounding& rounding)
{
    return rounding.kind == ColumnRounding::Kind::Equality || rounding.kind == ColumnRounding::Kind::Text ||
           rounding.kind == ColumnRounding::Kind::Digits;
}

bool mayRound(const ColumnRounding& rounding, const QString& text)
{
    switch (rounding.kind) {
    case ColumnRounding::Kind::None:
        return false;
    case ColumnRounding::Kind::Fraction: {
        // A digit other than 0 after the sixth of a fraction.
        static const QRegularExpression seventh(QStringLiteral("\\.[0-9]{6}[0-9]*[1-9]"));
        return seventh.match(text).hasMatch();
    }
    case ColumnRounding::Kind::JsonKeys:
        return hasEqualKeys(text);
    default:
        return true;
    }
}

// text is an expression of type text; it is read more than once.
QString roundedText(const ColumnRounding& rounding, const QString& text)
{
    const QString stored =
        QStringLiteral("CAST(") + text + QStringLiteral(" AS ") + rounding.storedType + QStringLiteral(")");
    QString storedText = QStringLiteral("CAST(") + stored + QStringLiteral(" AS pg_catalog.text)");
    switch (rounding.kind) {
    case ColumnRounding::Kind::Text:
        return QStringLiteral("CASE WHEN %1 = %2 THEN NULL ELSE %1 END").arg(storedText, text);
    case ColumnRounding::Kind::Digits:
        // Currency signs, separators and zeros at either end are money's own spelling of the same amount.
        return QStringLiteral(
                   "CASE WHEN pg_catalog.btrim(pg_catalog.regexp_replace(%1, '[^0-9]', '', 'g'), "
                   "'0') = pg_catalog.btrim(pg_catalog.regexp_replace(%2, '[^0-9]', '', 'g'), '0') "
                   "THEN NULL ELSE %1 END")
            .arg(storedText, text);
    case ColumnRounding::Kind::Fraction:
    case ColumnRounding::Kind::JsonKeys:
        // Told already by mayRound: what the column would store, for the message.
        return storedText;
    default:
        return QStringLiteral("CASE WHEN %1 = CAST(%2 AS %3) THEN NULL ELSE %4 END")
            .arg(stored, text, rounding.unroundedType, storedText);
    }
}

QString roundingCheck(const ColumnRounding& rounding)
{
    return QStringLiteral("SELECT ") + roundedText(rounding, QStringLiteral("v.t")) +
           QStringLiteral(" FROM (SELECT CAST(? AS pg_catalog.text) AS t) AS v");
}

QString roundingCheckOfMany(const ColumnRounding& rounding)
{
    return QStringLiteral("SELECT v.t, v.s FROM (SELECT u.t, ") +
           roundedText(rounding, QStringLiteral("u.t")) +
           QStringLiteral(
               " AS s FROM pg_catalog.unnest(CAST(? AS pg_catalog.text[])) AS u(t)) AS v WHERE v.s "
               "IS NOT NULL");
}

bool cannotCompare(const DbError& error)
{
    return error.sqlState() == u"42883" || error.sqlState() == u"42846" || error.sqlState() == u"42725";
}

DbError roundedError(const ColumnRounding& rounding, const QString& text, const QString& stored)
{
    return DbError(QStringLiteral("%1 would store %2 as %3")
                       .arg(rounding.storedType, shortened(text), shortened(stored)),
                   QStringLiteral("22000"));
}

} // namespace quarvel::db
