#include "bench/BenchSupport.h"

#include "db/Database.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace quarvel::bench {

QString env(const char* name)
{
    return qEnvironmentVariable(name);
}

bool serverGiven(const char* benchmark)
{
    if (!env("QUARVEL_TEST_SERVER").isEmpty())
        return true;
    std::fprintf(stderr, "bench_%s: QUARVEL_TEST_* are unset; run it through scripts/bench %s\n", benchmark,
                 benchmark);
    return false;
}

QString connectionString()
{
    return db::BuildConnectionString({env("QUARVEL_TEST_SERVER"), env("QUARVEL_TEST_PORT"),
                                      env("QUARVEL_TEST_USER"), env("QUARVEL_TEST_PASSWORD"),
                                      env("QUARVEL_TEST_DATABASE")});
}

long long statusKb(const char* field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray key = QByteArray(field) + ':';
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

long long resetPeak()
{
#ifdef __GLIBC__
    malloc_trim(0);
#endif
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
    return statusKb("VmRSS");
}

Measurement measure(const std::function<long long()>& body)
{
    const long long before = resetPeak();
    QElapsedTimer timer;
    timer.start();
    Measurement m;
    m.rows = body();
    m.seconds = double(timer.nsecsElapsed()) / 1e9;
    const long long peak = statusKb("VmHWM");
    m.peakMb = peak < 0 || before < 0 ? -1 : double(peak - before) / 1024.0;
    return m;
}

Measurement best(int repeat, const std::function<long long()>& body)
{
    Measurement result = measure(body);
    for (int i = 1; i < repeat; ++i) {
        const Measurement next = measure(body);
        if (next.seconds < result.seconds)
            result.seconds = next.seconds;
        result.peakMb = std::max(result.peakMb, next.peakMb);
    }
    return result;
}

void print(const char* name, double value)
{
    std::printf("%s: %.3f\n", name, value);
}

long long numberValue(const QCommandLineParser& parser, const QCommandLineOption& option)
{
    bool ok = false;
    const long long value = parser.value(option).toLongLong(&ok);
    if (!ok || value < 0) {
        std::fprintf(stderr, "--%s takes a whole number\n%s", qPrintable(option.names().constFirst()),
                     qPrintable(parser.helpText()));
        std::exit(2);
    }
    return value;
}

bool psql(const QString& sql, bool admin, double* seconds)
{
    QStringList arguments{QStringLiteral("-X"), QStringLiteral("-q"),
                          QStringLiteral("-v"), QStringLiteral("ON_ERROR_STOP=1"),
                          QStringLiteral("-h"), env("QUARVEL_TEST_SERVER"),
                          QStringLiteral("-p"), env("QUARVEL_TEST_PORT"),
                          QStringLiteral("-U"), env(admin ? "QUARVEL_TEST_ADMIN_USER" : "QUARVEL_TEST_USER"),
                          QStringLiteral("-d"), env("QUARVEL_TEST_DATABASE")};
    // One -c a statement: ALTER SYSTEM refuses to run inside the transaction of a single -c.
    for (const QString& statement : sql.split(QStringLiteral("; ")))
        arguments << QStringLiteral("-c") << statement;
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PGPASSWORD"),
                       env(admin ? "QUARVEL_TEST_ADMIN_PASSWORD" : "QUARVEL_TEST_PASSWORD"));
    process.setProcessEnvironment(environment);
    process.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer timer;
    timer.start();
    process.start(QStringLiteral("psql"), arguments);
    const bool ok = process.waitForFinished(600000) && process.exitCode() == 0;
    if (seconds)
        *seconds = double(timer.nsecsElapsed()) / 1e9;
    return ok;
}

bool setDurable(bool on)
{
    if (env("QUARVEL_TEST_ADMIN_USER").isEmpty())
        return false;
    if (on)
        return psql(QStringLiteral("ALTER SYSTEM SET fsync = on; ALTER SYSTEM SET synchronous_commit = on; "
                                   "ALTER SYSTEM SET full_page_writes = on; SELECT pg_reload_conf()"),
                    true);
    return psql(QStringLiteral("ALTER SYSTEM RESET fsync; ALTER SYSTEM RESET synchronous_commit; "
                               "ALTER SYSTEM RESET full_page_writes; SELECT pg_reload_conf()"),
                true);
}

void HeadlessPrompts::errorReport(const QString& text)
{
    std::fprintf(stderr, "%s: the run reported:\n%s\n", m_bench, qPrintable(text));
    std::exit(1);
}

} // namespace quarvel::bench
