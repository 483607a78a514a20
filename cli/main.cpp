// quarvel-cli: the replacement run from the command line, for scripts and pipelines. The same engine,
// table list, set files and "backups.log" as the windows; no widget is linked.
#include "cli/CliRun.h"
#include "cli/CliSelection.h"
#include "cli/ConnectionOptions.h"
#include "core/DriverCheck.h"
#include "core/Identity.h"
#include "db/Connection.h"
#include "db/Database.h"
#include "db/DbError.h"
#include "engine/Preview.h"
#include "engine/ReplacementLog.h"
#include "engine/SetFiles.h"
#include "engine/Undo.h"
#include "settings/SettingsStore.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTextStream>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>

#ifndef Q_OS_WIN
#include <pwd.h>
#include <termios.h>
#include <unistd.h>
#endif

using namespace quarvel;

namespace {

// Exit statuses, as documented in the manual page.
enum Status : int {
    Done = 0,
    DoneWithFailures = 1,
    Usage = 2,
    CannotConnect = 3,
    Interrupted = 130,
};

std::atomic<bool> g_stop{false};

extern "C" void onInterrupt(int)
{
    // The first Ctrl-C ends the run after the record at hand; a second one ends the program at once.
    g_stop.store(true);
    std::signal(SIGINT, SIG_DFL);
}

// The default user name, as libpq takes it: the name the process runs as, not only what USER says
// (a service or a container may set no USER at all).
QString loginName()
{
#ifndef Q_OS_WIN
    if (const passwd* entry = getpwuid(geteuid()); entry && entry->pw_name)
        return QString::fromLocal8Bit(entry->pw_name);
#endif
    return qEnvironmentVariable("USER", qEnvironmentVariable("USERNAME"));
}

bool isTerminal(int fd)
{
#ifdef Q_OS_WIN
    (void)fd;
    return false;
#else
    return isatty(fd) != 0;
#endif
}

void printError(const QString& text)
{
    std::fputs(("quarvel-cli: " + text + '\n').toLocal8Bit().constData(), stderr);
}

// A line typed at the terminal, without echo for a password.
QString readLine(bool echo)
{
#ifndef Q_OS_WIN
    termios saved{};
    const bool quiet = !echo && tcgetattr(STDIN_FILENO, &saved) == 0;
    if (quiet) {
        termios silent = saved;
        silent.c_lflag &= ~tcflag_t(ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &silent);
    }
#else
    (void)echo;
#endif
    std::string line;
    std::getline(std::cin, line);
#ifndef Q_OS_WIN
    if (quiet) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::fputs("\n", stderr);
    }
#endif
    return QString::fromLocal8Bit(line.c_str());
}

struct Command
{
    QString name;
    QString summary;
};
const Command Commands[] = {
    {QStringLiteral("tables"),
     QStringLiteral("List the tables of the database as the Main window lists them.")},
    {QStringLiteral("preview"),
     QStringLiteral("Show what a run would change and what the columns would refuse, changing nothing.")},
    {QStringLiteral("run"), QStringLiteral("Replace text in the tables, as \"Start Replacing\" does.")},
    {QStringLiteral("runs"), QStringLiteral("List the runs of the journal, newest first.")},
    {QStringLiteral("undo"),
     QStringLiteral("Put back what run RUN changed, where the fields still hold what it stored.")},
};

QString generalHelp()
{
    QString text =
        QStringLiteral("Usage: quarvel-cli COMMAND [OPTIONS]\n\n"
                       "Find and replace text inside the data of a PostgreSQL database.\n\nCommands:\n");
    for (const Command& command : Commands)
        text += QStringLiteral("  %1  %2\n").arg(command.name.leftJustified(8), command.summary);
    text += QStringLiteral("\n\"quarvel-cli COMMAND --help\" shows the options of a command.\n");
    return text;
}

// The options every command takes: where to connect, and the output form.
void addCommonOptions(QCommandLineParser& parser)
{
    parser.addOptions({
        {{QStringLiteral("h"), QStringLiteral("host")},
         QStringLiteral("Database server host."),
         QStringLiteral("HOST")},
        {{QStringLiteral("p"), QStringLiteral("port")},
         QStringLiteral("Database server port."),
         QStringLiteral("PORT")},
        {{QStringLiteral("U"), QStringLiteral("username")},
         QStringLiteral("Database user name."),
         QStringLiteral("USER")},
        {{QStringLiteral("d"), QStringLiteral("dbname")},
         QStringLiteral("Database name, or a postgresql:// connection URI."),
         QStringLiteral("DBNAME")},
        {{QStringLiteral("w"), QStringLiteral("no-password")}, QStringLiteral("Never ask for a password.")},
        {{QStringLiteral("W"), QStringLiteral("password")},
         QStringLiteral("Ask for a password before connecting.")},
        {QStringLiteral("saved"), QStringLiteral("Connect with the details the Connection window saved.")},
        {QStringLiteral("json"), QStringLiteral("Print one JSON document on standard output.")},
        {QStringLiteral("journal"),
         QStringLiteral("The journal of runs to write and read (default: the one the windows use)."),
         QStringLiteral("FILE")},
        {{QStringLiteral("?"), QStringLiteral("help")}, QStringLiteral("Show this help and exit.")},
        {{QStringLiteral("V"), QStringLiteral("version")}, QStringLiteral("Show the version and exit.")},
    });
}

void addRunOptions(QCommandLineParser& parser)
{
    parser.addOptions({
        {QStringLiteral("find"), QStringLiteral("The text to find (exact case)."), QStringLiteral("TEXT")},
        {QStringLiteral("replace"), QStringLiteral("The text to put in its place."), QStringLiteral("TEXT")},
        {QStringLiteral("sets"),
         QStringLiteral("Replace with the sets in FILE, read as \"Load Sets\" reads them."),
         QStringLiteral("FILE")},
        {QStringLiteral("separator"), QStringLiteral("The separator of the sets file (default ::)."),
         QStringLiteral("SEP"), QStringLiteral("::")},
    });
}

