#pragma once
// Which schemas, tables and columns a run takes, given as patterns the way psql's \d and pg_dump's -n, -t
// and -T read them, so that a DBA's habits carry over: * and ?, dotted names, double quotes for an exact
// name whose case is kept, unquoted letters folded to lower case. Pure: answers about names only.

#include <QJsonObject>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <stdexcept>
#include <vector>

namespace quarvel {

// A pattern that cannot be read (too many dotted parts, an unclosed quote), named in the message.
class PatternError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// One pattern split at its dots, each part an anchored expression. A pattern with fewer parts than the
// name it is held against matches from the right: "orders" matches the table orders in every schema.
class NamePattern
{
public:
    // At most `parts` dotted parts. `asListed`: the text as the table list shows a name also matches that
    // name, whatever its case, as --table took names before it took patterns. Throws PatternError.
    NamePattern(const QString& text, int parts, bool asListed = false);
    const QString& text() const { return m_text; }
    // `names` from the outermost (schema) to the object itself.
    bool matches(const QStringList& names) const;

private:
    QString m_text;
    bool m_asListed;
    std::vector<QRegularExpression> m_parts;
};

// The patterns of one run, as the options give them; repeatable, so lists.
struct SelectionPatterns
{
    QStringList schemas;
    QStringList excludedSchemas;
    QStringList tables;
    QStringList excludedTables;
    QStringList columns;
    QStringList excludedColumns;
    bool isEmpty() const;
    friend bool operator==(const SelectionPatterns&, const SelectionPatterns&) = default;
};

// The patterns under the names of the options that give them ("schema", "exclude-table", ...), each a
// list; and back, a missing or misspelt name reading as no pattern.
QJsonObject patternsJson(const SelectionPatterns& patterns);
SelectionPatterns patternsFromJson(const QJsonObject& json);
// The patterns as options on a command line: --schema 'public' --exclude-table 'log'.
QString patternsText(const SelectionPatterns& patterns);

// Why a column is searched or not.
enum class ColumnVerdict { Searched, Excluded, NotIncluded };

// A table with its columns, as the catalogue lists them, to resolve the patterns against.
struct SelectableTable
{
    QString schema;
    QString name;
    QStringList columns;
};

// A table the patterns take, with the columns a run may search in it, in table order.
struct SelectedTable
{
    int entry = 0; // in the list resolved
    QStringList columns;
};

class Selection
{
public:
    Selection() = default; // everything
    // Throws PatternError for a pattern that cannot be read.
    explicit Selection(const SelectionPatterns& patterns);

    const SelectionPatterns& patterns() const { return m_given; }
    // Excludes win: a table of an excluded schema, or matched by an exclude, is never taken.
    bool takesTable(const QString& schema, const QString& table) const;
    ColumnVerdict column(const QString& schema, const QString& table, const QString& column) const;

    // The tables taken that have a column to search, each with those columns. An include pattern that
    // matches nothing in `tables` throws PatternError naming it, before anything is read.
    std::vector<SelectedTable> resolve(const std::vector<SelectableTable>& tables) const;

private:
    static std::vector<NamePattern> read(const QStringList& texts, int parts, bool asListed = false);
    void refuseUnmatched(const std::vector<SelectableTable>& tables) const;

    SelectionPatterns m_given;
    std::vector<NamePattern> m_schemas, m_excludedSchemas, m_tables, m_excludedTables, m_columns,
        m_excludedColumns;
};

} // namespace quarvel
