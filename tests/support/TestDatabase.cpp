#include "tests/support/TestDatabase.h"

#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>

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
} // namespace

bool TestDatabase::available()
{
    return !env("QUARVEL_TEST_SERVER").isEmpty() && !env("QUARVEL_TEST_PORT").isEmpty() &&
           !env("QUARVEL_TEST_DATABASE").isEmpty();
}

db::ConnectionDetails TestDatabase::details()
{
    return {env("QUARVEL_TEST_SERVER"), env("QUARVEL_TEST_PORT"), env("QUARVEL_TEST_USER"),
            env("QUARVEL_TEST_PASSWORD"), env("QUARVEL_TEST_DATABASE")};
}

QString TestDatabase::connectionString()
{
    return db::BuildConnectionString(details());
}

QString TestDatabase::psql(const QString& sql)
{
    return runPsql(env("QUARVEL_TEST_USER"), env("QUARVEL_TEST_PASSWORD"), sql);
}

QString TestDatabase::psqlAdmin(const QString& sql)
{
    return runPsql(env("QUARVEL_TEST_ADMIN_USER"), env("QUARVEL_TEST_ADMIN_PASSWORD"), sql);
}

bool TestDatabase::remoteAvailable()
{
    return !env("QUARVEL_TEST_REMOTE_SERVER").isEmpty() && !env("QUARVEL_TEST_REMOTE_PORT").isEmpty() &&
           !env("QUARVEL_TEST_REMOTE_DATABASE").isEmpty();
}

db::ConnectionDetails TestDatabase::remoteDetails()
{
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
    // The server logs every authorised connection (log_connections=on in scripts/pgcluster).
    QFile log(env("QUARVEL_TEST_SERVER_LOG"));
    if (!log.open(QIODevice::ReadOnly))
        throw std::runtime_error("cannot read the server log named by QUARVEL_TEST_SERVER_LOG");
    const QByteArray needle = "connection authorized: user=" + env("QUARVEL_TEST_USER").toUtf8() + ' ';
    return log.readAll().count(needle);
}

} // namespace quarvel::test
