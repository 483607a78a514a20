// The server-side run (log and journal included) on a table of N rows x 5 text columns with 10% of the
// rows matching, against the same change made by one bare server-side UPDATE per column on an identical
// copy (ratio_pushdown_vs_server); the same run where nothing matches against a bare count of the
// matching rows over the same columns (ratio_pushdown_scan_vs_count); and its peak memory at 20k and at
// --large-rows rows (pushdown_peak_mb_20k, pushdown_peak_mb_large). Prints one "name: value" a line.
//
// Usage: bench_pushdown [--rows N] [--large-rows N]   (the server comes from the QUARVEL_TEST_* variables;
// --large-rows 0 leaves the large table out)

#include "bench/BenchSupport.h"
#include "db/Connection.h"
#include "db/ConnectionState.h"
#include "db/Statement.h"
#include "engine/PushdownRun.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <cstdio>

using namespace quarvel;
using namespace quarvel::bench;

namespace {

const QString Find = QStringLiteral("needle");
const QString Replacement = QStringLiteral("pin");
const QString Absent = QStringLiteral("nowhere to be found");
const QStringList Columns = {"c1", "c2", "c3", "c4", "c5"};

db::Table benchTable(const QString& name)
{
    return {QStringLiteral("public"), name};
}

// A failure ends the benchmark, "Done." is counted.
class HeadlessPrompts : public Prompts
{
public:
    void message(const QString& text) override { done = text == QStringLiteral("Done."); }
    bool askYesNo(const QString&) override { return false; }
    QString input(const QString&, const QString&) override { return {}; }
    QString saveFileName(const FileDialogRequest&) override { return {}; }
    QString openFileName(const FileDialogRequest&) override { return {}; }
    void errorReport(const QString& text) override
    {
        std::fprintf(stderr, "bench_pushdown: the run reported:\n%s\n", qPrintable(text));
        std::exit(1);
    }
    bool done = false;
};

class HeadlessHost : public engine::RunHost
{
public:
    HeadlessHost(db::Table table, QString find, engine::Journal* journal)
        : m_table(std::move(table)), m_find(std::move(find)), m_journal(journal)
    {}
    int tableCount() override { return 1; }
    bool isTicked(int) override { return true; }
    db::Table table(int) override { return m_table; }
    QString tableText(int) override { return m_table.displayName(); }
    QString connectionString() override { return bench::connectionString(); }
    int selectedTab() override { return 0; }
    QString findText() override { return m_find; }
    QString replaceText() override { return Replacement; }
    int setCount() override { return 0; }
    QString setFindText(int) override { return {}; }
    QString setReplaceText(int) override { return {}; }
    void processEvents() override {}
    void setPointerMode(PointerMode) override {}
    Prompts& prompts() override { return shown; }
    engine::Journal* journal() override { return m_journal; }

