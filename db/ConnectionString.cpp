#include "core/DriverCheck.h"
#include "db/Database.h"

#include <stdexcept>

namespace quarvel::db {

namespace {
const QString NoPlaceFor = QStringLiteral("The %1 \"%2\" cannot be passed to the PostgreSQL ODBC driver: %3");

// psqlODBC splits the string at every ';' before it looks at braces, and reads a value that begins with
// '{' as braced: it then searches on for a closing brace, across the keywords that follow. It takes the
// braces off the password only; every other value keeps them, so bracing a name would send a different
// name. What is left is to pass a name bare, and to refuse one the bare form would cut or run on from.
// The database is the last keyword, so a leading '{' there has nothing after it to run into.
QString bareValueProblem(const QString& label, const QString& text, bool last)
{
    if (text.contains(u';'))
        return NoPlaceFor.arg(label, text, QStringLiteral("it holds \";\""));
    if (!last && text.startsWith(u'{'))
        return NoPlaceFor.arg(label, text, QStringLiteral("it begins with \"{\""));
    return {};
}

// The driver reads a bare password as URL-encoded ('+' becomes a blank, "%41" an 'A'), so a password
// with those is braced too. Only a password that needs it is braced, so that ordinary details give the
// same bytes as always.
QString passwordValue(const QString& text)
{
    const bool needsBraces = text.contains(u';') || text.contains(u'{') || text.contains(u'}') ||
                             text.contains(u'+') || text.contains(u'%') || text.startsWith(u' ') ||
                             text.endsWith(u' ');
    if (!needsBraces)
        return text;
    QString braced = text;
    braced.replace(u'}', QStringLiteral("}}"));
    return u'{' + braced + u'}';
}
} // namespace

QString connectionDetailsProblem(const ConnectionDetails& details)
{
    for (const QString& problem : {bareValueProblem(QStringLiteral("server"), details.server, false),
                                   bareValueProblem(QStringLiteral("port"), details.port, false),
                                   bareValueProblem(QStringLiteral("user name"), details.user, false),
                                   bareValueProblem(QStringLiteral("database name"), details.database, true)})
        if (!problem.isEmpty())
            return problem;
    return {};
}

QString BuildConnectionString(const ConnectionDetails& details)
{
    const QString problem = connectionDetailsProblem(details);
    if (!problem.isEmpty())
        throw std::runtime_error(problem.toStdString());
    // The name the driver is registered under: on Windows the 64-bit psqlODBC may have registered it as
    // "PostgreSQL Unicode(x64)" alone.
    return QStringLiteral("Driver={") + driver::connectionDriverName() + QStringLiteral("};Server=") +
           details.server + QStringLiteral(";Port=") + details.port + QStringLiteral(";Uid=") + details.user +
           QStringLiteral(";Pwd=") + passwordValue(details.password) + QStringLiteral(";Database=") +
           details.database;
}

} // namespace quarvel::db
