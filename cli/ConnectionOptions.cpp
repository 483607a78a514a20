#include "cli/ConnectionOptions.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <utility>

namespace quarvel::cli {

namespace {

int hexValue(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'a' && u <= u'f')
        return u - u'a' + 10;
    if (u >= u'A' && u <= u'F')
        return u - u'A' + 10;
    return -1;
}

// Percent-escapes stand for bytes of UTF-8, so "%C3%A9" is one letter; a NUL would end the text early
// in the driver, so it is refused like a broken escape.
QString percentDecoded(const QString& text, const char* what)
{
    QByteArray bytes;
    const QByteArray utf8 = text.toUtf8();
    for (qsizetype i = 0; i < utf8.size(); ++i) {
        if (utf8[i] != '%') {
            bytes += utf8[i];
            continue;
        }
        const int high = i + 2 < utf8.size() ? hexValue(QChar(utf8[i + 1])) : -1;
        const int low = i + 2 < utf8.size() ? hexValue(QChar(utf8[i + 2])) : -1;
        if (high < 0 || low < 0)
            throw UsageError(std::string("invalid percent-encoded token in the URI's ") + what);
        if (high == 0 && low == 0)
            throw UsageError(std::string("forbidden value %00 in the URI's ") + what);
        bytes += char(high * 16 + low);
        i += 2;
    }
    return QString::fromUtf8(bytes);
}

// The query keys a URI may give, and the detail each sets.
constexpr std::pair<QLatin1String, std::optional<QString> ConnectionParts::*> QueryKeys[] = {
    {QLatin1String("host"), &ConnectionParts::host},
    {QLatin1String("port"), &ConnectionParts::port},
    {QLatin1String("user"), &ConnectionParts::user},
    {QLatin1String("password"), &ConnectionParts::password},
    {QLatin1String("dbname"), &ConnectionParts::dbname},
};

void setFromQuery(ConnectionParts& parts, const QString& key, const QString& value)
{
    for (const auto& [name, detail] : QueryKeys)
        if (key == name) {
            parts.*detail = value;
            return;
        }
    throw UsageError("the URI parameter \"" + key.toStdString() +
                     "\" is not supported (only host, port, user, password and dbname)");
}

std::optional<QString> nonEmpty(const QString& text)
{
    return text.isEmpty() ? std::nullopt : std::optional<QString>(text);
}

// Cuts a password file line at unescaped colons, taking the escapes off; the fifth field is the rest.
QStringList passwordFileFields(QStringView line)
{
    QStringList fields(1);
    for (qsizetype i = 0; i < line.size(); ++i) {
        const QChar c = line[i];
        if (c == u'\\' && i + 1 < line.size()) {
            fields.last() += line[++i];
        } else if (c == u':' && fields.size() < 5) {
            fields.append(QString());
        } else {
            fields.last() += c;
        }
    }
    return fields;
}

QString first(const std::optional<QString>& a, const std::optional<QString>& b,
              const std::optional<QString>& c, const QString& fallback)
{
    if (a)
        return *a;
    if (b)
        return *b;
    if (c)
        return *c;
    return fallback;
}

std::optional<QString> fromEnvironment(const QMap<QString, QString>& environment, const char* name)
{
    const auto found = environment.constFind(QLatin1String(name));
    if (found == environment.cend() || found->isEmpty())
        return std::nullopt;
    return *found;
}

} // namespace

ConnectionParts parseConnectionUri(const QString& uri)
{
    QString rest;
    for (const QLatin1String scheme : {QLatin1String("postgresql://"), QLatin1String("postgres://")})
        if (uri.startsWith(scheme))
            rest = uri.mid(scheme.size());
    if (rest.isNull())
        throw UsageError("a connection URI begins with postgresql:// or postgres://");

    ConnectionParts parts;
    QString query;
    if (const qsizetype mark = rest.indexOf(u'?'); mark >= 0) {
        query = rest.mid(mark + 1);
        rest.truncate(mark);
    }
    QString authority = rest;
    if (const qsizetype slash = rest.indexOf(u'/'); slash >= 0) {
        authority = rest.left(slash);
        parts.dbname = nonEmpty(percentDecoded(rest.mid(slash + 1), "database name"));
    }
    if (const qsizetype at = authority.lastIndexOf(u'@'); at >= 0) {
        const QString userInfo = authority.left(at);
        authority = authority.mid(at + 1);
        const qsizetype colon = userInfo.indexOf(u':');
        parts.user = nonEmpty(percentDecoded(colon < 0 ? userInfo : userInfo.left(colon), "user name"));
        if (colon >= 0)
            parts.password = percentDecoded(userInfo.mid(colon + 1), "password");
    }
    if (authority.contains(u','))
        throw UsageError("a URI with several hosts is not supported");
    QString host = authority;
    QString port;
    if (authority.startsWith(u'[')) {
        const qsizetype close = authority.indexOf(u']');
        if (close < 0)
            throw UsageError("the IPv6 host in the URI has no closing ]");
        host = authority.mid(1, close - 1);
        const QString after = authority.mid(close + 1);
        if (!after.isEmpty() && !after.startsWith(u':'))
            throw UsageError("unexpected text after the IPv6 host in the URI");
        port = after.mid(1);
    } else if (const qsizetype colon = authority.lastIndexOf(u':'); colon >= 0) {
        host = authority.left(colon);
        port = authority.mid(colon + 1);
    }
    parts.host = nonEmpty(percentDecoded(host, "host"));
    parts.port = nonEmpty(percentDecoded(port, "port"));

    if (!query.isEmpty()) {
        for (const QString& pair : query.split(u'&')) {
            const qsizetype equals = pair.indexOf(u'=');
            if (equals < 0)
                throw UsageError("the URI parameter \"" + pair.toStdString() + "\" has no value");
            setFromQuery(parts, percentDecoded(pair.left(equals), "parameters"),
                         percentDecoded(pair.mid(equals + 1), "parameters"));
        }
    }
    return parts;
}

