#include "db/PushdownShape.h"

#include "db/Catalogue.h"
#include "db/PushdownRead.h"
#include "db/Rounding.h"
#include "db/Statement.h"

#include <QStringList>

#include <map>

namespace quarvel::db {

namespace {

constexpr char TextOid[] = "25";
constexpr char VarcharOid[] = "1043";

// Every character the text form of a built-in type can hold, where it is a fixed few: skipping such a
// column for a find text it cannot hold spares casting every row's value to text. Dates and times only
// in the ISO style, the one whose form is fixed.
QString textAlphabet(const QString& typeOid, bool isoDates)
{
    static const std::map<QString, QString> alphabets{
        {QStringLiteral("20"), QStringLiteral("0123456789-")},
        {QStringLiteral("21"), QStringLiteral("0123456789-")},
        {QStringLiteral("23"), QStringLiteral("0123456789-")},
        {QStringLiteral("26"), QStringLiteral("0123456789")},
        {QStringLiteral("1700"), QStringLiteral("0123456789.-NaInfity")},
        {QStringLiteral("700"), QStringLiteral("0123456789.-+eNaInfity")},
        {QStringLiteral("701"), QStringLiteral("0123456789.-+eNaInfity")},
        {QStringLiteral("16"), QStringLiteral("truefals")},
        {QStringLiteral("2950"), QStringLiteral("0123456789abcdef-")}};
    static const QStringList dates{QStringLiteral("1082"), QStringLiteral("1114"), QStringLiteral("1184"),
                                   QStringLiteral("1083"), QStringLiteral("1266")};
    if (isoDates && dates.contains(typeOid))
        return QStringLiteral("0123456789-:. +BCinfty");
    const auto found = alphabets.find(typeOid);
    return found == alphabets.end() ? QString() : found->second;
}

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
    Statement dateStyle(connection);
    dateStyle.prepare(QStringLiteral("SELECT pg_catalog.current_setting('DateStyle')"));
    dateStyle.execute({});
    m_isoDates = dateStyle.fetch() && requiredText(dateStyle, 1).startsWith(u"ISO");
    dateStyle.closeCursor();

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
        leaf.lockable = requiredText(leaves, 7) == u"true";
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
    bool anySettable = false;
    for (const CatalogueColumn& found : tableColumns(connection, m_oid)) {
        // A column left out is never read, tested or written.
        if (searched && !searched(found.name))
            continue;
        // Nor is one the role may not update: the server would refuse every row the batch sets it in.
        if (!found.updatable) {
            m_notUpdatable.push_back(found.name);
            continue;
        }
        m_columns.push_back(readColumn(connection, found));
        anySettable = anySettable || m_columns.back().settable();
    }
    // Every batch statement sets some column (a table without columns has no batch).
    if (!anySettable && !m_columns.empty())
        walkBecause(QStringLiteral("no column can be set"));
}

PushdownColumn PushdownShape::readColumn(const std::shared_ptr<ConnectionState>& connection,
                                         const CatalogueColumn& found) const
{
    PushdownColumn c;
    takeInput(found, c);
    c.takesAnyText = found.typeModifier == u"-1" && !c.generated && !c.identityAlways &&
                     (found.typeOid == QLatin1String(TextOid) || found.typeOid == QLatin1String(VarcharOid));
    if (!c.takesAnyText)
        c.rounding = columnRounding(connection, found.typeOid, found.typeKind, found.typeModifier, c.castType,
                                    found.storedType);
    c.textAlphabet = textAlphabet(found.typeOid, m_isoDates);
    if (roundsBySql(c.rounding) && !roundingCheckPlans(connection, c.rounding))
        c.rounding.kind = ColumnRounding::Kind::None;
    return c;
}

// Asked once per table, before any batch: a failed check inside a batch would end its transaction.
bool PushdownShape::roundingCheckPlans(const std::shared_ptr<ConnectionState>& connection,
                                       const ColumnRounding& rounding)
{
    try {
        Statement probe(connection);
        probe.prepare(roundingCheckOfMany(rounding));
        probe.execute({QStringLiteral("{}")});
        probe.closeCursor();
    } catch (const DbError& error) {
        if (!cannotCompare(error))
            throw;
        return false;
    }
    return true;
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