void addWriteOptions(QCommandLineParser& parser)
{
    parser.addOption(
        {{QStringLiteral("y"), QStringLiteral("yes")}, QStringLiteral("Replace without asking.")});
}

void addPreviewOptions(QCommandLineParser& parser)
{
    parser.addOption({QStringLiteral("limit"), QStringLiteral("Samples shown per table (default 10)."),
                      QStringLiteral("N"), QStringLiteral("10")});
    parser.addOption(
        {QStringLiteral("color"),
         QStringLiteral("Colour the changes in the samples: auto (default: when standard output is "
                        "a terminal and NO_COLOR is not set), always or never."),
         QStringLiteral("WHEN"), QStringLiteral("auto")});
}

// As git decides: asked for, or left to whether a person is watching; NO_COLOR says no to the guess only.
bool colourWanted(const QCommandLineParser& parser)
{
    const QString when = parser.value(QStringLiteral("color"));
    if (when == u"always")
        return true;
    if (when == u"never")
        return false;
    if (when != u"auto")
        throw cli::UsageError("--color takes auto, always or never");
    return qEnvironmentVariable("NO_COLOR").isEmpty() && isTerminal(STDOUT_FILENO);
}

// The connection details the options, the URI, the environment and the password file give, asking
// for the password when nothing gives one and asking is allowed.
struct Connecting
{
    cli::ConnectionParts parts;
    bool mayAsk = false;
    bool askFirst = false;
};

// The journal file the options name, or the per-user one.
QString journalPath(const QCommandLineParser& parser)
{
    return parser.isSet(QStringLiteral("journal")) ? parser.value(QStringLiteral("journal"))
                                                   : engine::Journal::defaultPath();
}

// Every variable of the environment, where the details and the password file are looked up.
QMap<QString, QString> environmentMap()
{
    const QProcessEnvironment system = QProcessEnvironment::systemEnvironment();
    QMap<QString, QString> environment;
    const QStringList keys = system.keys();
    for (const QString& key : keys)
        environment.insert(key, system.value(key));
    return environment;
}

// The details the Connection window saved, password and all.
cli::ConnectionParts savedConnection()
{
    namespace Key = settings::Key;
    namespace Default = settings::Default;
    cli::ConnectionParts parts;
    parts.host =
        settings::GetSetting(QLatin1String(Key::PostgreSQLServer), QLatin1String(Default::PostgreSQLServer));
    parts.port =
        settings::GetSetting(QLatin1String(Key::PostgreSQLPort), QLatin1String(Default::PostgreSQLPort));
    parts.user = settings::GetSetting(QLatin1String(Key::PostgreSQLUser));
    parts.password = settings::GetSetting(QLatin1String(Key::PostgreSQLPassword));
    parts.dbname = settings::GetSetting(QLatin1String(Key::PostgreSQLDatabase));
    return parts;
}

// The details the options give. A URI given as --dbname, as psql takes it, goes to the front of
// `positional`, where the URIs are.
cli::ConnectionParts givenDetails(const QCommandLineParser& parser, QStringList& positional)
{
    cli::ConnectionParts given;
    const auto option = [&](const char* name) -> std::optional<QString> {
        if (!parser.isSet(QLatin1String(name)))
            return std::nullopt;
        return parser.value(QLatin1String(name));
    };
    given.host = option("host");
    given.port = option("port");
    given.user = option("username");
    given.dbname = option("dbname");
    if (given.dbname && (given.dbname->startsWith(QLatin1String("postgresql://")) ||
                         given.dbname->startsWith(QLatin1String("postgres://")))) {
        positional.prepend(*given.dbname);
        given.dbname.reset();
    }
    return given;
}

// A detail that neither the options nor the URI give comes from the database the run was made on.
void fillFromRun(cli::ConnectionParts& given, const cli::ConnectionParts& uri, const engine::RunPlace& made)
{
    const auto fill = [](std::optional<QString>& option, const std::optional<QString>& fromUri,
                         const QString& value) {
        if (!option && !fromUri && !value.isEmpty())
            option = value;
    };
    fill(given.host, uri.host, made.server);
    fill(given.port, uri.port, made.port);
    fill(given.user, uri.user, made.user);
    fill(given.dbname, uri.dbname, made.database);
}

// uriAt: where the optional URI is among the positional arguments. A detail that neither the options nor
// the URI give comes from `made` when given (the database a run was made on), before the environment.
Connecting connectionFrom(const QCommandLineParser& parser, int uriAt = 1,
                          const engine::RunPlace* made = nullptr)
{
    const QMap<QString, QString> environment = environmentMap();
    Connecting out;
    out.mayAsk = !parser.isSet(QStringLiteral("no-password")) && isTerminal(STDIN_FILENO);
    out.askFirst = parser.isSet(QStringLiteral("password"));
    if (parser.isSet(QStringLiteral("saved"))) {
        out.parts = savedConnection();
        return out;
    }

    QStringList positional = parser.positionalArguments().mid(uriAt);
    cli::ConnectionParts given = givenDetails(parser, positional);
    cli::ConnectionParts uri;
    if (positional.size() > 1)
        throw cli::UsageError("one connection URI at most, not \"" + positional.join(u' ').toStdString() +
                              '"');
    if (!positional.isEmpty())
        uri = cli::parseConnectionUri(positional.first());
    if (made)
        fillFromRun(given, uri, *made);

    out.parts = cli::resolveConnection(given, uri, environment, loginName());
    if (!out.parts.password && !out.askFirst) {
        const cli::PasswordFile file = cli::readPasswordFile(environment);
        if (!file.warning.isEmpty())
            printError(QStringLiteral("warning: ") + file.warning);
        out.parts.password = cli::passwordFromFile(file.text, *out.parts.host, *out.parts.port,
                                                   *out.parts.dbname, *out.parts.user);
    }
    return out;
}

