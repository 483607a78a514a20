#pragma once
// Where quarvel-cli connects, found the way psql and pg_dump find it: options first, then a
// postgresql:// URI, then the PG* environment variables, then the defaults; the password from the URI,
// PGPASSWORD or the password file (~/.pgpass, on Windows %APPDATA%\postgresql\pgpass.conf, or
// PGPASSFILE), and only then by asking.

#include "db/Database.h"

#include <QMap>
#include <QString>

#include <optional>
#include <stdexcept>

namespace quarvel::cli {

// A command line that cannot be carried out as written; quarvel-cli exits with status 2.
class UsageError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// One connection detail per field; a field not given is empty (nullopt), which differs from given as
// empty.
struct ConnectionParts
{
    std::optional<QString> host;
    std::optional<QString> port;
    std::optional<QString> user;
    std::optional<QString> password;
    std::optional<QString> dbname;
};

// postgresql://[user[:password]@][host][:port][/dbname][?key=value&...] (also postgres://), with
// percent-encoding, an IPv6 host in brackets and the query keys host, port, user, password and dbname.
// Throws UsageError naming what is wrong: another scheme, several hosts, an unknown key, a bad escape.
ConnectionParts parseConnectionUri(const QString& uri);

// The password file's entry for these details: lines of host:port:database:user:password, '*' matching
// anything, '\' escaping ':' and '\' itself, '#' starting a comment; the first matching line wins.
// "localhost" in the file also matches the host "localhost" only (there are no sockets here).
std::optional<QString> passwordFromFile(const QString& fileText, const QString& host, const QString& port,
                                        const QString& dbname, const QString& user);

// What the password file is and whether it may be used: PGPASSFILE, else libpq's own place (~/.pgpass;
// on Windows %APPDATA%\postgresql\pgpass.conf, none when APPDATA is not set). A file that others can
// read is ignored, as libpq does, with `warning` saying so (Windows has no such rights to check).
struct PasswordFile
{
    QString path;
    QString text;    // empty when missing, unreadable or ignored
    QString warning; // set when it exists but is ignored
};
PasswordFile readPasswordFile(const QMap<QString, QString>& environment);

// Fills in what the parts leave open, in order: `given` (options), `uri`, the environment (PGHOST,
// PGPORT, PGUSER, PGDATABASE, PGPASSWORD), then the defaults: localhost, 5432, the login name, and a
// database named as the user. The password stays unset when none of them gives one.
ConnectionParts resolveConnection(const ConnectionParts& given, const ConnectionParts& uri,
                                  const QMap<QString, QString>& environment, const QString& loginName);

// The details for the connection string; a missing password is empty.
db::ConnectionDetails toDetails(const ConnectionParts& parts);

} // namespace quarvel::cli