    HeadlessPrompts shown;

private:
    db::Table m_table;
    QString m_find;
    engine::Journal* m_journal;
};

double secondsOf(const std::function<void()>& body)
{
    QElapsedTimer timer;
    timer.start();
    body();
    return double(timer.nsecsElapsed()) / 1e9;
}

// Fills the table with rows of five text columns; every tenth holds the find text once, in its middle.
void createTable(SQLHDBC handle, const db::Table& table, long long rows)
{
    db::Statement create(handle);
    create.executeDirect(QStringLiteral("DROP TABLE IF EXISTS ") + table.qualifiedName());
    create.executeDirect(QStringLiteral("CREATE TABLE ") + table.qualifiedName() +
                         QStringLiteral(" (c1 text, c2 text, c3 text, c4 text, c5 text)"));
    db::Statement fill(handle);
    fill.prepare(QStringLiteral("INSERT INTO ") + table.qualifiedName() +
                 QStringLiteral(" SELECT left(md5(g::text), 30), left(md5((g + 1)::text), 30), "
                                "CASE WHEN g % 10 = 0 THEN left(md5((g + 2)::text), 12) || ' ' || "
                                "CAST(? AS text) || ' ' || left(md5((g + 5)::text), 11) "
                                "ELSE left(md5((g + 2)::text), 30) END, "
                                "left(md5((g + 3)::text), 30), left(md5((g + 4)::text), 30) "
                                "FROM generate_series(1, CAST(? AS integer)) g"));
    fill.execute({Find, QString::number(rows)});
}

void copyTable(SQLHDBC handle, const db::Table& from, const db::Table& to)
{
    db::Statement create(handle);
    create.executeDirect(QStringLiteral("DROP TABLE IF EXISTS ") + to.qualifiedName());
    create.executeDirect(QStringLiteral("CREATE TABLE ") + to.qualifiedName() +
                         QStringLiteral(" AS SELECT * FROM ") + from.qualifiedName());
}

// The same change made by the server itself, one statement per column.
double serverUpdateSeconds(SQLHDBC handle, const db::Table& table)
{
    return secondsOf([&] {
        db::Statement update(handle);
        for (const QString& column : Columns) {
            const QString c = db::quoteIdentifier(column);
            update.prepare(QStringLiteral("UPDATE ") + table.qualifiedName() + QStringLiteral(" SET ") + c +
                           QStringLiteral(" = btrim(replace(") + c +
                           QStringLiteral(", CAST(? AS text), CAST(? AS text)), ' ') WHERE strpos(") + c +
                           QStringLiteral(", CAST(? AS text)) > 0"));
            update.execute({Find, Replacement, Find});
        }
    });
}

// The bare scan: how many rows hold the text in some column.
double countSeconds(SQLHDBC handle, const db::Table& table, const QString& find)
{
    return secondsOf([&] {
        QStringList tests;
        for (const QString& column : Columns)
            tests << QStringLiteral("strpos(") + db::quoteIdentifier(column) +
                         QStringLiteral(", CAST(? AS text)) > 0");
        db::Statement count(handle);
        count.prepare(QStringLiteral("SELECT count(*) FROM ") + table.qualifiedName() +
                      QStringLiteral(" WHERE ") + tests.join(QStringLiteral(" OR ")));
        count.execute(std::vector<QString>(size_t(Columns.size()), find));
        count.fetch();
        count.closeCursor();
    });
}

Measurement pushdown(const db::Table& table, const QString& find, long long rows, engine::Journal* journal)
{
    const Measurement run = measure([&] {
        HeadlessHost host(table, find, journal);
        engine::PushdownRun().run(host);
        if (!host.shown.done) {
            std::fprintf(stderr, "bench_pushdown: the run did not end with \"Done.\"\n");
            std::exit(1);
        }
        return rows;
    });
    return run;
}

bool sameRows(SQLHDBC handle, const db::Table& a, const db::Table& b)
{
    db::Statement compare(handle);
    compare.executeDirect(QStringLiteral("SELECT count(*) FROM ((SELECT * FROM ") + a.qualifiedName() +
                          QStringLiteral(" EXCEPT ALL SELECT * FROM ") + b.qualifiedName() +
                          QStringLiteral(") UNION ALL (SELECT * FROM ") + b.qualifiedName() +
                          QStringLiteral(" EXCEPT ALL SELECT * FROM ") + a.qualifiedName() +
                          QStringLiteral(")) d"));
    compare.fetch();
    const bool same = compare.text(1).value_or(QStringLiteral("?")) == QStringLiteral("0");
    compare.closeCursor();
    return same;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("The server-side run against the server's own UPDATE."));
    parser.addHelpOption();
    const QCommandLineOption rowsOption(QStringLiteral("rows"), QStringLiteral("Rows in the table."),
                                        QStringLiteral("N"), QStringLiteral("200000"));
    const QCommandLineOption largeOption(
        QStringLiteral("large-rows"),
        QStringLiteral("Rows of the table for the peak memory figure (0: none)."), QStringLiteral("N"),
        QStringLiteral("1000000"));
    parser.addOptions({rowsOption, largeOption});
    parser.process(app);
    const long long rows = numberValue(parser, rowsOption);
    const long long largeRows = numberValue(parser, largeOption);
    if (env("QUARVEL_TEST_SERVER").isEmpty()) {
        std::fprintf(stderr,
                     "bench_pushdown: QUARVEL_TEST_* are unset; run it through scripts/bench pushdown\n");
        return 2;
    }
    QTemporaryDir folder;
    qputenv("TEMP", folder.path().toLocal8Bit());

    try {
        db::Connection connection;
        connection.open(bench::connectionString());
        SQLHDBC handle = connection.state().openHandle();
        const db::Table base = benchTable("quarvel_bench_push_base");
        const db::Table pushed = benchTable("quarvel_bench_push");
        const db::Table server = benchTable("quarvel_bench_push_server");
        const db::Table small = benchTable("quarvel_bench_push_small");
        createTable(handle, base, rows);
        for (const db::Table& t : {pushed, server})
            copyTable(handle, base, t);
        createTable(handle, small, 20000);
        db::Statement(handle).executeDirect(QStringLiteral("VACUUM ANALYZE"));

        engine::Journal journal(folder.filePath(QStringLiteral("journal.sqlite3")));
        const Measurement run = pushdown(pushed, Find, rows, &journal);
        const double serverSeconds = serverUpdateSeconds(handle, server);
        if (!sameRows(handle, pushed, server)) {
            std::fprintf(stderr, "bench_pushdown: the run and the server's UPDATE disagree\n");
            return 1;
        }
        const Measurement scan = pushdown(base, Absent, rows, &journal);
        const double count = countSeconds(handle, base, Absent);
        const Measurement smallRun = pushdown(small, Find, 20000, &journal);

        print("pushdown_s", run.seconds);
        print("server_update_s", serverSeconds);
        print("ratio_pushdown_vs_server", run.seconds / serverSeconds);
        print("pushdown_scan_s", scan.seconds);
        print("count_s", count);
        print("ratio_pushdown_scan_vs_count", scan.seconds / count);
        print("pushdown_peak_mb_20k", smallRun.peakMb);
        print("pushdown_peak_mb", run.peakMb);
        if (largeRows > 0) {
            const db::Table large = benchTable("quarvel_bench_push_large");
            createTable(handle, large, largeRows);
            db::Statement(handle).executeDirect(QStringLiteral("VACUUM ANALYZE ") + large.qualifiedName());
            const Measurement largeRun = pushdown(large, Find, largeRows, &journal);
            print("pushdown_peak_mb_large", largeRun.peakMb);
            print("pushdown_large_rows_per_s", double(largeRows) / largeRun.seconds);
            db::Statement(handle).executeDirect(QStringLiteral("DROP TABLE ") + large.qualifiedName());
        }
        for (const db::Table& t : {base, pushed, server, small})
            db::Statement(handle).executeDirect(QStringLiteral("DROP TABLE ") + t.qualifiedName());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_pushdown: %s\n", e.what());
        return 1;
    }
    return 0;
}
