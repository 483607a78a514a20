#include "tests/support/TestDatabase.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>

#include <mutex>
#include <stdexcept>

namespace quarvel::test {

namespace {
QString env(const char* name)
{
    return qEnvironmentVariable(name);
}

// psql's output as text. On Windows psql writes its output in text mode, every line break as CR LF; only
// those are undone, so a CR LF inside a value (written CR CR LF) keeps its CR.
QString textOf(const QByteArray& output)
{
    QString text = QString::fromUtf8(output);
#ifdef Q_OS_WIN
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
#endif
    return text;
}

// The server psql connects to: the test server, or the other one that holds foreign tables.
struct PsqlTarget
{
    QString server;
    QString port;
    QString database;
};

PsqlTarget testServer()
{
    return {env("QUARVEL_TEST_SERVER"), env("QUARVEL_TEST_PORT"), env("QUARVEL_TEST_DATABASE")};
}

QString runPsql(const QString& user, const QString& password, const QString& sql,
                const PsqlTarget& target = testServer())
{
    QProcess psql;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PGPASSWORD"), password);
    environment.insert(QStringLiteral("PGCONNECT_TIMEOUT"), QStringLiteral("10"));
    // The SQL goes in and the rows come out as UTF-8, whatever the system's code page (psql on Windows
    // would take the ANSI code page from the system).
    environment.insert(QStringLiteral("PGCLIENTENCODING"), QStringLiteral("UTF8"));
    psql.setProcessEnvironment(environment);
    psql.start(QStringLiteral("psql"),
               {QStringLiteral("-X"), QStringLiteral("-q"), QStringLiteral("-A"), QStringLiteral("-t"),
                QStringLiteral("-v"), QStringLiteral("ON_ERROR_STOP=1"), QStringLiteral("-h"), target.server,
                QStringLiteral("-p"), target.port, QStringLiteral("-U"), user, QStringLiteral("-d"),
                target.database, QStringLiteral("-f"), QStringLiteral("-")});
    psql.write(sql.toUtf8());
    psql.closeWriteChannel();
    if (!psql.waitForFinished(60000) || psql.exitStatus() != QProcess::NormalExit || psql.exitCode() != 0)
        throw std::runtime_error("psql failed: " + textOf(psql.readAllStandardError()).toStdString() +
                                 "\nSQL: " + sql.toStdString());
    QString out = textOf(psql.readAllStandardOutput());
    if (out.endsWith(u'\n'))
        out.chop(1);
    return out;
}

// Each test program works in a database of its own on the shared servers, made at its first use and
// dropped when the program ends, so that programs run at the same time (ctest -j) never see each other's
// tables, sessions or settings. The name holds the program's and the process's, so two builds' runs of
// one program cannot meet either. The variables then name that database, for the programs a test starts.
struct OwnDatabase
{
    const char* databaseVariable;
    QString server;
    QString port;
    QString adminUser;
    QString adminPassword;
    QString base; // the database the script made, where the own one is made and dropped from
    QString own;
};

OwnDatabase localDatabase{"QUARVEL_TEST_DATABASE", {}, {}, {}, {}, {}, {}};
OwnDatabase remoteDatabase{"QUARVEL_TEST_REMOTE_DATABASE", {}, {}, {}, {}, {}, {}};

QString ownDatabaseName()
{
    QString program = QFileInfo(QCoreApplication::applicationFilePath()).baseName().toLower();
    program.replace(QRegularExpression(QStringLiteral("[^a-z0-9_]")), QStringLiteral("_"));
    return QStringLiteral("quarvel_%1_%2").arg(program.left(40)).arg(QCoreApplication::applicationPid());
}

void dropOwnDatabases()
{
    for (OwnDatabase* database : {&localDatabase, &remoteDatabase}) {
        if (database->own.isEmpty())
            continue;
        try {
            runPsql(database->adminUser, database->adminPassword,
                    QStringLiteral("DROP DATABASE IF EXISTS \"%1\" WITH (FORCE)").arg(database->own),
                    {database->server, database->port, database->base});
        } catch (const std::runtime_error& error) {
            qWarning("test database %s left behind: %s", qPrintable(database->own), error.what());
        }
    }
}

void makeOwnDatabase(OwnDatabase& database, const char* prefix)
{
    const auto variable = [prefix](const char* name) { return env((QByteArray(prefix) + name).constData()); };
    database.base = env(database.databaseVariable);
    database.server = variable("SERVER");
    database.port = variable("PORT");
    database.adminUser = variable("ADMIN_USER");
    database.adminPassword = variable("ADMIN_PASSWORD");
    if (database.base.isEmpty() || database.server.isEmpty() || database.adminUser.isEmpty())
        return;
    const QString name = ownDatabaseName();
    const QString owner = variable("USER");
    const PsqlTarget base{database.server, database.port, database.base};
    runPsql(database.adminUser, database.adminPassword,
            QStringLiteral("DROP DATABASE IF EXISTS \"%1\" WITH (FORCE)").arg(name), base);
    runPsql(database.adminUser, database.adminPassword,
            QStringLiteral("CREATE DATABASE \"%1\" OWNER \"%2\"").arg(name, owner), base);
    database.own = name;
    runPsql(database.adminUser, database.adminPassword,
            QStringLiteral("ALTER SCHEMA public OWNER TO \"%1\"").arg(owner),
            {database.server, database.port, name});
    qputenv(database.databaseVariable, name.toUtf8());
}

void ensureOwnDatabases()
{
    static std::once_flag once;
    std::call_once(once, [] {
        if (qEnvironmentVariableIntValue("QUARVEL_TEST_SHARED_DATABASE") == 1)
            return;
        makeOwnDatabase(localDatabase, "QUARVEL_TEST_");
        makeOwnDatabase(remoteDatabase, "QUARVEL_TEST_REMOTE_");
        qAddPostRoutine(dropOwnDatabases);
    });
}
} // namespace

bool TestDatabase::available()
{
    ensureOwnDatabases();
    return !env("QUARVEL_TEST_SERVER").isEmpty() && !env("QUARVEL_TEST_PORT").isEmpty() &&
           !env("QUARVEL_TEST_DATABASE").isEmpty();
}

db::ConnectionDetails TestDatabase::details()
{
    ensureOwnDatabases();
    return {env("QUARVEL_TEST_SERVER"), env("QUARVEL_TEST_PORT"), env("QUARVEL_TEST_USER"),
            env("QUARVEL_TEST_PASSWORD"), env("QUARVEL_TEST_DATABASE")};
}

QString TestDatabase::connectionString()
{
    return db::BuildConnectionString(details());
}

QString TestDatabase::psql(const QString& sql)
{
    ensureOwnDatabases();
    return runPsql(env("QUARVEL_TEST_USER"), env("QUARVEL_TEST_PASSWORD"), sql);
}

QString TestDatabase::psqlAdmin(const QString& sql)
{
    ensureOwnDatabases();
    return runPsql(env("QUARVEL_TEST_ADMIN_USER"), env("QUARVEL_TEST_ADMIN_PASSWORD"), sql);
}

bool TestDatabase::remoteAvailable()
{
    ensureOwnDatabases();
    return !env("QUARVEL_TEST_REMOTE_SERVER").isEmpty() && !env("QUARVEL_TEST_REMOTE_PORT").isEmpty() &&
           !env("QUARVEL_TEST_REMOTE_DATABASE").isEmpty();
}

db::ConnectionDetails TestDatabase::remoteDetails()
{
    ensureOwnDatabases();
    return {env("QUARVEL_TEST_REMOTE_SERVER"), env("QUARVEL_TEST_REMOTE_PORT"),
            env("QUARVEL_TEST_REMOTE_USER"), env("QUARVEL_TEST_REMOTE_PASSWORD"),
            env("QUARVEL_TEST_REMOTE_DATABASE")};
}

QString TestDatabase::psqlRemote(const QString& sql)
{
    const db::ConnectionDetails d = remoteDetails();
    return runPsql(d.user, d.password, sql, {d.server, d.port, d.database});
}

void TestDatabase::freshSchema(const QString& schema)
{
    QString quoted = schema;
    quoted.replace(u'"', QStringLiteral("\"\""));
    psql(QStringLiteral("DROP SCHEMA IF EXISTS \"%1\" CASCADE; CREATE SCHEMA \"%1\";").arg(quoted));
}

QString TestDatabase::serverMessage(const QString& sql)
{
    try {
        psql(sql);
    } catch (const std::runtime_error& error) {
        const QString text = QString::fromUtf8(error.what());
        const qsizetype start = text.indexOf(QStringLiteral("ERROR:  "));
        if (start >= 0)
            return text.mid(start + 8).section(u'\n', 0, 0);
    }
    return QString();
}

long long TestDatabase::connectionCount()
{
    ensureOwnDatabases();
    // The server logs every authorised connection (log_connections=on in scripts/pgcluster); only those to
    // this program's own database count, whatever other test programs connect meanwhile.
    QFile log(env("QUARVEL_TEST_SERVER_LOG"));
    if (!log.open(QIODevice::ReadOnly))
        throw std::runtime_error("cannot read the server log named by QUARVEL_TEST_SERVER_LOG");
    const QRegularExpression line(QStringLiteral("connection authorized: user=%1 database=%2( |$)")
                                      .arg(QRegularExpression::escape(env("QUARVEL_TEST_USER")),
                                           QRegularExpression::escape(env("QUARVEL_TEST_DATABASE"))),
                                  QRegularExpression::MultilineOption);
    long long count = 0;
    for (auto it = line.globalMatch(QString::fromUtf8(log.readAll())); it.hasNext(); it.next())
        ++count;
    return count;
}

} // namespace quarvel::test
