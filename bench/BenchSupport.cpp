#include "bench/BenchSupport.h"

#include "db/Database.h"

#include <QElapsedTimer>
#include <QFile>

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

} // namespace quarvel::bench
