// How fast the record set reads a whole table, against the driver's own fetch of the same statement and
// a COPY of the table, measured in one run on the same server. Prints one "name: value" a line.
//
// Usage: bench_fetch [--rows N] [--repeat R]   (the server comes from the QUARVEL_TEST_* variables)

#include "bench/BenchSupport.h"
#include "db/Connection.h"
#include "db/ConnectionState.h"
#include "db/Database.h"
#include "db/RecordSet.h"
#include "db/Statement.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

using namespace quarvel;
using namespace quarvel::db;
using namespace quarvel::bench;

namespace {
const QString BenchTable = QStringLiteral("quarvel_bench_fetch");

QProcess* startPsql(const QString& command)
{
    auto* psql = new QProcess;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PGPASSWORD"), env("QUARVEL_TEST_PASSWORD"));
    psql->setProcessEnvironment(environment);
    psql->setStandardOutputFile(QProcess::nullDevice());
    psql->start(QStringLiteral("psql"),
                {"-X", "-q", "-v", "ON_ERROR_STOP=1", "-h", env("QUARVEL_TEST_SERVER"), "-p",
                 env("QUARVEL_TEST_PORT"), "-U", env("QUARVEL_TEST_USER"), "-d", env("QUARVEL_TEST_DATABASE"),
                 "-c", command});
    return psql;
}

double timePsql(const QString& command)
{
    QElapsedTimer timer;
    timer.start();
    std::unique_ptr<QProcess> psql(startPsql(command));
    if (!psql->waitForFinished(600000) || psql->exitCode() != 0) {
        std::fprintf(stderr, "bench_fetch: psql failed: %s\n", psql->readAllStandardError().constData());
        std::exit(1);
    }
    return double(timer.nsecsElapsed()) / 1e9;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Reading a table: the record set against the driver alone."));
    parser.addHelpOption();
    const QCommandLineOption rowsOption(QStringLiteral("rows"), QStringLiteral("Rows in the table."),
                                        QStringLiteral("N"), QStringLiteral("200000"));
    const QCommandLineOption repeatOption(QStringLiteral("repeat"), QStringLiteral("Runs of each reading."),
                                          QStringLiteral("R"), QStringLiteral("3"));
    parser.addOptions({rowsOption, repeatOption});
    parser.process(app);
    const long long rows = numberValue(parser, rowsOption);
    const int repeat = int(std::max(1LL, numberValue(parser, repeatOption)));
    if (!serverGiven("fetch"))
        return 2;
    const QString connectionString = bench::connectionString();
    const Table table{QStringLiteral("public"), BenchTable};

    try {
        Connection connection;
        connection.open(connectionString);
        const std::shared_ptr<db::ConnectionState> handle = connection.state().shared_from_this();
        {
            // Five text columns of about 30 characters, made on the server in one statement.
            Statement create(handle);
            create.executeDirect(QStringLiteral("DROP TABLE IF EXISTS ") + table.qualifiedName());
            create.executeDirect(QStringLiteral("CREATE TABLE ") + table.qualifiedName() +
                                 QStringLiteral(" (c1 text, c2 text, c3 text, c4 text, c5 text)"));
            Statement fill(handle);
            fill.prepare(QStringLiteral("INSERT INTO ") + table.qualifiedName() +
                         QStringLiteral(" SELECT left(md5(g::text), 30), left(md5((g + 1)::text), 30), "
                                        "left(md5((g + 2)::text), 30), left(md5((g + 3)::text), 30), "
                                        "left(md5((g + 4)::text), 30) "
                                        "FROM generate_series(1, CAST(? AS integer)) g"));
            fill.execute({QString::number(rows)});
            create.executeDirect(QStringLiteral("VACUUM ANALYZE ") + table.qualifiedName());
        }

        QString source;
        const Measurement recordSet = best(repeat, [&] {
            RecordSet records;
            records.open(table, connection, LockType::Optimistic);
            source = records.source();
            const int fields = records.fieldCount();
            long long seen = 0;
            qsizetype characters = 0;
            while (!records.isEOF()) {
                for (int j = 0; j < fields; ++j)
                    characters += records.value(j).value_or(QString()).size();
                ++seen;
                records.moveNext();
            }
            records.close();
            return characters > 0 ? seen : 0;
        });

        const Measurement driver = best(repeat, [&] {
            // The same statement on raw handles: SQLExecDirect, then SQLFetch and SQLGetData per value.
            StatementHandle statement = StatementHandle::allocate(handle->openHandle());
            statement.check(SQLExecDirectW(statement.get(), const_cast<SQLWCHAR*>(odbcText(source)), SQL_NTS),
                            "SQLExecDirect");
            SQLSMALLINT columns = 0;
            SQLNumResultCols(statement.get(), &columns);
            std::vector<SQLWCHAR> buffer(4096);
            long long seen = 0;
            SQLRETURN result;
            while ((result = SQLFetch(statement.get())) != SQL_NO_DATA) {
                statement.check(result, "SQLFetch");
                for (SQLUSMALLINT c = 1; c <= SQLUSMALLINT(columns); ++c) {
                    SQLLEN indicator = 0;
                    statement.check(SQLGetData(statement.get(), c, SQL_C_WCHAR, buffer.data(),
                                               SQLLEN(buffer.size() * sizeof(SQLWCHAR)), &indicator),
                                    "SQLGetData");
                }
                ++seen;
            }
            return seen;
        });

        const double psqlStartup = std::min(timePsql(QStringLiteral("SELECT 1")), timePsql("SELECT 1"));
        double copyGross = 0;
        for (int i = 0; i < repeat; ++i) {
            const double t =
                timePsql(QStringLiteral("COPY ") + table.qualifiedName() + QStringLiteral(" TO STDOUT"));
            copyGross = i == 0 ? t : std::min(copyGross, t);
        }
        const double copySeconds = std::max(copyGross - psqlStartup, 1e-6);

        Statement drop(handle);
        drop.executeDirect(QStringLiteral("DROP TABLE ") + table.qualifiedName());

        if (recordSet.rows != rows || driver.rows != rows) {
            std::fprintf(stderr, "bench_fetch: read %lld and %lld rows of %lld\n", recordSet.rows,
                         driver.rows, rows);
            return 1;
        }
        std::printf("rows: %lld\n", rows);
        std::printf("repeat: %d\n", repeat);
        print("recordset_s", recordSet.seconds);
        print("driver_s", driver.seconds);
        print("copy_s", copySeconds);
        print("copy_psql_startup_s", psqlStartup);
        print("recordset_rows_per_s", double(rows) / recordSet.seconds);
        print("driver_rows_per_s", double(rows) / driver.seconds);
        print("copy_rows_per_s", double(rows) / copySeconds);
        print("ratio_recordset_vs_copy", recordSet.seconds / copySeconds);
        print("ratio_recordset_vs_driver", recordSet.seconds / driver.seconds);
        print("recordset_peak_mb", recordSet.peakMb);
        print("driver_peak_mb", driver.peakMb);
    } catch (const DbError& error) {
        std::fprintf(stderr, "bench_fetch: %s (SQLSTATE %s)\n", error.what(), qPrintable(error.sqlState()));
        return 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_fetch: %s\n", error.what());
        return 1;
    }
    return 0;
}