bool refusedForPassword(const db::DbError& error)
{
    // 28P01: wrong password; 28000: no password given where one is wanted, among others.
    return error.sqlState() == QLatin1String("28P01") || error.sqlState() == QLatin1String("28000") ||
           error.message().contains(QLatin1String("password"), Qt::CaseInsensitive);
}

// Opens a first connection to see that the details work, asking for a password once when the server
// wants one and none was given. The connection string that worked, or exit status CannotConnect.
QString connectOnce(Connecting& connecting)
{
    const QString driverMessage = driver::missingDriverMessage(driver::registeredDrivers());
    if (!driverMessage.isEmpty())
        throw std::runtime_error(driverMessage.toStdString());
    if (connecting.askFirst && connecting.mayAsk) {
        std::fputs(QStringLiteral("Password for user %1: ").arg(*connecting.parts.user).toLocal8Bit(),
                   stderr);
        connecting.parts.password = readLine(false);
    }
    for (int attempt = 0;; ++attempt) {
        QString connectionString = db::BuildConnectionString(cli::toDetails(connecting.parts));
        try {
            db::Connection connection;
            connection.open(connectionString);
            return connectionString;
        } catch (const db::DbError& error) {
            if (attempt > 0 || connecting.parts.password || !connecting.mayAsk || !refusedForPassword(error))
                throw;
        }
        std::fputs(QStringLiteral("Password for user %1: ").arg(*connecting.parts.user).toLocal8Bit(),
                   stderr);
        connecting.parts.password = readLine(false);
    }
}

class ListSink : public db::TableListSink
{
public:
    void processEvents() override {}
    void appendTable(const db::Table& table) override { tables.append({table, table.displayName()}); }
    QList<cli::ListedTable> tables;
};

QList<cli::ListedTable> listTables(const QString& connectionString)
{
    ListSink sink;
    db::FillTableList(connectionString, sink);
    return sink.tables;
}

void printTable(QTextStream& out, const QList<QStringList>& rows, const QList<bool>& rightAligned)
{
    QList<qsizetype> widths;
    for (const QStringList& row : rows)
        for (qsizetype i = 0; i < row.size(); ++i) {
            if (widths.size() <= i)
                widths.append(0);
            widths[i] = qMax(widths[i], row[i].size());
        }
    for (const QStringList& row : rows) {
        QStringList cells;
        for (qsizetype i = 0; i < row.size(); ++i)
            cells << (rightAligned.value(i) ? row[i].rightJustified(widths[i])
                                            : row[i].leftJustified(widths[i]));
        out << cells.join(QStringLiteral("  ")).trimmed() << '\n';
    }
}

int commandTables(const QCommandLineParser& parser, Connecting& connecting)
{
    const SelectionPatterns patterns = cli::selectionPatterns(parser);
    const bool columns = parser.isSet(QStringLiteral("columns"));
    const QString connectionString = connectOnce(connecting);
    const QList<cli::ShownTable> tables =
        cli::chooseTables(connectionString, listTables(connectionString), patterns, columns);
    QTextStream out(stdout);
    if (parser.isSet(QStringLiteral("json"))) {
        QJsonArray list;
        for (const cli::ShownTable& shown : tables) {
            QJsonObject entry = cli::shownTableJson(shown);
            if (!columns)
                entry.remove(QStringLiteral("columns"));
            list.append(entry);
        }
        out << QJsonDocument(QJsonObject{{QStringLiteral("tables"), list}}).toJson(QJsonDocument::Indented);
        return Done;
    }
    if (columns) {
        out << cli::columnsText(tables);
        return Done;
    }
    for (const cli::ShownTable& shown : tables)
        out << shown.listed.text << '\n';
    return Done;
}

cli::Pairs pairsFrom(const QCommandLineParser& parser)
{
    cli::Pairs pairs;
    const bool single = parser.isSet(QStringLiteral("find")) || parser.isSet(QStringLiteral("replace"));
    if (single == parser.isSet(QStringLiteral("sets")))
        throw cli::UsageError("give either --find and --replace, or --sets");
    if (single) {
        if (!parser.isSet(QStringLiteral("find")) || parser.value(QStringLiteral("find")).isEmpty())
            throw cli::UsageError("--find needs a text to find");
        pairs.find = parser.value(QStringLiteral("find"));
        pairs.replacement = parser.value(QStringLiteral("replace"));
        return pairs;
    }
    const QString path = parser.value(QStringLiteral("sets"));
    const QString separator = parser.value(QStringLiteral("separator"));
    if (separator.isEmpty())
        throw cli::UsageError("You must enter separating character(s).");
    if (engine::blankOnly(path) || !engine::isFileToLoad(path))
        throw cli::UsageError((path + QStringLiteral(" not found.")).toStdString());
    pairs.useSets = true;
    pairs.sets = engine::setsFromText(engine::ReadTextFile(path), separator);
    if (pairs.sets.size() > engine::MaxSets)
        throw cli::UsageError(engine::SetListsFullMessage);
    return pairs;
}

// The tables (and columns) the selection options take, in the list's order, as the run walks the ticked
// entries of the list.
QList<cli::ListedTable> selectTables(const QString& connectionString, const SelectionPatterns& patterns)
{
    return cli::listedOf(cli::chooseTables(connectionString, listTables(connectionString), patterns));
}

