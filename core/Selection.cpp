#include "core/Selection.h"

#include <QJsonArray>

#include <algorithm>
#include <utility>

namespace quarvel {

namespace {

// psql's reading of one pattern: quotes keep what they hold (a doubled quote is one), outside them * and
// ? are wildcards, a dot ends a part and letters fold to lower case. Everything else is taken literally.
QStringList expressionParts(const QString& text)
{
    QStringList parts{QString()};
    bool quoted = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == u'"') {
            if (quoted && i + 1 < text.size() && text.at(i + 1) == u'"') {
                parts.last() += QRegularExpression::escape(QStringLiteral("\""));
                ++i;
            } else {
                quoted = !quoted;
            }
        } else if (quoted) {
            parts.last() += QRegularExpression::escape(QString(c));
        } else if (c == u'.') {
            parts.append(QString());
        } else if (c == u'*') {
            parts.last() += QStringLiteral(".*");
        } else if (c == u'?') {
            parts.last() += u'.';
        } else {
            parts.last() += QRegularExpression::escape(QString(c.toLower()));
        }
    }
    return parts;
}

// Each list of patterns with the option that gives it.
std::pair<const char*, QStringList SelectionPatterns::*> const Lists[] = {
    {"schema", &SelectionPatterns::schemas}, {"exclude-schema", &SelectionPatterns::excludedSchemas},
    {"table", &SelectionPatterns::tables},   {"exclude-table", &SelectionPatterns::excludedTables},
    {"column", &SelectionPatterns::columns}, {"exclude-column", &SelectionPatterns::excludedColumns},
};

bool anyMatches(const std::vector<NamePattern>& patterns, const QStringList& names)
{
    return std::any_of(patterns.cbegin(), patterns.cend(),
                       [&](const NamePattern& pattern) { return pattern.matches(names); });
}

} // namespace

NamePattern::NamePattern(const QString& text, int parts, bool asListed) : m_text(text), m_asListed(asListed)
{
    const QStringList expressions = expressionParts(text);
    if (expressions.size() > parts)
        throw PatternError(
            QStringLiteral("improper qualified name (too many dotted names): %1").arg(text).toStdString());
    for (const QString& expression : expressions)
        // An empty part, as in ".orders", leaves that part free, as psql does.
        m_parts.emplace_back(
            QRegularExpression::anchoredPattern(expression.isEmpty() ? QStringLiteral(".*") : expression),
            QRegularExpression::DotMatchesEverythingOption);
}

bool NamePattern::matches(const QStringList& names) const
{
    for (qsizetype from = 0; m_asListed && from < names.size(); ++from)
        if (names.mid(from).join(u'.') == m_text)
            return true;
    const qsizetype offset = names.size() - qsizetype(m_parts.size());
    if (offset < 0)
        return false;
    for (size_t i = 0; i < m_parts.size(); ++i)
        if (!m_parts[i].match(names.at(offset + qsizetype(i))).hasMatch())
            return false;
    return true;
}

bool SelectionPatterns::isEmpty() const
{
    return schemas.isEmpty() && excludedSchemas.isEmpty() && tables.isEmpty() && excludedTables.isEmpty() &&
           columns.isEmpty() && excludedColumns.isEmpty();
}

QJsonObject patternsJson(const SelectionPatterns& patterns)
{
    QJsonObject json;
    for (const auto& [name, list] : Lists)
        json.insert(QLatin1String(name), QJsonArray::fromStringList(patterns.*list));
    return json;
}

SelectionPatterns patternsFromJson(const QJsonObject& json)
{
    SelectionPatterns patterns;
    for (const auto& [name, list] : Lists)
        for (const QJsonValue pattern : json.value(QLatin1String(name)).toArray())
            (patterns.*list) << pattern.toString();
    return patterns;
}

QString patternsText(const SelectionPatterns& patterns)
{
    QStringList words;
    for (const auto& [name, list] : Lists)
        for (const QString& pattern : patterns.*list)
            words << QStringLiteral("--%1 '%2'").arg(QLatin1String(name), pattern);
    return words.join(u' ');
}

std::vector<NamePattern> Selection::read(const QStringList& texts, int parts, bool asListed)
{
    std::vector<NamePattern> patterns;
    for (const QString& text : texts)
        patterns.emplace_back(text, parts, asListed);
    return patterns;
}

Selection::Selection(const SelectionPatterns& patterns)
    : m_given(patterns), m_schemas(read(patterns.schemas, 1)),
      m_excludedSchemas(read(patterns.excludedSchemas, 1)), m_tables(read(patterns.tables, 2, true)),
      m_excludedTables(read(patterns.excludedTables, 2, true)), m_columns(read(patterns.columns, 3)),
      m_excludedColumns(read(patterns.excludedColumns, 3))
{}

bool Selection::takesTable(const QString& schema, const QString& table) const
{
    if (anyMatches(m_excludedSchemas, {schema}) || anyMatches(m_excludedTables, {schema, table}))
        return false;
    return (m_schemas.empty() || anyMatches(m_schemas, {schema})) &&
           (m_tables.empty() || anyMatches(m_tables, {schema, table}));
}

ColumnVerdict Selection::column(const QString& schema, const QString& table, const QString& column) const
{
    if (anyMatches(m_excludedColumns, {schema, table, column}))
        return ColumnVerdict::Excluded;
    if (!m_columns.empty() && !anyMatches(m_columns, {schema, table, column}))
        return ColumnVerdict::NotIncluded;
    return ColumnVerdict::Searched;
}

std::vector<SelectedTable> Selection::resolve(const std::vector<SelectableTable>& tables) const
{
    refuseUnmatched(tables);
    std::vector<SelectedTable> selected;
    for (size_t i = 0; i < tables.size(); ++i) {
        const SelectableTable& table = tables[i];
        if (!takesTable(table.schema, table.name))
            continue;
        SelectedTable taken{int(i), {}};
        for (const QString& name : table.columns)
            if (column(table.schema, table.name, name) == ColumnVerdict::Searched)
                taken.columns << name;
        // A table where the column patterns leave nothing to search is not walked at all.
        if (!taken.columns.isEmpty() || (m_given.columns.isEmpty() && m_given.excludedColumns.isEmpty()))
            selected.push_back(std::move(taken));
    }
    return selected;
}

void Selection::refuseUnmatched(const std::vector<SelectableTable>& tables) const
{
    const auto refuse = [](const char* what, const NamePattern& pattern, const char* where = "table list") {
        throw PatternError(QStringLiteral("there is no %1 \"%2\" in the %3")
                               .arg(QLatin1String(what), pattern.text(), QLatin1String(where))
                               .toStdString());
    };
    for (const NamePattern& pattern : m_schemas)
        if (std::none_of(tables.cbegin(), tables.cend(),
                         [&](const SelectableTable& t) { return pattern.matches({t.schema}); }))
            refuse("schema", pattern);
    for (const NamePattern& pattern : m_tables)
        if (std::none_of(tables.cbegin(), tables.cend(), [&](const SelectableTable& t) {
                return pattern.matches({t.schema, t.name});
            }))
            refuse("table", pattern);
    // A column pattern is held against the tables taken: a column of a table left out is no match.
    for (const NamePattern& pattern : m_columns)
        if (std::none_of(tables.cbegin(), tables.cend(), [&](const SelectableTable& t) {
                return takesTable(t.schema, t.name) &&
                       std::any_of(t.columns.cbegin(), t.columns.cend(), [&](const QString& c) {
                           return pattern.matches({t.schema, t.name, c});
                       });
            }))
            refuse("column", pattern, "tables taken");
}

} // namespace quarvel
