#include "db/PushdownShape.h"

#include "db/Catalogue.h"
#include "db/PushdownRead.h"
#include "db/Statement.h"

namespace quarvel::db {

namespace {

constexpr char TextOid[] = "25";
constexpr char VarcharOid[] = "1043";
constexpr char CharOid[] = "18";
constexpr char NameOid[] = "19";

} // namespace

PushdownShape::PushdownShape(const std::shared_ptr<ConnectionState>& connection, const Table& table,
                             const ColumnFilter& searched)
    : m_table(table)
{
    Statement relation(connection);
    relation.prepare(catalogueQuery(CatalogueQuery::EngineTable));
    relation.execute({table.schema, table.name});
    if (!relation.fetch())
        throw DbError(QStringLiteral("\"%1\" is not a table").arg(table.displayName()),
                      QStringLiteral("42809"));
    m_oid = requiredText(relation, 1);
    relation.closeCursor();

    m_encoding = serverEncoding(connection);

    readLeaves(connection);
    readColumns(connection, searched);
    readRules(connection);
    readKeys(connection);
}

void PushdownShape::walkBecause(const QString& reason)
{
    if (!m_walkReason)
        m_walkReason = reason;
}

void PushdownShape::readLeaves(const std::shared_ptr<ConnectionState>& connection)
{
    Statement leaves(connection);
    leaves.prepare(catalogueQuery(CatalogueQuery::Leaves));
    leaves.execute({m_oid, m_oid});
    while (leaves.fetch()) {
        PushdownLeaf leaf{requiredText(leaves, 1),
                          {requiredText(leaves, 2), requiredText(leaves, 3)},
                          requiredText(leaves, 5).toLongLong()};
        const QString kind = requiredText(leaves, 4);
        leaf.remote = kind == u"f" && requiredText(leaves, 6) == u"postgres_fdw";
        if (kind != u"r" && !leaf.remote)
            walkBecause(QStringLiteral("partition %1 is %2")
                            .arg(leaf.table.displayName(), kind == u"f" ? QStringLiteral("a foreign table")
                                                                        : QStringLiteral("not a table")));
        if (kind == u"r" || leaf.remote)
            m_leaves.push_back(std::move(leaf));
    }
    leaves.closeCursor();
}

void PushdownShape::readColumns(const std::shared_ptr<ConnectionState>& connection,
                                const ColumnFilter& searched)
{
    for (const CatalogueColumn& found : tableColumns(connection, m_oid)) {
        // A column left out cannot send the table to the record walk either: nothing of it is written.
        if (searched && !searched(found.name))
            continue;
        QString why;
        PushdownColumn c = readColumn(connection, found, why);
        if (!why.isEmpty())
            walkBecause(QStringLiteral("column %1 %2").arg(c.name, why));
        m_columns.push_back(std::move(c));
    }
}

PushdownColumn PushdownShape::readColumn(const std::shared_ptr<ConnectionState>& connection,
                                         const CatalogueColumn& found, QString& why) const
{
    PushdownColumn c;
    takeInput(found, c);
    const QString& typeModifier = found.typeModifier;
    const bool modified = typeModifier != u"-1";
    const bool generated = found.generated;
    const bool alwaysIdentity = found.identityAlways;
    const QString& typeText = found.storedType;
    const QString& typeOid = found.typeOid;
    const QString& typeKind = found.typeKind;
    const bool domain = typeKind == u"d";
    c.takesAnyText = !modified && (typeOid == QLatin1String(TextOid) || typeOid == QLatin1String(VarcharOid));
    if (!c.takesAnyText)
        c.rounding = columnRounding(connection, typeOid, typeKind, typeModifier, c.castType, typeText);
    // The server's cast would round or cut what the record walk refuses, or the column cannot be set:
    // only the record walk gives each record its exact answer there.
    // A modifier inside an array, composite or range, and money's cents, too: the record walk compares
    // the stored text with the text given, which the server's cast would not.
    const bool rounds = modified || typeOid == QLatin1String(CharOid) || typeOid == QLatin1String(NameOid) ||
                        (!domain && (c.rounding.kind == ColumnRounding::Kind::Text ||
                                     c.rounding.kind == ColumnRounding::Kind::Digits));
    if (generated)
        why = QStringLiteral("is generated");
    else if (alwaysIdentity)
        why = QStringLiteral("is an identity column GENERATED ALWAYS");
    else if (rounds)
        why = QStringLiteral("is ") + typeText;
    else if (domain)
        why = QStringLiteral("is of the domain ") + typeText;
    return c;
}

void PushdownShape::readRules(const std::shared_ptr<ConnectionState>& connection)
{
    Statement rules(connection);
    rules.prepare(catalogueQuery(CatalogueQuery::UpdateRules));
    rules.execute({m_oid});
    if (rules.fetch())
        walkBecause(QStringLiteral("rule %1 %2")
                        .arg(requiredText(rules, 1), requiredText(rules, 2) == u"true"
                                                         ? QStringLiteral("does the update instead")
                                                         : QStringLiteral("also runs on the update")));
    rules.closeCursor();
}

void PushdownShape::readKeys(const std::shared_ptr<ConnectionState>& connection)
{
    m_keyColumns = primaryKeyColumns(connection, m_oid);
}

std::optional<QString> PushdownShape::walkReason(const std::shared_ptr<ConnectionState>& connection,
                                                 const PushdownPairs& pairs) const
{
    if (m_walkReason || m_encoding == u"UTF8")
        return m_walkReason;
    // The server would refuse such a text for the whole batch, or (SQL_ASCII) store its bytes unasked.
    std::vector<QString> texts;
    for (const auto& [find, replacement] : pairs) {
        if (find.isEmpty())
            continue;
        texts.push_back(find);
        texts.push_back(replacement);
    }
    try {
        if (m_encoding == u"SQL_ASCII") {
            for (size_t i = 1; i < texts.size(); i += 2)
                refuseUnheldInAscii(std::nullopt, texts[i]);
        } else {
            Statement probe(connection);
            probe.prepare(QStringLiteral("SELECT CAST(? AS pg_catalog.text[]) IS NULL"));
            probe.execute({arrayLiteral(texts)});
            probe.closeCursor();
        }
    } catch (const DbError& error) {
        if (error.sqlState() != u"22P05")
            throw;
        return QStringLiteral("a text of the pairs holds a character the database's encoding %1 cannot hold")
            .arg(m_encoding);
    }
    return std::nullopt;
}

} // namespace quarvel::db
