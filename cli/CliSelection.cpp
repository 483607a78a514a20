#include "cli/CliSelection.h"

#include "cli/ConnectionOptions.h"

#include <QJsonArray>

namespace quarvel::cli {

namespace {

struct PatternOption
{
    const char* shortName; // empty: none, as psql has none for columns
    const char* name;
    const char* description;
    QStringList SelectionPatterns::*list;
};

const PatternOption PatternOptions[] = {
    {"n", "schema", "Only tables of the schemas matching PATTERN (repeatable).", &SelectionPatterns::schemas},
    {"N", "exclude-schema", "No table of the schemas matching PATTERN (repeatable).",
     &SelectionPatterns::excludedSchemas},
    {"t", "table",
     "Only the tables matching PATTERN: a name as \"tables\" lists it, * and ?, schema.table, \"Exact "
     "Case\" (repeatable; default: every table).",
     &SelectionPatterns::tables},
    {"T", "exclude-table", "No table matching PATTERN (repeatable).", &SelectionPatterns::excludedTables},
    {"", "column",
     "Search only the columns matching PATTERN: column, table.column or schema.table.column (repeatable).",
     &SelectionPatterns::columns},
    {"", "exclude-column", "Never test or change the columns matching PATTERN (repeatable).",
     &SelectionPatterns::excludedColumns},
};

QString verdictText(const ShownColumn& shown)
{
    if (shown.verdict == ColumnVerdict::Excluded)
        return QStringLiteral("left out: excluded");
    if (shown.verdict == ColumnVerdict::NotIncluded)
        return QStringLiteral("left out: no --column pattern matches it");
    if (!shown.column.updatable)
        return QStringLiteral("left out: the role may not update it");
    if (!shown.column.unwritable.isEmpty())
        return QStringLiteral("searched, but no text can be stored into it (%1): a match is refused")
            .arg(shown.column.unwritable);
    return QStringLiteral("searched");
}

std::vector<db::Table> tablesOf(const QList<ListedTable>& listed, const Selection& selection)
{
    std::vector<db::Table> tables;
    for (const ListedTable& t : listed)
        if (selection.takesTable(t.table.schema, t.table.name))
            tables.push_back(t.table);
    return tables;
}

} // namespace

void addSelectionOptions(QCommandLineParser& parser)
{
    for (const PatternOption& option : PatternOptions) {
        QStringList names{QLatin1String(option.name)};
        if (*option.shortName)
            names.prepend(QLatin1String(option.shortName));
        parser.addOption({names, QLatin1String(option.description), QStringLiteral("PATTERN")});
    }
}

SelectionPatterns selectionPatterns(const QCommandLineParser& parser)
{
    SelectionPatterns patterns;
    for (const PatternOption& option : PatternOptions)
        patterns.*option.list = parser.values(QLatin1String(option.name));
    // A pattern that cannot be read is refused before anything connects.
    try {
        (void)Selection(patterns);
    } catch (const PatternError& error) {
        throw UsageError(error.what());
    }
    return patterns;
}

QList<ShownTable> chooseTables(const QString& connectionString, const QList<ListedTable>& listed,
                               const SelectionPatterns& patterns, bool withColumns)
{
    try {
        const Selection selection(patterns);
        const bool choosesColumns = !patterns.columns.isEmpty() || !patterns.excludedColumns.isEmpty();
        // The catalogue is asked for columns only where they decide something or are to be shown.
        std::vector<db::TableColumns> read;
        if (choosesColumns || withColumns)
            read = db::ReadTableColumns(connectionString, tablesOf(listed, selection));
        std::vector<SelectableTable> selectable;
        std::vector<const db::TableColumns*> columnsOf(size_t(listed.size()), nullptr); // by list entry
        size_t at = 0;
        for (const ListedTable& t : listed) {
            selectable.push_back({t.table.schema, t.table.name, {}});
            if (at < read.size() && read[at].table == t.table) {
                columnsOf[selectable.size() - 1] = &read[at];
                for (const db::ListedColumn& column : read[at++].columns)
                    selectable.back().columns << column.name;
            }
        }
        QList<ShownTable> shown;
        for (const SelectedTable& taken : selection.resolve(selectable)) {
            ShownTable& table = shown.emplace_back(ShownTable{listed.at(taken.entry), {}});
            if (choosesColumns)
                table.listed.columns = taken.columns;
            if (const db::TableColumns* columns = columnsOf[size_t(taken.entry)])
                for (const db::ListedColumn& column : columns->columns)
                    table.columns.append({column, selection.column(table.listed.table.schema,
                                                                   table.listed.table.name, column.name)});
        }
        return shown;
    } catch (const PatternError& error) {
        throw UsageError(error.what());
    }
}

QList<ListedTable> listedOf(const QList<ShownTable>& shown)
{
    QList<ListedTable> listed;
    for (const ShownTable& table : shown)
        listed.append(table.listed);
    return listed;
}

QJsonObject selectionJson(const SelectionPatterns& patterns, const QList<ListedTable>& tables)
{
    QJsonArray taken;
    for (const ListedTable& t : tables)
        taken.append(
            QJsonObject{{QStringLiteral("table"), t.text},
                        {QStringLiteral("columns"),
                         t.columns ? QJsonValue(QJsonArray::fromStringList(*t.columns)) : QJsonValue()}});
    return QJsonObject{{QStringLiteral("patterns"), patternsJson(patterns)},
                       {QStringLiteral("tables"), taken}};
}

QString columnsText(const QList<ShownTable>& shown)
{
    QString text;
    for (const ShownTable& table : shown) {
        text += table.listed.text + u'\n';
        qsizetype nameWidth = 0;
        qsizetype typeWidth = 0;
        for (const ShownColumn& c : table.columns) {
            nameWidth = qMax(nameWidth, c.column.name.size());
            typeWidth = qMax(typeWidth, c.column.type.size());
        }
        for (const ShownColumn& c : table.columns)
            text += QStringLiteral("  %1  %2  %3\n")
                        .arg(c.column.name.leftJustified(nameWidth), c.column.type.leftJustified(typeWidth),
                             verdictText(c));
    }
    return text;
}

QJsonObject shownTableJson(const ShownTable& shown)
{
    QJsonArray columns;
    for (const ShownColumn& c : shown.columns) {
        const bool searched = c.verdict == ColumnVerdict::Searched && c.column.updatable;
        columns.append(QJsonObject{
            {QStringLiteral("name"), c.column.name},
            {QStringLiteral("type"), c.column.type},
            {QStringLiteral("searched"), searched},
            {QStringLiteral("leftOut"),
             searched                                  ? QJsonValue()
             : c.verdict == ColumnVerdict::Excluded    ? QJsonValue(QStringLiteral("excluded"))
             : c.verdict == ColumnVerdict::NotIncluded ? QJsonValue(QStringLiteral("not included"))
                                                       : QJsonValue(QStringLiteral("not updatable"))},
            {QStringLiteral("unwritable"),
             c.column.unwritable.isEmpty() ? QJsonValue() : QJsonValue(c.column.unwritable)}});
    }
    return QJsonObject{{QStringLiteral("schema"), shown.listed.table.schema},
                       {QStringLiteral("name"), shown.listed.table.name},
                       {QStringLiteral("text"), shown.listed.text},
                       {QStringLiteral("columns"), columns}};
}

} // namespace quarvel::cli
