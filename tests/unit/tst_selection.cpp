// Which tables and columns the patterns of a run take, as psql and pg_dump read patterns.
#include "core/Selection.h"

#include <QTest>

using namespace quarvel;

namespace {

// Two schemas with a table of the same name, a name whose case matters, and a prefix.
const std::vector<SelectableTable> Catalogue = {
    {"public", "orders", {"id", "note", "guid"}}, {"public", "wp_posts", {"guid", "content"}},
    {"public", "wp_users", {"guid", "name"}},     {"sales", "orders", {"id", "note"}},
    {"sales", "Big Table", {"Note", "note"}},     {"archive", "log", {"line"}},
};

// "-n a -T b": the options' short names, each followed by its pattern.
SelectionPatterns patternsOf(const QStringList& arguments)
{
    SelectionPatterns p;
    for (qsizetype i = 0; i + 1 < arguments.size(); i += 2) {
        const QString& option = arguments.at(i);
        QStringList& list = option == u"-n"   ? p.schemas
                            : option == u"-N" ? p.excludedSchemas
                            : option == u"-t" ? p.tables
                            : option == u"-T" ? p.excludedTables
                            : option == u"-c" ? p.columns
                                              : p.excludedColumns;
        list << arguments.at(i + 1);
    }
    return p;
}

// "sales.orders(id,note) ..." or the error.
QString taken(const QStringList& arguments)
{
    try {
        QStringList out;
        for (const SelectedTable& t : Selection(patternsOf(arguments)).resolve(Catalogue)) {
            const SelectableTable& table = Catalogue.at(size_t(t.entry));
            out << QStringLiteral("%1.%2(%3)").arg(table.schema, table.name, t.columns.join(u','));
        }
        return out.join(u' ');
    } catch (const PatternError& error) {
        return QString::fromUtf8(error.what());
    }
}

} // namespace

class TestSelection : public QObject
{
    Q_OBJECT
private slots:
    void patternsTakeTheTablesAndColumnsPsqlWould_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("expected");
        const QString all =
            "public.orders(id,note,guid) public.wp_posts(guid,content) public.wp_users(guid,name) "
            "sales.orders(id,note) sales.Big Table(Note,note) archive.log(line)";
        QTest::newRow("no pattern") << QStringList{} << all;
        QTest::newRow("a name in every schema")
            << QStringList{"-t", "orders"} << "public.orders(id,note,guid) sales.orders(id,note)";
        QTest::newRow("schema.table") << QStringList{"-t", "sales.orders"} << "sales.orders(id,note)";
        QTest::newRow("star") << QStringList{"-t", "wp_*"}
                              << "public.wp_posts(guid,content) public.wp_users(guid,name)";
        QTest::newRow("question mark") << QStringList{"-t", "l?g"} << "archive.log(line)";
        QTest::newRow("unquoted folds")
            << QStringList{"-t", "ORDERS", "-N", "sales"} << "public.orders(id,note,guid)";
        QTest::newRow("quoted keeps case")
            << QStringList{"-t", "\"Big Table\""} << "sales.Big Table(Note,note)";
        QTest::newRow("quoted star is a star") << QStringList{"-t", "wp_*", "-T", "\"wp_*\""}
                                               << "public.wp_posts(guid,content) public.wp_users(guid,name)";
        QTest::newRow("as listed") << QStringList{"-t", "sales.Big Table"} << "sales.Big Table(Note,note)";
        QTest::newRow("schema") << QStringList{"-n", "sales"}
                                << "sales.orders(id,note) sales.Big Table(Note,note)";
        QTest::newRow("schema except a table")
            << QStringList{"-n", "public", "-T", "wp_users", "-T", "orders"}
            << "public.wp_posts(guid,content)";
        QTest::newRow("exclude wins")
            << QStringList{"-t", "orders", "-T", "sales.*"} << "public.orders(id,note,guid)";
        QTest::newRow("excluded schema wins") << QStringList{"-n", "s*", "-N", "sales"} << "";
        QTest::newRow("no schema matches") << QStringList{"-n", "nope"} << "there is no schema \"nope\"";
        QTest::newRow("prefix except a column")
            << QStringList{"-t", "wp_*", "-C", "guid"} << "public.wp_posts(content) public.wp_users(name)";
        QTest::newRow("one column of one table")
            << QStringList{"-c", "public.orders.note"} << "public.orders(note)";
        QTest::newRow("table.column in every schema")
            << QStringList{"-c", "orders.note"} << "public.orders(note) sales.orders(note)";
        QTest::newRow("unquoted column folds")
            << QStringList{"-c", "Note", "-t", "\"Big Table\""} << "sales.Big Table(note)";
        QTest::newRow("quoted column case") << QStringList{"-c", "\"Note\""} << "sales.Big Table(Note)";
        QTest::newRow("no table matches")
            << QStringList{"-t", "nope"} << "there is no table \"nope\" in the table list";
        QTest::newRow("no column matches in the tables taken")
            << QStringList{"-t", "log", "-c", "guid"} << "there is no column \"guid\" in the tables taken";
        QTest::newRow("an exclude that matches nothing")
            << QStringList{"-t", "log", "-T", "nope"} << "archive.log(line)";
        QTest::newRow("too many dots") << QStringList{"-t", "a.b.c"} << "too many dotted names";
        QTest::newRow("a dot inside quotes")
            << QStringList{"-T", "\"a.b.c\"", "-t", "log"} << "archive.log(line)";
    }
    void patternsTakeTheTablesAndColumnsPsqlWould()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, expected);
        const QString got = taken(arguments);
        // A refusal is told by the start of its message; a selection in full.
        if (expected.startsWith(u"there is") || expected.contains(u"dotted"))
            QVERIFY2(got.contains(expected), qPrintable(got));
        else
            QCOMPARE(got, expected);
    }
};

QTEST_GUILESS_MAIN(TestSelection)
#include "tst_selection.moc"
