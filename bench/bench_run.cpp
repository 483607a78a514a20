// The replacement run on a table of N rows x 5 text columns with 10% of the rows matching, against the
// same change made by one server-side UPDATE per column on an identical copy, in one run on one server.
// The run's time is split into shares by measuring its parts on their own: the record set's read, the
// event processing (timed inside the run), matching and replacing in memory, and storing (a walk that
// sets and stores the same changes, less the read and the matching). Prints one "name: value" a line.
//
// Also: a run where nothing matches against the server's own COPY of the table (scan_ratio_vs_copy), the
// run and the UPDATE again with fsync and synchronous commit on (ratio_run_vs_server_durable), and the
// peak memory of a run over --large-rows rows against the first run's (run_peak_mb_1m). The same run
// with its journal against the run without (journal_overhead, also durable), and the undo of the
// journaled run (undo_s, ratio_undo_vs_run, undo_peak_mb), checked to give the table back as it was. The
// peak memory of undos that must not grow with what the run changed: of a run that changed one field in
// each of --undo-records rows (undo_peak_mb_large), of one that changed every field of --wide-rows rows of
// --wide-columns text columns (undo_peak_mb_wide), and of one that changed a value of --value-mb megabytes
// (undo_peak_mb_value, and ratio_undo_peak_vs_value against the value's size as text in memory).
//
// Usage: bench_run [--rows N] [--large-rows N] [--undo-records N] [--wide-rows N] [--wide-columns N]
//                  [--value-mb N]   (the server comes from the QUARVEL_TEST_* variables; 0 for a size
//                  leaves its table out)

#include "bench/BenchSupport.h"
#include "bench/BenchTables.h"
#include "db/Connection.h"
#include "db/ConnectionState.h"
#include "db/RecordSet.h"
#include "db/Statement.h"
#include "engine/Replace.h"
#include "engine/ReplaceRun.h"
#include "engine/ReplacementLog.h"
#include "engine/Undo.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace quarvel;
using namespace quarvel::bench;

namespace {

const QString Find = QStringLiteral("needle");
const QString Replacement = QStringLiteral("pin");
const QStringList Columns = {"c1", "c2", "c3", "c4", "c5"};

db::Table benchTable(const QString& name)
{
    return {QStringLiteral("public"), name};
}

// The Main window as the run sees it, without a window: one ticked table, the first tab, and events
// processed (and timed) once per field.
class HeadlessHost : public engine::RunHost
{
public:
    explicit HeadlessHost(db::Table table, QString find = Find)
        : m_table(std::move(table)), m_find(std::move(find))
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
    void processEvents() override
    {
        m_timer.start();
        QCoreApplication::processEvents();
        eventsNs += m_timer.nsecsElapsed();
        ++eventCalls;
    }
    void setPointerMode(PointerMode) override {}
    Prompts& prompts() override { return shown; }
    engine::Journal* journal() override { return journaling; }