std::optional<QString> passwordFromFile(const QString& fileText, const QString& host, const QString& port,
                                        const QString& dbname, const QString& user)
{
    const QString wanted[] = {host, port, dbname, user};
    for (QStringView line : QStringView(fileText).split(u'\n')) {
        if (line.endsWith(u'\r'))
            line.chop(1);
        if (line.isEmpty() || line.startsWith(u'#'))
            continue;
        const QStringList fields = passwordFileFields(line);
        if (fields.size() < 5)
            continue;
        bool matches = true;
        for (int i = 0; i < 4 && matches; ++i)
            matches = fields[i] == u"*" || fields[i] == wanted[i];
        if (matches)
            return fields[4];
    }
    return std::nullopt;
}

PasswordFile readPasswordFile(const QMap<QString, QString>& environment)
{
    PasswordFile file;
    const std::optional<QString> named = fromEnvironment(environment, "PGPASSFILE");
    if (named) {
        file.path = *named;
    } else {
#ifdef Q_OS_WIN
        // Where libpq looks on Windows, so that psql's file serves here too; without the folder, as
        // libpq, none.
        const std::optional<QString> appData = fromEnvironment(environment, "APPDATA");
        if (!appData)
            return file;
        file.path = QDir::toNativeSeparators(*appData + QStringLiteral("/postgresql/pgpass.conf"));
#else
        const std::optional<QString> home = fromEnvironment(environment, "HOME");
        file.path = (home ? *home : QDir::homePath()) + QStringLiteral("/.pgpass");
#endif
    }
    const QFileInfo info(file.path);
    if (!info.exists())
        return file;
    if (!info.isFile()) {
        file.warning = QStringLiteral("password file \"%1\" is not a plain file").arg(file.path);
        return file;
    }
#ifndef Q_OS_WIN
    // A password that others can read is as good as published: libpq refuses such a file too.
    const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup |
                                            QFileDevice::ExeGroup | QFileDevice::ReadOther |
                                            QFileDevice::WriteOther | QFileDevice::ExeOther;
    if (info.permissions() & others) {
        file.warning = QStringLiteral("password file \"%1\" has group or world access; permissions should be "
                                      "u=rw (0600) or less")
                           .arg(file.path);
        return file;
    }
#endif
    QFile reader(file.path);
    if (reader.open(QIODevice::ReadOnly))
        file.text = QString::fromUtf8(reader.readAll());
    return file;
}

ConnectionParts resolveConnection(const ConnectionParts& given, const ConnectionParts& uri,
                                  const QMap<QString, QString>& environment, const QString& loginName)
{
    ConnectionParts out;
    out.host =
        first(given.host, uri.host, fromEnvironment(environment, "PGHOST"), QStringLiteral("localhost"));
    out.port = first(given.port, uri.port, fromEnvironment(environment, "PGPORT"), QStringLiteral("5432"));
    out.user = first(given.user, uri.user, fromEnvironment(environment, "PGUSER"), loginName);
    out.dbname = first(given.dbname, uri.dbname, fromEnvironment(environment, "PGDATABASE"), *out.user);
    if (given.password)
        out.password = given.password;
    else if (uri.password)
        out.password = uri.password;
    else
        out.password = fromEnvironment(environment, "PGPASSWORD");
    return out;
}

db::ConnectionDetails toDetails(const ConnectionParts& parts)
{
    return {parts.host.value_or(QString()), parts.port.value_or(QString()), parts.user.value_or(QString()),
            parts.password.value_or(QString()), parts.dbname.value_or(QString())};
}

} // namespace quarvel::cli
