// The server engine on a table of N rows with a short text column that 10% of the rows match and a wide
// one (about --wide-bytes per row, stored out of line and uncompressed, as a long document or a blob of
// markup is) that no row matches: the run over every column against the same run with the wide column left
// out by --exclude-column's selection. Prints what the server read of the table for each, as blocks of
// its heap and out-of-line storage touched (pg_statio_user_tables, hits and reads) times 8 kB, a block
// touched twice counting twice, and their ratio; and the fastest of two runs of each and their ratio. Both
// runs change the same rows: the second puts back what the first replaced.
//
// Usage: bench_select [--rows N] [--wide-bytes N]   (the server comes from the QUARVEL_TEST_* variables)

#include "bench/BenchSupport.h"
#include "db/Connection.h"
#include "db/ConnectionState.h"
#include "db/Statement.h"
#include "engine/PushdownRun.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>

using namespace quarvel;
using namespace quarvel::bench;

namespace {

const db::Table Wide{QStringLiteral("public"), QStringLiteral("select_wide")};

// A failure ends the benchmark; "Done." is told.
class Watching : public engine::RunObserver
{
public:
    Prompts& prompts() override { return shown; }
    HeadlessPrompts shown{"bench_select"};
};

// Blocks of the table and of its out-of-line storage touched so far, as the statistics have them once the
// run's sessions have ended and told them.
long long blocksTouched(db::Connection& connection)
{
    QThread::msleep(1500);
    const std::shared_ptr<db::ConnectionState> state = connection.state().shared_from_this();
    db::Statement(state).executeDirect(QStringLiteral("SELECT pg_catalog.pg_stat_clear_snapshot()"));
    db::Statement blocks(state);
    blocks.prepare(QStringLiteral(
        "SELECT (heap_blks_read + heap_blks_hit + coalesce(toast_blks_read, 0) + coalesce(toast_blks_hit, 0))"
        "::text FROM pg_catalog.pg_statio_user_tables WHERE relid = CAST(? AS pg_catalog.regclass)"));
    blocks.execute({Wide.qualifiedName()});
    const long long touched = blocks.fetch() ? blocks.text(1).value_or(QString()).toLongLong() : 0;
    blocks.closeCursor();
    return touched;
}

struct Figure
{
    double seconds = 1e30;
    long long bytes = 0;
};

// One run of the server engine: every column, or all but the wide one.
void run(db::Connection& connection, bool withWide, const QString& find, const QString& replacement,
         Figure& figure)
{
    engine::RunRequestBuilder request;
    request.connection(connectionString()).singlePair(find, replacement).onServer(true);
    if (withWide)
        request.table(Wide, Wide.displayName());
    else
        request.table(Wide, Wide.displayName(), {QStringLiteral("id"), QStringLiteral("s")});
    const long long before = blocksTouched(connection);
    Watching watching;
    const Measurement measured = measure([&] {
        engine::PushdownRun().run(request.build(), watching);
        return 0LL;
    });
    if (!watching.shown.done) {
        std::fprintf(stderr, "bench_select: the run did not end with \"Done.\"\n");
        std::exit(1);
    }
    figure.seconds = std::min(figure.seconds, measured.seconds);
    figure.bytes = (blocksTouched(connection) - before) * 8192;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption rowsOption(QStringLiteral("rows"), QStringLiteral("Rows in the table."),
                                        QStringLiteral("N"), QStringLiteral("200000"));
    const QCommandLineOption wideOption(QStringLiteral("wide-bytes"),
                                        QStringLiteral("Bytes of the wide column per row."),
                                        QStringLiteral("N"), QStringLiteral("4000"));
    parser.addOptions({rowsOption, wideOption});
    parser.process(app);
    const long long rows = numberValue(parser, rowsOption);
    const long long wideBytes = numberValue(parser, wideOption);
    if (!serverGiven("select"))
        return 2;
    QTemporaryDir temp; // the replacement log goes there
    qputenv("TEMP", temp.path().toLocal8Bit());
    if (!psql(QStringLiteral(
                  "DROP TABLE IF EXISTS %1; CREATE TABLE %1 (id int PRIMARY KEY, s text, wide text); "
                  "ALTER TABLE %1 ALTER wide SET STORAGE EXTERNAL; INSERT INTO %1 SELECT g, CASE WHEN "
                  "g % 10 = 0 THEN 'an old note' ELSE 'a note' END, repeat(md5(g::text), %2) FROM "
                  "generate_series(1, %3) g; VACUUM ANALYZE %1")
                  .arg(Wide.qualifiedName())
                  .arg(qMax(1LL, wideBytes / 32))
                  .arg(rows),
              false)) {
        std::fprintf(stderr, "bench_select: the table could not be made\n");
        return 1;
    }
    try {
        db::Connection connection;
        connection.open(connectionString());
        Figure all;
        Figure without;
        for (int repeat = 0; repeat < 2; ++repeat) {
            run(connection, true, QStringLiteral("old"), QStringLiteral("new"), all);
            run(connection, false, QStringLiteral("new"), QStringLiteral("old"), without);
        }
        std::printf("rows: %lld\nwide_bytes_per_row: %lld\n", rows, qMax(1LL, wideBytes / 32) * 32);
        std::printf("select_bytes_touched_all_columns: %lld\n", all.bytes);
        std::printf("select_bytes_touched_without_wide: %lld\n", without.bytes);
        print("select_ratio_bytes_without_vs_all", double(without.bytes) / double(qMax(1LL, all.bytes)));
        print("select_seconds_all_columns", all.seconds);
        print("select_seconds_without_wide", without.seconds);
        print("select_ratio_time_without_vs_all", without.seconds / all.seconds);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_select: %s\n", error.what());
        return 1;
    }
    return 0;
}