    HeadlessPrompts shown{"bench_run"};
    engine::Journal* journaling = nullptr;
    qint64 eventsNs = 0;
    long long eventCalls = 0;

private:
    db::Table m_table;
    QString m_find;
    QElapsedTimer m_timer;
};

// A whole run over one table; exits when it does not end with "Done.".
Measurement runTable(const db::Table& table, const QString& find, long long rows,
                     engine::Journal* journal = nullptr)
{
    HeadlessHost host(table, find);
    host.journaling = journal;
    const Measurement run = measure([&] {
        engine::ReplaceRun().PushButton1_Click(host);
        return rows;
    });
    if (!host.shown.done) {
        std::fprintf(stderr, "bench_run: the run did not end with \"Done.\"\n");
        std::exit(1);
    }
    return run;
}

// Rows of columns text columns (w1, w2, ...), every value the find text, the first followed by its row's
// number: short enough that a thousand columns fit in a row.
void createWideTable(const std::shared_ptr<db::ConnectionState>& handle, const db::Table& table,
                     long long rows, long long columns, const QString& find)
{
    QStringList definitions;
    QStringList values{QStringLiteral("p.find || g::text")};
    for (long long i = 1; i <= columns; ++i) {
        definitions << db::quoteIdentifier(QStringLiteral("w") + QString::number(i)) +
                           QStringLiteral(" text");
        if (i > 1)
            values << QStringLiteral("p.find");
    }
    db::Statement create(handle);
    create.executeDirect(QStringLiteral("DROP TABLE IF EXISTS ") + table.qualifiedName());
    create.executeDirect(QStringLiteral("CREATE TABLE ") + table.qualifiedName() + QStringLiteral(" (") +
                         definitions.join(QStringLiteral(", ")) + u')');
    db::Statement fill(handle);
    fill.prepare(QStringLiteral("INSERT INTO ") + table.qualifiedName() + QStringLiteral(" SELECT ") +
                 values.join(QStringLiteral(", ")) +
                 QStringLiteral(" FROM generate_series(1, CAST(? AS integer)) g, "
                                "(SELECT CAST(? AS text) AS find) p"));
    fill.execute({QString::number(rows), find});
}

// One row whose one text column holds the find text and megabytes of other text after it.
void createValueTable(const std::shared_ptr<db::ConnectionState>& handle, const db::Table& table,
                      long long megabytes, const QString& find)
{
    db::Statement create(handle);
    create.executeDirect(QStringLiteral("DROP TABLE IF EXISTS ") + table.qualifiedName());
    create.executeDirect(QStringLiteral("CREATE TABLE ") + table.qualifiedName() +
                         QStringLiteral(" (v text)"));
    db::Statement fill(handle);
    fill.prepare(QStringLiteral("INSERT INTO ") + table.qualifiedName() +
                 QStringLiteral(" SELECT CAST(? AS text) || repeat('x', CAST(? AS integer) * 1048576)"));
    fill.execute({find, QString::number(megabytes)});
}

// A journaled run over a copy of base, then its undo, measured; exits unless the undo puts every record
// back and gives base's rows back.
Measurement measuredUndo(const std::shared_ptr<db::ConnectionState>& handle, const db::Table& base,
                         engine::Journal& journal)
{
    const db::Table table = benchTable(base.name + QStringLiteral("_undone"));
    copyTable(handle, base, table);
    runTable(table, Find, 0, &journal);
    const qint64 id = journal.newestRun();
    engine::UndoReport undone;
    const Measurement undo = measure([&] {
        undone = engine::undoRun(journal, id, bench::connectionString());
        return undone.restored;
    });
    if (undone.restored == 0 || undone.restored != journal.run(id).records || !undone.listed.isEmpty() ||
        !sameRows(handle, table, base)) {
        std::fprintf(stderr, "bench_run: the undo of %s did not give the table back as it was\n",
                     qPrintable(base.name));
        std::exit(1);
    }
    db::Statement drop(handle);
    for (const db::Table& t : {table, base})
        drop.executeDirect(QStringLiteral("DROP TABLE ") + t.qualifiedName());
    return undo;
}

struct UndoSizes
{
    long long records = 0;
    long long wideRows = 0;
    long long wideColumns = 0;
    long long valueMb = 0;
};

// The peak memory of the undos of UndoSizes, each printed; a size of 0 leaves its undo out.
void printUndoPeaks(const std::shared_ptr<db::ConnectionState>& handle, engine::Journal& journal,
                    const UndoSizes& sizes)
{
    if (sizes.records > 0) {
        const db::Table base = benchTable("quarvel_bench_undo_records");
        createTable(handle, base, sizes.records, Find, 1);
        const Measurement undo = measuredUndo(handle, base, journal);
        std::printf("undo_records_large: %lld\n", undo.rows);
        print("undo_s_large", undo.seconds);
        print("undo_peak_mb_large", undo.peakMb);
    }
    if (sizes.wideRows > 0 && sizes.wideColumns > 0) {
        const db::Table base = benchTable("quarvel_bench_undo_wide");
        createWideTable(handle, base, sizes.wideRows, sizes.wideColumns, Find);
        const Measurement undo = measuredUndo(handle, base, journal);
        std::printf("undo_wide_rows: %lld\nundo_wide_columns: %lld\n", sizes.wideRows, sizes.wideColumns);
        print("undo_s_wide", undo.seconds);
        print("undo_peak_mb_wide", undo.peakMb);
    }
    if (sizes.valueMb > 0) {
        const db::Table base = benchTable("quarvel_bench_undo_value");
        createValueTable(handle, base, sizes.valueMb, Find);
        const Measurement undo = measuredUndo(handle, base, journal);
        std::printf("undo_value_mb: %lld\n", sizes.valueMb);
        print("undo_peak_mb_value", undo.peakMb);
        // A text in memory takes two bytes a character.
        print("ratio_undo_peak_vs_value", undo.peakMb / double(2 * sizes.valueMb));
    }
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("The replacement run against the server's own UPDATE."));
    parser.addHelpOption();
    const QCommandLineOption rowsOption(QStringLiteral("rows"), QStringLiteral("Rows in the table."),
                                        QStringLiteral("N"), QStringLiteral("200000"));
    const QCommandLineOption largeOption(
        QStringLiteral("large-rows"),
        QStringLiteral("Rows of the table for the peak memory figure (0: none)."), QStringLiteral("N"),
        QStringLiteral("1000000"));
    const QCommandLineOption undoRecordsOption(
        QStringLiteral("undo-records"),
        QStringLiteral("Records of the run whose undo's peak memory is measured (0: none)."),
        QStringLiteral("N"), QStringLiteral("250000"));
    const QCommandLineOption wideRowsOption(
        QStringLiteral("wide-rows"),
        QStringLiteral("Rows of the wide table whose undo is measured (0: none)."), QStringLiteral("N"),
        QStringLiteral("3000"));
    const QCommandLineOption wideColumnsOption(QStringLiteral("wide-columns"),
                                               QStringLiteral("Text columns of the wide table, all changed."),
                                               QStringLiteral("N"), QStringLiteral("200"));
    const QCommandLineOption valueOption(
        QStringLiteral("value-mb"),
        QStringLiteral("Megabytes of the one value whose undo is measured (0: none)."), QStringLiteral("N"),
        QStringLiteral("50"));
    parser.addOptions(
        {rowsOption, largeOption, undoRecordsOption, wideRowsOption, wideColumnsOption, valueOption});
    parser.process(app);
    const long long rows = numberValue(parser, rowsOption);
    const long long largeRows = numberValue(parser, largeOption);
    const UndoSizes undoSizes{numberValue(parser, undoRecordsOption), numberValue(parser, wideRowsOption),
                              numberValue(parser, wideColumnsOption), numberValue(parser, valueOption)};
    if (!serverGiven("run"))
        return 2;
    QTemporaryDir logFolder;
    qputenv("TEMP", logFolder.path().toLocal8Bit());

