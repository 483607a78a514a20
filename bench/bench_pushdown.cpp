// The server-side run (log and journal included) on a table of N rows x 5 text columns with 10% of the
// rows matching, against the same change made by one bare server-side UPDATE per column on an identical
// copy (ratio_pushdown_vs_server); the same run where nothing matches against a bare count of the
// matching rows over the same columns (ratio_pushdown_scan_vs_count); and its peak memory at 20k and at
// --large-rows rows (pushdown_peak_mb_20k, pushdown_peak_mb_large); the first ratio again with fsync and
// synchronous commit on, as in production (ratio_pushdown_vs_server_durable); and its peak memory on a
// table of --dense-rows rows whose first half holds no find text and whose second half all does
// (pushdown_peak_mb_dense: the batches grown over the empty half must not bring the dense half back at
// once); and on a table of the kinds a real schema has (an identity key, varchar(255), numeric(10,2),
// timestamp(0), a domain, a generated column) the first ratio again, against one bare UPDATE per column
// that holds the text as for the text-only table (ratio_pushdown_vs_server_typed, and _durable), and
// against one UPDATE of all of them (ratio_pushdown_vs_one_update_typed, and _durable). Prints one "name:
// value" a line.
//
// Each ratio is of medians: the run and the server's UPDATE take turns on fresh copies of the same table
// --repeat times (one sample of each moves by a fifth from one try to the next on a shared machine).
//
// Usage: bench_pushdown [--rows N] [--large-rows N] [--dense-rows N] [--repeat N]   (the server comes
// from the QUARVEL_TEST_* variables; 0 leaves the large or the dense table out)

#include "bench/BenchSupport.h"
#include "bench/BenchTables.h"
#include "db/Connection.h"
#include "db/ConnectionState.h"
#include "db/Statement.h"
#include "engine/PushdownRun.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
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

    HeadlessPrompts shown{"bench_pushdown"};

private:
    db::Table m_table;
    QString m_find;
    engine::Journal* m_journal;
};

// The bare scan: how many rows hold the text in some column.
double countSeconds(const std::shared_ptr<db::ConnectionState>& handle, const db::Table& table,
                    const QString& find)
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

// Identity, two varchar(255), a text body, numeric(10,2), timestamp(0), a domain over text and a generated
// column; every tenth row holds the find text in its title and its body. Made the same way every time, so
// that two such tables hold the same rows.
void createTypedTable(const std::shared_ptr<db::ConnectionState>& handle, const db::Table& table,
                      long long rows, const QString& find)
{
    db::Statement create(handle);
    create.executeDirect(QStringLiteral("DROP TABLE IF EXISTS ") + table.qualifiedName());
    create.executeDirect(QStringLiteral("DO $$ BEGIN CREATE DOMAIN public.quarvel_bench_label AS text CHECK "
                                        "(VALUE <> ''); EXCEPTION WHEN duplicate_object THEN NULL; END $$"));
    create.executeDirect(
        QStringLiteral("CREATE TABLE ") + table.qualifiedName() +
        QStringLiteral(
            " (id integer GENERATED ALWAYS AS IDENTITY PRIMARY KEY, title varchar(255), slug "
            "varchar(255), body text, price numeric(10,2), created timestamp(0), label "
            "public.quarvel_bench_label, gross numeric GENERATED ALWAYS AS (price * 1.2) STORED)"));
    db::Statement fill(handle);
    fill.prepare(QStringLiteral("INSERT INTO ") + table.qualifiedName() +
                 QStringLiteral(" (title, slug, body, price, created, label) SELECT 'Title ' || g || CASE "
                                "WHEN g % 10 = 0 THEN ' ' || CAST(? AS text) ELSE '' END, 'slug-' || g, "
                                "repeat(md5(g::text), 3) || CASE WHEN g % 10 = 0 THEN ' ' || CAST(? AS text) "
                                "ELSE '' END || ' ' || md5((g + 1)::text), (g % 100000) / 100.0, timestamp "
                                "'2024-01-01' + g * interval '1 minute', 'label ' || (g % 50) "
                                "FROM generate_series(1, CAST(? AS integer)) g"));
    fill.execute({find, find, QString::number(rows)});
    create.executeDirect(QStringLiteral("VACUUM ANALYZE ") + table.qualifiedName());
}