// One line on standard error, rewritten in place at most ten times a second.
class ProgressLine
{
public:
    explicit ProgressLine(bool shown) : m_shown(shown) { m_clock.start(); }
    void show(const cli::TableOutcome& table, int entry, int entryCount, long long recordCount)
    {
        if (!m_shown || (table.records != 0 && m_last.isValid() && m_last.elapsed() < 100))
            return;
        if (table.records == 0)
            m_tableClock.start();
        m_last.start();
        const double seconds = double(qMax<qint64>(1, m_tableClock.elapsed())) / 1000.0;
        const QString text = QStringLiteral("table %1 of %2 %3: record %4 of %5, %6 records/s")
                                 .arg(QString::number(entry + 1), QString::number(entryCount), table.table,
                                      QString::number(table.records), QString::number(recordCount),
                                      QString::number(qRound64(double(table.records) / seconds)));
        std::fputs(("\r\033[K" + text).toLocal8Bit().constData(), stderr);
    }
    ~ProgressLine()
    {
        if (m_shown)
            std::fputs("\r\033[K", stderr);
    }
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

private:
    bool m_shown;
    QElapsedTimer m_clock;
    QElapsedTimer m_tableClock;
    QElapsedTimer m_last;
};

cli::Engine engineOf(const QCommandLineParser& parser)
{
    const QString engineName = parser.value(QStringLiteral("engine"));
    if (engineName != u"server" && engineName != u"client")
        throw cli::UsageError("--engine is server or client, not \"" + engineName.toStdString() + '"');
    return engineName == u"client" ? cli::Engine::Client : cli::Engine::Server;
}

// Ctrl-C, while one lives, asks the work at hand to stop after the record it is on.
class InterruptWatch
{
public:
    InterruptWatch() { std::signal(SIGINT, onInterrupt); }
    ~InterruptWatch() { std::signal(SIGINT, SIG_DFL); }
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;
};

// Whether to go on with a change to the database: --yes, or a yes typed at the terminal. Without a
// terminal to ask at, a usage error that says to give --yes.
bool goAheadGiven(const QCommandLineParser& parser, const std::string& noTerminal, const QString& question,
                  const QString& declined)
{
    if (parser.isSet(QStringLiteral("yes")))
        return true;
    if (!isTerminal(STDIN_FILENO))
        throw cli::UsageError(noTerminal);
    std::fputs(question.toLocal8Bit(), stderr);
    const QString answer = readLine(true).trimmed();
    if (answer.compare(QLatin1String("y"), Qt::CaseInsensitive) == 0 ||
        answer.compare(QLatin1String("yes"), Qt::CaseInsensitive) == 0)
        return true;
    printError(declined);
    return false;
}

void printJournaled(qint64 run)
{
    printError(QStringLiteral("journaled as run %1: \"quarvel-cli undo %1\" puts it back").arg(run));
}

cli::RunOutcome runWithProgress(const QString& connectionString, const QList<cli::ListedTable>& tables,
                                const cli::Pairs& pairs, const SelectionPatterns& patterns,
                                engine::Journal& journal, cli::Engine engine)
{
    InterruptWatch interrupt;
    ProgressLine line(isTerminal(STDERR_FILENO));
    cli::CliRunObserver observer(
        tables, journal, g_stop,
        [&line](const cli::TableOutcome& table, int entry, int entryCount, long long recordCount) {
            line.show(table, entry, entryCount, recordCount);
        });
    return observer.run(cli::requestFor(connectionString, tables, pairs)
                            .onServer(engine == cli::Engine::Server)
                            .patterns(patterns)
                            .build());
}

// What went wrong in a run, a line each on standard error.
void printRunProblems(const cli::RunOutcome& outcome)
{
    for (const cli::TableOutcome& table : std::as_const(outcome.tables)) {
        if (!table.notUpdatable.isEmpty())
            printError(table.table + QStringLiteral(": left out: the role may not update ") +
                       table.notUpdatable.join(QStringLiteral(", ")));
        if (!table.walkReason.isEmpty())
            printError(table.table + QStringLiteral(": record walk: ") + table.walkReason);
    }
    for (const cli::RunFailure& failure : std::as_const(outcome.failures))
        printError(
            (failure.table.isEmpty() ? QString() : failure.table + QStringLiteral(": ")) +
            QString(failure.message).replace(QLatin1String("\r\n"), QLatin1String(" ")).replace(u'\n', u' '));
    // After thousands of lines alike, the count that the log misses and where they are kept.
    for (const cli::TableOutcome& table : std::as_const(outcome.tables))
        if (table.logFailures != 0)
            printError(QStringLiteral("%1: %2 of its replacements are not in the replacement log %3 (their "
                                      "lines could not be written); the journal holds every change stored")
                           .arg(table.table, QString::number(table.logFailures), engine::logFilePath()));
}

QJsonObject runJson(const cli::RunOutcome& outcome, int status)
{
    QJsonArray tableList;
    for (const cli::TableOutcome& table : std::as_const(outcome.tables))
        tableList.append(
            QJsonObject{{QStringLiteral("table"), table.table},
                        {QStringLiteral("records"), table.records},
                        {QStringLiteral("replaced"), table.replaced},
                        {QStringLiteral("failures"), table.failures},
                        {QStringLiteral("logFailures"), table.logFailures},
                        {QStringLiteral("recordWalk"), table.walkReason},
                        {QStringLiteral("notUpdatable"), QJsonArray::fromStringList(table.notUpdatable)}});
    QJsonArray failureList;
    for (const cli::RunFailure& failure : std::as_const(outcome.failures))
        failureList.append(QJsonObject{{QStringLiteral("table"), failure.table},
                                       {QStringLiteral("line"), failure.line},
                                       {QStringLiteral("message"), failure.message}});
    return QJsonObject{{QStringLiteral("tables"), tableList},
                       {QStringLiteral("failures"), failureList},
                       {QStringLiteral("stopped"), outcome.stopped},
                       {QStringLiteral("journalRun"), outcome.journalRun},
                       {QStringLiteral("status"), status}};
}

void printRunTable(QTextStream& out, const cli::RunOutcome& outcome)
{
    QList<QStringList> rows{{QStringLiteral("TABLE"), QStringLiteral("RECORDS"), QStringLiteral("REPLACED"),
                             QStringLiteral("FAILED")}};
    for (const cli::TableOutcome& table : std::as_const(outcome.tables))
        rows.append({table.table, QString::number(table.records), QString::number(table.replaced),
                     QString::number(table.failures)});
    printTable(out, rows, {false, true, true, true});
    if (outcome.stopped)
        printError(QStringLiteral("interrupted: the records before the interruption are stored"));
    if (outcome.journalRun != 0)
        printJournaled(outcome.journalRun);
}