    try {
        db::Connection connection;
        connection.open(bench::connectionString());
        const std::shared_ptr<db::ConnectionState> handle = connection.state().shared_from_this();
        const db::Table base = benchTable("quarvel_bench_run_base");
        const db::Table ran = benchTable("quarvel_bench_run");
        const db::Table server = benchTable("quarvel_bench_run_server");
        const db::Table walked = benchTable("quarvel_bench_run_walk");
        createTable(handle, base, rows, Find);
        for (const db::Table& t : {ran, server, walked})
            copyTable(handle, base, t);
        db::Statement(handle).executeDirect(QStringLiteral("VACUUM ANALYZE"));

        // The run itself, and the same change on the server; then the run with its journal, and its undo.
        const db::Table journaled = benchTable("quarvel_bench_run_journal");
        copyTable(handle, base, journaled);
        engine::Journal journal(logFolder.filePath(QStringLiteral("journal.sqlite3")));
        const Measurement run = runTable(ran, Find, rows);
        const Measurement journaledRun = runTable(journaled, Find, rows, &journal);
        const qint64 journalRun = journal.newestRun();
        engine::UndoReport undone;
        const Measurement undo = measure([&] {
            undone = engine::undoRun(journal, journalRun, bench::connectionString());
            return undone.restored;
        });
        const double undoSeconds = undo.seconds;
        if (undone.restored != journal.run(journalRun).records || !undone.listed.isEmpty() ||
            !sameRows(handle, journaled, base)) {
            std::fprintf(stderr, "bench_run: the undo did not give the table back as it was\n");
            return 1;
        }
        const double serverSeconds = serverUpdateSeconds(handle, server, Find, Replacement);
        HeadlessHost host(ran); // the events of a run on their own, measured below

        // Both ways must have made the same change.
        if (!sameRows(handle, ran, server)) {
            std::fprintf(stderr, "bench_run: the run and the server's UPDATE disagree\n");
            return 1;
        }

        // The parts of the run, each on its own.
        std::vector<QString> values;
        values.reserve(size_t(rows) * 5);
        const double readSeconds = secondsOf([&] {
            db::RecordSet records;
            records.open(base, connection);
            const int fields = records.fieldCount();
            while (!records.isEOF()) {
                for (int j = 0; j < fields; ++j)
                    values.push_back(records.value(j).value_or(QString()));
                records.moveNext();
            }
        });
        long long matches = 0;
        const double matchSeconds = secondsOf([&] {
            for (const QString& value : values)
                if (engine::matches(value, Find)) {
                    ++matches;
                    if (engine::replaceAndTrim(value, Find, Replacement).isEmpty())
                        std::fprintf(stderr, "unexpected empty value\n");
                }
        });
        values.clear();
        values.shrink_to_fit();
        db::RecordSet::StoreCounts walkCounts;
        const double walkSeconds = secondsOf([&] {
            db::RecordSet records;
            records.setBatchSize(db::RecordSet::DefaultBatchRows);
            records.open(walked, connection);
            const int fields = records.fieldCount();
            while (!records.isEOF()) {
                for (int j = 0; j < fields; ++j) {
                    const std::optional<QString> value = records.value(j);
                    if (engine::matches(value, Find))
                        records.setValue(j, engine::replaceAndTrim(*value, Find, Replacement));
                }
                records.moveNext();
            }
            records.flush();
            walkCounts = records.storeCounts();
        });
        QFile::remove(engine::logFilePath());
        const double logSeconds = secondsOf([&] {
            for (long long i = 0; i < matches; ++i)
                engine::AppendLogLine(engine::logLine(QDateTime::currentDateTime(), Find, Replacement,
                                                      ran.displayName(), QStringLiteral("c3")));
        });
        const double storeSeconds = std::max(0.0, walkSeconds - readSeconds - matchSeconds);
        // Events once per field, as the run lets the window process them.
        for (long long i = 0; i < rows * qsizetype(Columns.size()); ++i)
            host.processEvents();
        const double eventsSeconds = double(host.eventsNs) / 1e9;

        // A run where nothing matches against the server's own COPY of the table: the cost of the walk.
        double copySeconds = 0;
        const bool copied =
            psql(QStringLiteral("COPY ") + walked.qualifiedName() + QStringLiteral(" TO STDOUT"), false,
                 &copySeconds);
        const Measurement scan = runTable(walked, QStringLiteral("no such text anywhere"), rows);

        // With a durable server, as in production: fsync and synchronous commit on.
        double durableRatio = -1;
        double durableJournalOverhead = -1;
        if (!env("QUARVEL_TEST_ADMIN_USER").isEmpty() && setDurable(true)) {
            copyTable(handle, base, ran);
            copyTable(handle, base, server);
            psql(QStringLiteral("CHECKPOINT"), true);
            db::Connection durable; // a new session takes the reloaded settings
            durable.open(bench::connectionString());
            const Measurement durableRun = runTable(ran, Find, rows);
            const double durableServer =
                serverUpdateSeconds(durable.state().shared_from_this(), server, Find, Replacement);
            durableRatio = durableRun.seconds / durableServer;
            copyTable(handle, base, journaled);
            psql(QStringLiteral("CHECKPOINT"), true);
            durableJournalOverhead = runTable(journaled, Find, rows, &journal).seconds / durableRun.seconds;
            setDurable(false);
        }

        // Memory of a run over a much larger table, against the run above.
        double largePeakMb = -1;
        if (largeRows > 0) {
            const db::Table large = benchTable("quarvel_bench_run_large");
            createTable(handle, large, largeRows, Find);
            db::Statement(handle).executeDirect(QStringLiteral("VACUUM ANALYZE ") + large.qualifiedName());
            largePeakMb = runTable(large, Find, largeRows).peakMb;
            db::Statement(handle).executeDirect(QStringLiteral("DROP TABLE ") + large.qualifiedName());
        }

        {
            db::Statement drop(handle);
            for (const db::Table& t : {base, ran, server, walked, journaled})
                drop.executeDirect(QStringLiteral("DROP TABLE ") + t.qualifiedName());
        }

        std::printf("rows: %lld\n", rows);
        std::printf("matching_rows: %lld\n", matches);
        std::printf("event_calls: %lld\n", host.eventCalls);
        print("run_s", run.seconds);
        print("server_update_s", serverSeconds);
        print("ratio_run_vs_server", run.seconds / serverSeconds);
        print("read_share", readSeconds / run.seconds);
        print("events_share", eventsSeconds / run.seconds);
        print("match_share", matchSeconds / run.seconds);
        print("store_share", storeSeconds / run.seconds);
        print("log_share", logSeconds / run.seconds);
        // What the parts measured on their own do not explain: the run's own steps, connecting, progress.
        print("other_share", std::max(0.0, run.seconds - readSeconds - eventsSeconds - matchSeconds -
                                               storeSeconds - logSeconds) /
                                 run.seconds);
        print("run_rows_per_s", double(rows) / run.seconds);
        print("journaled_run_s", journaledRun.seconds);
        print("journal_overhead", journaledRun.seconds / run.seconds);
        print("undo_s", undoSeconds);
        print("ratio_undo_vs_run", undoSeconds / journaledRun.seconds);
        print("undo_peak_mb", undo.peakMb);
        print("run_peak_mb", run.peakMb);
        if (copied)
            print("scan_ratio_vs_copy", scan.seconds / copySeconds);
        if (durableRatio > 0)
            print("ratio_run_vs_server_durable", durableRatio);
        if (durableJournalOverhead > 0)
            print("journal_overhead_durable", durableJournalOverhead);
        if (largePeakMb >= 0) {
            std::printf("large_rows: %lld\n", largeRows);
            print("run_peak_mb_1m", largePeakMb);
            print("ratio_peak_large_vs_rows", largePeakMb / run.peakMb);
        }
        std::printf("store_batches: %lld\n", walkCounts.batches);
        std::printf("store_rows_alone: %lld\n", walkCounts.rowsAlone);
        std::fflush(stdout);
        printUndoPeaks(handle, journal, undoSizes);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_run: %s\n", error.what());
        return 1;
    }
    return 0;
}