// The server's own change of the typed table in one UPDATE of the text columns, where any holds the text
// (the text-only figures, and ratio_pushdown_vs_server_typed, take one UPDATE per column).
double typedUpdateSeconds(const std::shared_ptr<db::ConnectionState>& handle, const db::Table& table,
                          const QString& find, const QString& replacement)
{
    QStringList sets;
    QStringList tests;
    std::vector<QString> parameters;
    for (const QString column : {"title", "slug", "body", "label"}) {
        sets << QStringLiteral(
                    "%1 = CASE WHEN strpos(%1, CAST(? AS text)) > 0 THEN btrim(replace(%1, CAST(? AS "
                    "text), CAST(? AS text)), ' ') ELSE %1 END")
                    .arg(column);
        parameters.insert(parameters.end(), {find, find, replacement});
        tests << QStringLiteral("strpos(%1, CAST(? AS text)) > 0").arg(column);
    }
    parameters.insert(parameters.end(), size_t(tests.size()), find);
    return secondsOf([&] {
        db::Statement update(handle);
        update.prepare(QStringLiteral("UPDATE ") + table.qualifiedName() + QStringLiteral(" SET ") +
                       sets.join(QStringLiteral(", ")) + QStringLiteral(" WHERE ") +
                       tests.join(QStringLiteral(" OR ")));
        update.execute(parameters);
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

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// The run and the server's own change, taking turns on tables made afresh before each turn.
struct Turns
{
    std::vector<double> run;
    std::vector<std::vector<double>> server; // a list for each way the server does it
    double peakMb = 0;                       // of the first run

    double ratio(size_t way = 0) const { return median(run) / median(server[way]); }
};

// `prepare` makes the tables; `server` gives the seconds of each of the server's ways; `check` tells
// whether they all agree with the run. A disagreement ends the benchmark.
Turns takeTurns(int repeat, const std::function<void()>& prepare, const std::function<Measurement()>& run,
                const std::function<std::vector<double>()>& server, const std::function<bool()>& check)
{
    Turns turns;
    for (int i = 0; i < repeat; ++i) {
        prepare();
        const Measurement m = run();
        if (i == 0)
            turns.peakMb = m.peakMb;
        turns.run.push_back(m.seconds);
        const std::vector<double> ways = server();
        turns.server.resize(ways.size());
        for (size_t w = 0; w < ways.size(); ++w)
            turns.server[w].push_back(ways[w]);
        if (!check()) {
            std::fprintf(stderr, "bench_pushdown: the run and the server's UPDATE disagree\n");
            std::exit(1);
        }
    }
    return turns;
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
    const QCommandLineOption denseOption(
        QStringLiteral("dense-rows"),
        QStringLiteral("Rows of the half-empty, half-dense table for its peak memory figure (0: none)."),
        QStringLiteral("N"), QStringLiteral("2000000"));
    const QCommandLineOption repeatOption(QStringLiteral("repeat"),
                                          QStringLiteral("Turns of the run and the server's UPDATE."),
                                          QStringLiteral("N"), QStringLiteral("5"));
    parser.addOptions({rowsOption, largeOption, denseOption, repeatOption});
    parser.process(app);
    const long long rows = numberValue(parser, rowsOption);
    const long long largeRows = numberValue(parser, largeOption);
    const long long denseRows = numberValue(parser, denseOption);
    const int repeat = int(std::max<long long>(1, numberValue(parser, repeatOption)));
    if (!serverGiven("pushdown"))
        return 2;
    QTemporaryDir folder;
    qputenv("TEMP", folder.path().toLocal8Bit());

    try {
        db::Connection connection;
        connection.open(bench::connectionString());
        const std::shared_ptr<db::ConnectionState> handle = connection.state().shared_from_this();
        const db::Table base = benchTable("quarvel_bench_push_base");
        const db::Table pushed = benchTable("quarvel_bench_push");
        const db::Table server = benchTable("quarvel_bench_push_server");
        const db::Table small = benchTable("quarvel_bench_push_small");
        createTable(handle, base, rows, Find);
        createTable(handle, small, 20000, Find);
        db::Statement(handle).executeDirect(QStringLiteral("VACUUM ANALYZE"));
        engine::Journal journal(folder.filePath(QStringLiteral("journal.sqlite3")));

        // The text table, fsync off and then durable (a new session takes the reloaded settings).
        const auto textTurns = [&](bool durable) {
            std::unique_ptr<db::Connection> session;
            return takeTurns(
                repeat,
                [&] {
                    for (const db::Table& t : {pushed, server}) {
                        copyTable(handle, base, t);
                        db::Statement(handle).executeDirect(QStringLiteral("VACUUM ANALYZE ") +
                                                            t.qualifiedName());
                    }
                    if (durable)
                        psql(QStringLiteral("CHECKPOINT"), true);
                    session = std::make_unique<db::Connection>();
                    session->open(bench::connectionString());
                },
                [&] { return pushdown(pushed, Find, rows, &journal); },
                [&] {
                    return std::vector<double>{
                        serverUpdateSeconds(session->state().shared_from_this(), server, Find, Replacement)};
                },
                [&] { return sameRows(handle, pushed, server); });
        };
        const Turns text = textTurns(false);
        const Measurement scan = pushdown(base, Absent, rows, &journal);
        const double count = countSeconds(handle, base, Absent);
        const Measurement smallRun = pushdown(small, Find, 20000, &journal);
        double durableRatio = -1;
        if (setDurable(true)) {
            durableRatio = textTurns(true).ratio();
            setDurable(false);
        }

        // The typed table, fsync off and then durable.
        const db::Table typed = benchTable("quarvel_bench_push_typed");
        const db::Table typedServer = benchTable("quarvel_bench_push_typed_server");
        const db::Table typedOne = benchTable("quarvel_bench_push_typed_one");
        const QStringList typedTexts{"title", "slug", "body", "label"};
        double typedRatio[2] = {-1, -1};
        double oneUpdateRatio[2] = {-1, -1};
        for (const bool durable : {false, true}) {
            if (durable && !setDurable(true))
                break;
            std::unique_ptr<db::Connection> session;
            const Turns turns = takeTurns(
                repeat,
                [&] {
                    for (const db::Table& t : {typed, typedServer, typedOne})
                        createTypedTable(handle, t, rows, Find);
                    psql(QStringLiteral("CHECKPOINT"), true);
                    session = std::make_unique<db::Connection>();
                    session->open(bench::connectionString());
                },
                [&] { return pushdown(typed, Find, rows, &journal); },
                [&] {
                    const auto on = session->state().shared_from_this();
                    return std::vector<double>{
                        serverUpdateSeconds(on, typedServer, Find, Replacement, typedTexts),
                        typedUpdateSeconds(on, typedOne, Find, Replacement)};
                },
                [&] { return sameRows(handle, typed, typedServer) && sameRows(handle, typed, typedOne); });
            typedRatio[durable] = turns.ratio(0);
            oneUpdateRatio[durable] = turns.ratio(1);
            if (durable)
                setDurable(false);
        }

        const double runSeconds = median(text.run);
        const double serverSeconds = median(text.server[0]);
        print("pushdown_s", runSeconds);
        print("server_update_s", serverSeconds);
        print("ratio_pushdown_vs_server", runSeconds / serverSeconds);
        if (durableRatio > 0)
            print("ratio_pushdown_vs_server_durable", durableRatio);
        print("ratio_pushdown_vs_server_typed", typedRatio[0]);
        print("ratio_pushdown_vs_one_update_typed", oneUpdateRatio[0]);
        if (typedRatio[1] > 0) {
            print("ratio_pushdown_vs_server_typed_durable", typedRatio[1]);
            print("ratio_pushdown_vs_one_update_typed_durable", oneUpdateRatio[1]);
        }
        print("pushdown_scan_s", scan.seconds);
        print("count_s", count);
        print("ratio_pushdown_scan_vs_count", scan.seconds / count);
        print("pushdown_peak_mb_20k", smallRun.peakMb);
        print("pushdown_peak_mb", text.peakMb);
        if (largeRows > 0) {
            const db::Table large = benchTable("quarvel_bench_push_large");
            createTable(handle, large, largeRows, Find);
            db::Statement(handle).executeDirect(QStringLiteral("VACUUM ANALYZE ") + large.qualifiedName());
            const Measurement largeRun = pushdown(large, Find, largeRows, &journal);
            print("pushdown_peak_mb_large", largeRun.peakMb);
            print("pushdown_large_rows_per_s", double(largeRows) / largeRun.seconds);
            db::Statement(handle).executeDirect(QStringLiteral("DROP TABLE ") + large.qualifiedName());
        }
        if (denseRows > 0) {
            const db::Table dense = benchTable("quarvel_bench_push_dense");
            createTable(handle, dense, denseRows / 2, Absent);
            db::Statement fill(handle);
            fill.prepare(QStringLiteral("INSERT INTO ") + dense.qualifiedName() +
                         QStringLiteral(" SELECT c1, c2, c3 || ' ' || CAST(? AS text), c4, c5 FROM ") +
                         dense.qualifiedName());
            fill.execute({Find});
            db::Statement(handle).executeDirect(QStringLiteral("VACUUM ANALYZE ") + dense.qualifiedName());
            const Measurement denseRun = pushdown(dense, Find, denseRows, &journal);
            print("pushdown_peak_mb_dense", denseRun.peakMb);
            db::Statement(handle).executeDirect(QStringLiteral("DROP TABLE ") + dense.qualifiedName());
        }
        for (const db::Table& t : {base, pushed, server, small, typed, typedServer, typedOne})
            db::Statement(handle).executeDirect(QStringLiteral("DROP TABLE ") + t.qualifiedName());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_pushdown: %s\n", e.what());
        return 1;
    }
    return 0;
}
