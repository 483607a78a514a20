#include "engine/ReplacementLog.h"

#include "engine/CodePage.h"

#include <QDir>
#include <QFile>
#include <QLocale>

#include <stdexcept>

namespace quarvel::engine {

namespace {
// Qt's long time format names the time zone ("t"); the log line has none. Removes unquoted 't' runs
// and the blanks they leave behind.
QString longTimeFormatWithoutZone()
{
    const QString format = QLocale::system().timeFormat(QLocale::LongFormat);
    QString out;
    bool quoted = false;
    for (const QChar c : format) {
        if (c == u'\'')
            quoted = !quoted;
        if (!quoted && c == u't')
            continue;
        out.append(c);
    }
    return out.simplified();
}
} // namespace

QString logTimestamp(const QDateTime& when)
{
    const QLocale locale = QLocale::system();
    return locale.toString(when.date(), QLocale::ShortFormat) + u' ' +
           locale.toString(when.time(), longTimeFormatWithoutZone());
}

QString logLine(const QDateTime& when, const QString& find, const QString& replacement, const QString& table,
                const QString& field)
{
    return u'[' + logTimestamp(when) + QStringLiteral("] - ") + find + QStringLiteral(" was replace to ") +
           replacement + QStringLiteral(" at table (") + table + QStringLiteral(") and column (") + field +
           u')';
}

QString logFolder()
{
    const QString temp = qEnvironmentVariable("TEMP");
    return temp.isEmpty() ? QDir::tempPath() : temp;
}

QString logFilePath()
{
    return QDir(logFolder()).filePath(QLatin1String(LogFileName));
}

void AppendLogLine(const QString& line)
{
    const QString path = logFilePath();
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        throw std::runtime_error(
            ("Cannot open the replacement log " + path + ": " + file.errorString()).toStdString());
    const QByteArray bytes = toAnsi(line) + "\r\n";
    if (file.write(bytes) != bytes.size() || !file.flush())
        throw std::runtime_error(
            ("Cannot write to the replacement log " + path + ": " + file.errorString()).toStdString());
    file.close();
}

} // namespace quarvel::engine