int commandRun(const QCommandLineParser& parser, Connecting& connecting)
{
    const cli::Pairs pairs = pairsFrom(parser);
    const cli::Engine engine = engineOf(parser);
    engine::Journal journal(journalPath(parser));
    const SelectionPatterns patterns = cli::selectionPatterns(parser);
    const QString connectionString = connectOnce(connecting);
    const QList<cli::ListedTable> tables = selectTables(connectionString, patterns);
    if (!goAheadGiven(parser, "standard input is not a terminal: give --yes to replace without asking",
                      QStringLiteral("Replace in %1 tables? [y/N] ").arg(tables.size()),
                      QStringLiteral("nothing replaced")))
        return Done;

    const cli::RunOutcome outcome =
        runWithProgress(connectionString, tables, pairs, patterns, journal, engine);
    printRunProblems(outcome);
    const int status = outcome.stopped ? Interrupted : outcome.failures.isEmpty() ? Done : DoneWithFailures;
    QTextStream out(stdout);
    if (parser.isSet(QStringLiteral("json"))) {
        QJsonObject document = runJson(outcome, status);
        document.insert(QStringLiteral("selection"), cli::selectionJson(patterns, tables));
        out << QJsonDocument(document).toJson(QJsonDocument::Indented);
    } else
        printRunTable(out, outcome);
    return status;
}

// A terminal line per sample: line breaks inside a value are shown as \n and \r.
QString oneLine(QString text)
{
    return text.replace(u'\n', QLatin1String("\\n")).replace(u'\r', QLatin1String("\\r"));
}

// One side of a sample's change on one line: in colour as git diff shows it (removed text red and struck
// through, added text green and underlined), otherwise each changed part between « and ».
QString shownSide(const engine::ChangeSegments& side, bool colour)
{
    if (!colour)
        return oneLine(engine::markedText(side));
    QString text;
    for (const engine::ChangeSegment& s : side)
        text += s.kind == engine::ChangeSegment::Same ? oneLine(s.text)
                : s.kind == engine::ChangeSegment::Removed
                    ? QStringLiteral("\x1b[31;9m") + oneLine(s.text) + QStringLiteral("\x1b[m")
                    : QStringLiteral("\x1b[32;4m") + oneLine(s.text) + QStringLiteral("\x1b[m");
    return text;
}

class PreviewProgress : public engine::PreviewObserver
{
public:
    explicit PreviewProgress(const QList<cli::ListedTable>& tables)
        : m_tables(tables), m_line(isTerminal(STDERR_FILENO))
    {}
    void progress(int entry, int entryCount, long long record, long long recordCount) override
    {
        m_shown.table = m_tables.at(entry).text;
        m_shown.records = record;
        m_line.show(m_shown, entry, entryCount, recordCount);
    }
    bool cancelled() override { return g_stop.load(); }

private:
    const QList<cli::ListedTable>& m_tables;
    cli::TableOutcome m_shown;
    ProgressLine m_line;
};

int sampleLimit(const QCommandLineParser& parser)
{
    bool limitIsNumber = false;
    const int limit = parser.value(QStringLiteral("limit")).toInt(&limitIsNumber);
    if (!limitIsNumber || limit < 0)
        throw cli::UsageError("--limit needs a number of samples, 0 or more");
    return limit;
}

QList<engine::PreviewTable> previewWithProgress(const engine::RunRequest& request,
                                                const QList<cli::ListedTable>& tables)
{
    InterruptWatch interrupt;
    PreviewProgress progress(tables);
    return engine::Preview(request, progress);
}

QJsonObject sampleJson(const engine::PreviewChange& change)
{
    return QJsonObject{
        {QStringLiteral("record"), change.record},
        {QStringLiteral("row"), change.row},
        {QStringLiteral("column"), change.column},
        {QStringLiteral("old"), change.oldValue ? QJsonValue(*change.oldValue) : QJsonValue()},
        {QStringLiteral("new"), change.newValue},
        {QStringLiteral("refusal"), change.refusal.isEmpty() ? QJsonValue() : QJsonValue(change.refusal)},
        {QStringLiteral("refusedValue"),
         change.refusal.isEmpty() ? QJsonValue() : QJsonValue(change.refusedValue)}};
}

QJsonObject previewTableJson(const engine::PreviewTable& table)
{
    QJsonArray columns;
    for (const engine::PreviewColumn& column : table.columns)
        columns.append(QJsonObject{{QStringLiteral("name"), column.name},
                                   {QStringLiteral("changes"), column.changes},
                                   {QStringLiteral("refused"), column.refused}});
    QJsonArray samples;
    for (const engine::PreviewChange& change : table.samples)
        samples.append(sampleJson(change));
    return QJsonObject{
        {QStringLiteral("table"), table.text},
        {QStringLiteral("records"), table.records},
        {QStringLiteral("changedRecords"), table.changedRecords},
        {QStringLiteral("columns"), columns},
        {QStringLiteral("samples"), samples},
        {QStringLiteral("failure"), table.failure.isEmpty() ? QJsonValue() : QJsonValue(table.failure)}};
}

void printPreviewTable(QTextStream& out, const QList<engine::PreviewTable>& preview)
{
    QList<QStringList> rows{{QStringLiteral("TABLE"), QStringLiteral("COLUMN"), QStringLiteral("CHANGES"),
                             QStringLiteral("REFUSED")}};
    for (const engine::PreviewTable& table : preview) {
        if (table.columns.isEmpty())
            rows.append({table.text, QStringLiteral("-"), QStringLiteral("0"), QStringLiteral("0")});
        for (const engine::PreviewColumn& column : table.columns)
            rows.append(
                {table.text, column.name, QString::number(column.changes), QString::number(column.refused)});
    }
    printTable(out, rows, {false, false, true, true});
}

