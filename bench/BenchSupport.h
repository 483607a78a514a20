#pragma once
// What the benchmarks share: the server from the QUARVEL_TEST_* variables, memory figures from the
// process's own accounting, timing, and the "name: value" output.

#include "core/Prompts.h"

#include <QCommandLineParser>
#include <QString>

#include <functional>

namespace quarvel::bench {

QString env(const char* name);

// Whether scripts/bench started a server for the benchmark named (fetch, run, ...); where not, says so.
bool serverGiven(const char* benchmark);

// The connection string of the server that scripts/bench started.
QString connectionString();

// A figure from /proc/self/status, in kB; -1 where there is none (not Linux).
long long statusKb(const char* field);

// Gives freed memory back and resets the high-water mark to the present size, so that the next peak
// belongs to the next measurement alone. Returns the present resident size in kB.
long long resetPeak();

struct Measurement
{
    double seconds = 0;
    long long rows = 0;
    double peakMb = 0;
};

// Times the body; its result is the number of rows it handled.
Measurement measure(const std::function<long long()>& body);
// The fastest of repeat runs, with the largest peak.
Measurement best(int repeat, const std::function<long long()>& body);

void print(const char* name, double value);

// The prompts of a run no one watches: a failure ends the benchmark (named in the message), "Done." is
// counted.
class HeadlessPrompts : public Prompts
{
public:
    explicit HeadlessPrompts(const char* bench) : m_bench(bench) {}
    void message(const QString& text) override { done = text == QStringLiteral("Done."); }
    bool askYesNo(const QString&) override { return false; }
    QString input(const QString&, const QString&) override { return {}; }
    QString saveFileName(const FileDialogRequest&) override { return {}; }
    QString openFileName(const FileDialogRequest&) override { return {}; }
    void errorReport(const QString& text) override;
    bool done = false;

private:
    const char* m_bench;
};

// The whole number an option was given (or its default); a value that is not one ends the program
// with the usage text and exit status 2.
long long numberValue(const QCommandLineParser& parser, const QCommandLineOption& option);

// psql as the bench's role (or its superuser): the server's own COPY, and settings only a superuser
// may change. Also timed when seconds is given.
bool psql(const QString& sql, bool admin, double* seconds = nullptr);

// The server with fsync, synchronous commit and full page writes on, as in production (or back to the
// throwaway cluster's own settings); false where there is no superuser to do it. New sessions take it.
bool setDurable(bool on);

} // namespace quarvel::bench
