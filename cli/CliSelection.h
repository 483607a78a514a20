#pragma once
// The schemas, tables and columns of a command line, as pg_dump's -n/-N/-t/-T and psql's patterns say
// them: the options, the tables and columns they take from the table list, and how they are shown.

#include "cli/CliRun.h"
#include "core/Selection.h"
#include "db/TableColumns.h"

#include <QCommandLineParser>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <vector>

namespace quarvel::cli {

void addSelectionOptions(QCommandLineParser& parser);
// The patterns the options give. Throws UsageError for one that cannot be read.
SelectionPatterns selectionPatterns(const QCommandLineParser& parser);

// A table as the selection takes it, with every column and what the run does with each.
struct ShownColumn
{
    db::ListedColumn column;
    ColumnVerdict verdict = ColumnVerdict::Searched;
};
struct ShownTable
{
    ListedTable listed;
    QList<ShownColumn> columns;
};

// The tables of the list the patterns take, in list order, each with the columns a run may search when
// the patterns name columns (`withColumns` reads them anyway, for showing them). Throws UsageError naming
// an include pattern that matches nothing or cannot be read, before anything is read; DbError.
QList<ShownTable> chooseTables(const QString& connectionString, const QList<ListedTable>& listed,
                               const SelectionPatterns& patterns, bool withColumns = false);
QList<ListedTable> listedOf(const QList<ShownTable>& shown);

// What a run or preview was asked to take, for --json: the patterns and the resulting tables and columns.
QJsonObject selectionJson(const SelectionPatterns& patterns, const QList<ListedTable>& tables);

// "tables --columns": per table the columns a run would search, and why one is left out.
QString columnsText(const QList<ShownTable>& shown);
QJsonObject shownTableJson(const ShownTable& shown);

} // namespace quarvel::cli