void printSamples(QTextStream& out, const engine::PreviewTable& table, bool colour)
{
    if (table.samples.isEmpty())
        return;
    out << '\n'
        << table.text
        << QStringLiteral(": %1 of %2 %3 would change")
               .arg(QString::number(table.changedRecords), QString::number(table.records),
                    table.records == 1 ? QStringLiteral("record") : QStringLiteral("records"))
        << '\n';
    for (const engine::PreviewChange& change : table.samples) {
        // The change starts near the left, however far into the value it is.
        constexpr qsizetype Context = 30;
        constexpr qsizetype Width = 120;
        const engine::ChangeSegments diff = engine::sampleChange(change);
        out << "  " << change.row << ", " << change.column << ": "
            << (change.oldValue
                    ? shownSide(engine::sideOfChange(diff, engine::ChangeSegment::Removed, Context, Width),
                                colour)
                    : QStringLiteral("NULL"))
            << " -> "
            << shownSide(engine::sideOfChange(diff, engine::ChangeSegment::Added, Context, Width), colour);
        if (!change.refusal.isEmpty())
            out << " would be refused: " << QString(change.refusal).replace(u'\n', u' ');
        out << '\n';
    }
}

int commandPreview(const QCommandLineParser& parser, Connecting& connecting)
{
    const cli::Pairs pairs = pairsFrom(parser);
    const int limit = sampleLimit(parser);
    const bool onServer = engineOf(parser) == cli::Engine::Server;
    const bool colour = colourWanted(parser);
    const SelectionPatterns patterns = cli::selectionPatterns(parser);
    const QString connectionString = connectOnce(connecting);
    const QList<cli::ListedTable> tables = selectTables(connectionString, patterns);

    const engine::RunRequest request = cli::requestFor(connectionString, tables, pairs)
                                           .onServer(onServer)
                                           .sampleLimit(limit)
                                           .patterns(patterns)
                                           .build();

    const QList<engine::PreviewTable> preview = previewWithProgress(request, tables);
    const bool stopped = g_stop.load();
    const bool failed = std::any_of(preview.cbegin(), preview.cend(),
                                    [](const engine::PreviewTable& t) { return !t.failure.isEmpty(); });
    const int status = stopped ? Interrupted : failed ? DoneWithFailures : Done;
    for (const engine::PreviewTable& table : preview)
        if (!table.failure.isEmpty())
            printError(table.text + QStringLiteral(": ") + table.failure);

    QTextStream out(stdout);
    if (parser.isSet(QStringLiteral("json"))) {
        QJsonArray tableList;
        for (const engine::PreviewTable& table : preview)
            tableList.append(previewTableJson(table));
        out << QJsonDocument(QJsonObject{{QStringLiteral("tables"), tableList},
                                         {QStringLiteral("selection"), cli::selectionJson(patterns, tables)},
                                         {QStringLiteral("stopped"), stopped},
                                         {QStringLiteral("status"), status}})
                   .toJson(QJsonDocument::Indented);
        return status;
    }
    printPreviewTable(out, preview);
    for (const engine::PreviewTable& table : preview)
        printSamples(out, table, colour);
    if (stopped)
        printError(QStringLiteral("interrupted: the preview covers the records read before it"));
    return status;
}

QString placeText(const engine::RunPlace& place)
{
    return QStringLiteral("%1@%2:%3/%4").arg(place.user, place.server, place.port, place.database);
}

QString runState(const engine::JournalRun& run)
{
    if (run.undoneBy != 0)
        return QStringLiteral("undone by run %1").arg(run.undoneBy);
    if (run.isUndo)
        return QStringLiteral("undo of run %1").arg(run.undoes);
    if (!run.ended.isValid())
        return QStringLiteral("did not end");
    return {};
}

// What the run was asked to take; null for a run that took every column of the tables it names.
QJsonValue choiceJson(const engine::RunChoice& choice)
{
    if (choice.isEmpty())
        return {};
    QJsonArray columns;
    for (const auto& [table, names] : choice.columns)
        columns.append(QJsonObject{{QStringLiteral("table"), table},
                                   {QStringLiteral("columns"), QJsonArray::fromStringList(names)}});
    return QJsonObject{{QStringLiteral("patterns"), patternsJson(choice.patterns)},
                       {QStringLiteral("columns"), columns}};
}

QJsonObject runJsonEntry(const engine::JournalRun& run)
{
    // "pairs" as the run began; "pairsRan" every list it applied, in order (several where they were
    // changed during a record walk).
    QJsonArray pairsRan;
    for (const engine::RunPairs& ran : run.pairsRan) {
        QJsonArray pairs;
        for (const auto& [find, replacement] : ran)
            pairs.append(QJsonArray{find, replacement});
        pairsRan.append(pairs);
    }
    return QJsonObject{
        {QStringLiteral("run"), run.id},
        {QStringLiteral("started"), run.started.toString(Qt::ISODate)},
        {QStringLiteral("ended"),
         run.ended.isValid() ? QJsonValue(run.ended.toString(Qt::ISODate)) : QJsonValue()},
        {QStringLiteral("server"), run.place.server},
        {QStringLiteral("port"), run.place.port},
        {QStringLiteral("database"), run.place.database},
        {QStringLiteral("user"), run.place.user},
        {QStringLiteral("tables"), QJsonArray::fromStringList(run.tables)},
        {QStringLiteral("pairs"), pairsRan.isEmpty() ? QJsonArray() : pairsRan.first().toArray()},
        {QStringLiteral("pairsRan"), pairsRan},
        {QStringLiteral("records"), run.records},
        {QStringLiteral("undoes"), run.undoes},
        {QStringLiteral("undoneBy"), run.undoneBy},
        {QStringLiteral("engine"), run.engine.isEmpty() ? QJsonValue() : QJsonValue(run.engine)},
        {QStringLiteral("selection"), choiceJson(run.choice)}};
}

// The runs whose pairs were changed while they ran, each with every list it applied.
void printPairsRan(QTextStream& out, const std::vector<engine::JournalRun>& runs)
{
    for (const engine::JournalRun& run : runs) {
        if (run.pairsRan.size() < 2)
            continue;
        QStringList lists;
        for (const engine::RunPairs& ran : run.pairsRan) {
            QStringList pairs;
            for (const auto& [find, replacement] : ran)
                pairs << QStringLiteral("\"%1\" -> \"%2\"").arg(find, replacement);
            lists << pairs.join(QStringLiteral(", "));
        }
        out << QStringLiteral("run %1 ran its pairs as they were changed: %2\n")
                   .arg(QString::number(run.id), lists.join(QStringLiteral("; then ")));
    }
}

int commandRuns(const QCommandLineParser& parser)
{
    engine::Journal journal(journalPath(parser));
    const std::vector<engine::JournalRun> runs = journal.runs();
    QTextStream out(stdout);
    if (parser.isSet(QStringLiteral("json"))) {
        QJsonArray list;
        for (const engine::JournalRun& run : runs)
            list.append(runJsonEntry(run));
        out << QJsonDocument(QJsonObject{{QStringLiteral("runs"), list}}).toJson(QJsonDocument::Indented);
        return Done;
    }
    QList<QStringList> rows{{QStringLiteral("RUN"), QStringLiteral("STARTED"), QStringLiteral("DATABASE"),
                             QStringLiteral("TABLES"), QStringLiteral("RECORDS"), QStringLiteral("STATE")}};
    for (const engine::JournalRun& run : runs)
        rows.append({QString::number(run.id), run.started.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
                     placeText(run.place), QString::number(run.tables.size()), QString::number(run.records),
                     runState(run)});
    printTable(out, rows, {true, false, false, true, true, false});
    printPairsRan(out, runs);
    for (const engine::JournalRun& run : runs)
        if (!run.choice.isEmpty())
            out << QStringLiteral("run %1 took %2\n")
                       .arg(QString::number(run.id), engine::choiceText(run.choice));
    if (runs.empty())
        printError(QStringLiteral("no run has been journaled yet (%1)").arg(journal.path()));
    return Done;
}

class UndoProgress : public engine::UndoHost
{
public:
    explicit UndoProgress(bool shown) : m_shown(shown) {}
    ~UndoProgress() override
    {
        if (m_shown)
            std::fputs("\r\033[K", stderr);
    }
    UndoProgress(const UndoProgress&) = delete;
    UndoProgress& operator=(const UndoProgress&) = delete;
    void progress(long long done, long long total) override
    {
        if (m_shown)
            std::fputs(QStringLiteral("\r\033[Krecord %1 of %2")
                           .arg(QString::number(done), QString::number(total))
                           .toLocal8Bit()
                           .constData(),
                       stderr);
    }
    bool stopRequested() override { return g_stop.load(); }

private:
    bool m_shown;
};

qint64 runToUndo(const QCommandLineParser& parser)
{
    bool isNumber = false;
    const qint64 id = parser.positionalArguments().value(1).toLongLong(&isNumber);
    if (!isNumber || id <= 0)
        throw cli::UsageError("give the number of the run to undo, as \"quarvel-cli runs\" lists it");
    return id;
}

engine::UndoReport undoWithProgress(engine::Journal& journal, qint64 id, const QString& connectionString)
{
    InterruptWatch interrupt;
    UndoProgress progress(isTerminal(STDERR_FILENO));
    return engine::undoRun(journal, id, connectionString, &progress);
}

QJsonObject undoJson(const engine::UndoReport& report, qint64 id, bool stopped, int status)
{
    return QJsonObject{{QStringLiteral("run"), id},
                       {QStringLiteral("undoRun"), report.undoRun},
                       {QStringLiteral("restored"), report.restored},
                       {QStringLiteral("changedSince"), report.changedSince},
                       {QStringLiteral("missing"), report.missing},
                       {QStringLiteral("notStored"), report.notStored},
                       {QStringLiteral("failed"), report.failed},
                       {QStringLiteral("listed"), QJsonArray::fromStringList(report.listed)},
                       {QStringLiteral("notes"), QJsonArray::fromStringList(report.notes)},
                       {QStringLiteral("stopped"), stopped},
                       {QStringLiteral("status"), status}};
}

void printUndoReport(QTextStream& out, const engine::UndoReport& report)
{
    out << QStringLiteral("restored: %1\nkept, changed since the run: %2\nno longer there: %3\n")
               .arg(QString::number(report.restored), QString::number(report.changedSince),
                    QString::number(report.missing));
    if (report.notStored != 0)
        out << QStringLiteral("never stored (the run ended before they committed): %1\n")
                   .arg(report.notStored);
    if (report.failed != 0)
        out << QStringLiteral("refused by the server: %1\n").arg(report.failed);
    for (const QString& line : std::as_const(report.listed))
        out << "  " << line << '\n';
    out.flush();
    for (const QString& note : std::as_const(report.notes))
        printError(note);
    printJournaled(report.undoRun);
}

int commandUndo(const QCommandLineParser& parser)
{
    const qint64 id = runToUndo(parser);
    engine::Journal journal(journalPath(parser));
    const engine::JournalRun run = journal.run(id);
    Connecting connecting = connectionFrom(parser, 2, &run.place);
    const QString connectionString = connectOnce(connecting);
    const QString refusal = engine::undoRefusal(run, connectionString);
    if (!refusal.isEmpty())
        throw cli::UsageError(refusal.toStdString());
    if (!goAheadGiven(parser, "standard input is not a terminal: give --yes to undo without asking",
                      QStringLiteral("Undo run %1 (%2 records in %3 tables)? [y/N] ")
                          .arg(QString::number(run.id), QString::number(run.records),
                               QString::number(run.tables.size())),
                      QStringLiteral("nothing undone")))
        return Done;

    const engine::UndoReport report = undoWithProgress(journal, id, connectionString);
    const bool stopped = g_stop.load();
    const bool whole = report.changedSince == 0 && report.missing == 0 && report.failed == 0;
    const int status = stopped ? Interrupted : whole ? Done : DoneWithFailures;
    QTextStream out(stdout);
    if (parser.isSet(QStringLiteral("json")))
        out << QJsonDocument(undoJson(report, id, stopped, status)).toJson(QJsonDocument::Indented);
    else
        printUndoReport(out, report);
    return status;
}

void printVersion()
{
    std::printf("quarvel-cli (%s) %s\n", identity::ProductName, identity::VersionText);
}

// The answer to a first argument that is no command: the general help, the version, or a usage error.
std::optional<int> answerWithoutCommand(const QString& command)
{
    if (command.isEmpty() || command == u"--help" || command == u"-?" || command == u"help") {
        std::fputs(generalHelp().toLocal8Bit(), command.isEmpty() ? stderr : stdout);
        return command.isEmpty() ? Usage : Done;
    }
    if (command == u"--version" || command == u"-V") {
        printVersion();
        return Done;
    }
    const bool known = std::any_of(std::cbegin(Commands), std::cend(Commands),
                                   [&](const Command& c) { return c.name == command; });
    if (!known) {
        printError(
            QStringLiteral("unknown command \"%1\"; \"quarvel-cli --help\" lists the commands").arg(command));
        return Usage;
    }
    return std::nullopt;
}

// The arguments and options of a known command.
void describeCommand(QCommandLineParser& parser, const QString& command)
{
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
    parser.setApplicationDescription(
        std::find_if(std::cbegin(Commands), std::cend(Commands), [&](const Command& c) {
            return c.name == command;
        })->summary);
    parser.addPositionalArgument(command, QString(), command);
    if (command == u"undo")
        parser.addPositionalArgument(QStringLiteral("RUN"),
                                     QStringLiteral("The run to undo, as \"runs\" lists it."),
                                     QStringLiteral("RUN"));
    parser.addPositionalArgument(QStringLiteral("URI"), QStringLiteral("A postgresql:// connection URI."),
                                 QStringLiteral("[URI]"));
    addCommonOptions(parser);
    if (command == u"run" || command == u"preview")
        addRunOptions(parser);
    if (command == u"run" || command == u"preview" || command == u"tables")
        cli::addSelectionOptions(parser);
    if (command == u"tables")
        parser.addOption({QStringLiteral("columns"),
                          QStringLiteral("List per table the columns a run would search, and why a column is "
                                         "left out.")});
    if (command == u"run" || command == u"undo")
        addWriteOptions(parser);

    if (command == u"run")
        parser.addOption({QStringLiteral("engine"),
                          QStringLiteral("server: the database finds and rewrites the rows, batch by batch "
                                         "(default); client: the record walk of \"Start Replacing\"."),
                          QStringLiteral("ENGINE"), QStringLiteral("server")});
    if (command == u"preview")
        parser.addOption({QStringLiteral("engine"),
                          QStringLiteral("The run to preview: server (default) counts with the database's "
                                         "own expressions what \"run\" changes; client walks the records "
                                         "as \"Start Replacing\" does."),
                          QStringLiteral("ENGINE"), QStringLiteral("server")});
    if (command == u"preview")
        addPreviewOptions(parser);
}

// Qt lists every positional argument under "Arguments:", the command's own name among them; that one is
// typed already, so it shows in the usage line only.
QString commandHelp(const QCommandLineParser& parser, const QString& command)
{
    return parser.helpText().remove(
        QRegularExpression(QStringLiteral("^  %1\n").arg(QRegularExpression::escape(command)),
                           QRegularExpression::MultilineOption));
}

// Runs the command; what it throws becomes a message and the exit status the manual page gives for it.
int runCommand(const QCommandLineParser& parser, const QString& command)
{
    try {
        if (command == u"runs")
            return commandRuns(parser);
        if (command == u"undo")
            return commandUndo(parser);
        Connecting connecting = connectionFrom(parser);
        if (command == u"tables")
            return commandTables(parser, connecting);
        if (command == u"preview")
            return commandPreview(parser, connecting);
        return commandRun(parser, connecting);
    } catch (const cli::UsageError& error) {
        printError(QString::fromUtf8(error.what()));
        return Usage;
    } catch (const engine::SetFileError& error) {
        printError(QString::fromUtf8(error.what()));
        return Usage;
    } catch (const engine::JournalRefused& error) {
        printError(QStringLiteral("journal: ") + QString::fromUtf8(error.what()));
        return Usage;
    } catch (const engine::JournalError& error) {
        printError(QStringLiteral("journal: ") + QString::fromUtf8(error.what()));
        return DoneWithFailures;
    } catch (const db::DbError& error) {
        printError(QStringLiteral("cannot connect: ") + error.message());
        return CannotConnect;
    } catch (const std::exception& error) {
        printError(QStringLiteral("cannot connect: ") + QString::fromUtf8(error.what()));
        return CannotConnect;
    }
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QLatin1String(identity::CompanyName));
    QCoreApplication::setApplicationName(QLatin1String(identity::ProductName));
    QCoreApplication::setApplicationVersion(QLatin1String(identity::VersionText));

    const QStringList arguments = QCoreApplication::arguments();
    const QString command = arguments.value(1);
    if (const std::optional<int> answered = answerWithoutCommand(command))
        return *answered;

    QCommandLineParser parser;
    describeCommand(parser, command);
    if (!parser.parse(arguments)) {
        printError(parser.errorText());
        return Usage;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        std::fputs(commandHelp(parser, command).toLocal8Bit(), stdout);
        return Done;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        printVersion();
        return Done;
    }
    return runCommand(parser, command);
}
