#include "engine/ReplacementLog.h"

#include "core/Identity.h"
#include "engine/CodePage.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QLocale>
#include <QStandardPaths>

#ifndef Q_OS_WIN
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
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

// Characters that a viewer may take for the end of a line, or that could rewrite what a terminal shows.
bool isEscaped(char16_t c)
{
    return c < 0x20 || (c >= 0x7f && c <= 0x9f) || c == 0x2028 || c == 0x2029;
}

bool wouldReadAsAnEscape(char16_t next)
{
    return next == u'\\' || next == u'n' || next == u'r' || next == u't' || next == u'x' || next == u'u' ||
           isEscaped(next);
}

// Table and column names come from the database and the texts from the user or a set file: any of them
// can hold a line break, and one replacement must stay one line.
QString escapedForLog(const QString& text)
{
    const auto plain = [](QChar c) { return c != u'\\' && !isEscaped(c.unicode()); };
    if (std::all_of(text.cbegin(), text.cend(), plain))
        return text;
    QString out;
    out.reserve(text.size() + 8);
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        if (c == u'\n') {
            out += QLatin1String("\\n");
        } else if (c == u'\r') {
            out += QLatin1String("\\r");
        } else if (c == u'\t') {
            out += QLatin1String("\\t");
        } else if (isEscaped(c)) {
            const bool small = c <= 0xff;
            out += QLatin1String(small ? "\\x" : "\\u") +
                   QString::number(c, 16).rightJustified(small ? 2 : 4, u'0');
        } else {
            if (c == u'\\' && i + 1 < text.size() && wouldReadAsAnEscape(text.at(i + 1).unicode()))
                out += u'\\';
            out += QChar(c);
        }
    }
    return out;
}

QString privateCacheFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) + u'/' +
           QLatin1String(identity::ProductName);
}

[[noreturn]] void refuse(const QString& what, const QString& path, const QString& why)
{
    throw std::runtime_error((what + u' ' + path + QStringLiteral(": ") + why).toStdString());
}

#ifndef Q_OS_WIN
QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// The cache folder is ours: it is created private, and one left open (an older version, a copy) is
// narrowed. Anything else standing at its place is refused rather than written into.
void makePrivateFolder(const QString& folder)
{
    const QByteArray path = QFile::encodeName(folder);
    struct stat info = {};
    if (::lstat(path.constData(), &info) != 0) {
        QDir().mkpath(QFileInfo(folder).absolutePath());
        if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST)
            refuse(QStringLiteral("Cannot create the folder of the replacement log"), folder,
                   systemError(errno));
        if (::lstat(path.constData(), &info) != 0)
            refuse(QStringLiteral("Cannot create the folder of the replacement log"), folder,
                   systemError(errno));
    }
    if (!S_ISDIR(info.st_mode) || info.st_uid != ::geteuid())
        refuse(QStringLiteral("Cannot use the folder of the replacement log"), folder,
               QStringLiteral("it is not a folder of this user's own"));
    if ((info.st_mode & 077) != 0 && ::chmod(path.constData(), 0700) != 0)
        refuse(QStringLiteral("Cannot make the folder of the replacement log private"), folder,
               systemError(errno));
}

// O_NOFOLLOW: a link planted at the log's place would make the run extend or create whatever it points
// to. O_NONBLOCK: a FIFO without a reader would otherwise hang the run in open().
int openLog(const QString& path)
{
    const QByteArray name = QFile::encodeName(path);
    const QString what = QStringLiteral("Cannot open the replacement log");
    const int fd =
        ::open(name.constData(),
               O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
    if (fd < 0) {
        const int error = errno;
        struct stat info = {};
        if (error == ELOOP && ::lstat(name.constData(), &info) == 0 && S_ISLNK(info.st_mode))
            refuse(what, path,
                   QStringLiteral("it is a symbolic link, and the log is never written through one"));
        if (error == ENXIO || error == EISDIR)
            refuse(what, path, QStringLiteral("it is not a regular file"));
        refuse(what, path, systemError(error));
    }
    struct stat info = {};
    QString problem;
    if (::fstat(fd, &info) != 0)
        problem = systemError(errno);
    else if (!S_ISREG(info.st_mode))
        problem = QStringLiteral("it is not a regular file");
    else if (info.st_uid != ::geteuid())
        problem = QStringLiteral("it belongs to another user");
    if (!problem.isEmpty()) {
        ::close(fd);
        refuse(what, path, problem);
    }
    return fd;
}

void writeLog(const QString& path, const QByteArray& bytes)
{
    const int fd = openLog(path);
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : EIO;
            // A line cut short would run into the next one written once there is room again.
            const qsizetype whole = done > 0 ? bytes.lastIndexOf('\n', done - 1) + 1 : 0;
            const off_t end = ::lseek(fd, 0, SEEK_CUR);
            if (whole < done && end >= done - whole)
                (void)::ftruncate(fd, end - (done - whole));
            ::close(fd);
            throw LogWriteError((QStringLiteral("Cannot write to the replacement log ") + path +
                                 QStringLiteral(": ") + systemError(error))
                                    .toStdString(),
                                bytes.left(whole).count('\n'));
        }
        done += n;
    }
    if (::close(fd) != 0)
        refuse(QStringLiteral("Cannot write to the replacement log"), path, systemError(errno));
}
#else
void makePrivateFolder(const QString& folder)
{
    QDir().mkpath(folder);
}

// Windows has no O_NOFOLLOW for QFile: links and junctions are refused before the file is opened.
void writeLog(const QString& path, const QByteArray& bytes)
{
    const QString what = QStringLiteral("Cannot open the replacement log");
    const QFileInfo info(path);
    if (info.isSymbolicLink() || info.isJunction())
        refuse(what, path, QStringLiteral("it is a symbolic link, and the log is never written through one"));
    if (info.exists() && !info.isFile())
        refuse(what, path, QStringLiteral("it is not a regular file"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        refuse(what, path, file.errorString());
    if (file.write(bytes) != bytes.size() || !file.flush())
        refuse(QStringLiteral("Cannot write to the replacement log"), path, file.errorString());
    file.close();
}
#endif
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
    return stampedLogLine(logTimestamp(when), find, replacement, table, field);
}

QString stampedLogLine(const QString& timestamp, const QString& find, const QString& replacement,
                       const QString& table, const QString& field)
{
    return u'[' + timestamp + QStringLiteral("] - ") + escapedForLog(find) +
           QStringLiteral(" was replace to ") + escapedForLog(replacement) + QStringLiteral(" at table (") +
           escapedForLog(table) + QStringLiteral(") and column (") + escapedForLog(field) + u')';
}

QString logFolder()
{
    QString temp = qEnvironmentVariable("TEMP");
    if (!temp.isEmpty())
        return temp;
    // Not the runtime folder, private as it is: it is emptied at logout, and the log is the user's
    // record of what every run changed.
    return QDir::toNativeSeparators(privateCacheFolder());
}

// With the system's own separators, as TEMP has them: the path is shown in messages.
QString logFilePath()
{
    return QDir::toNativeSeparators(QDir(logFolder()).filePath(QLatin1String(LogFileName)));
}

void AppendLogLine(const QString& line)
{
    AppendLogLines(QStringList{line});
}

void AppendLogLines(const QStringList& lines)
{
    QByteArray bytes;
    // A batch's lines are mostly a few lines over and over (one per column and pair): each is checked
    // and encoded once.
    QHash<QString, QByteArray> encoded;
    for (const QString& line : lines) {
        auto known = encoded.constFind(line);
        if (known == encoded.cend()) {
            if (std::any_of(line.cbegin(), line.cend(), [](QChar c) { return isEscaped(c.unicode()); }))
                throw std::runtime_error(
                    "A replacement log line cannot hold a line break or another control character");
            known = encoded.insert(line, toAnsi(line) + "\r\n");
        }
        bytes += *known;
    }
    if (bytes.isEmpty())
        return;
    const QString folder = logFolder();
    if (qEnvironmentVariable("TEMP").isEmpty())
        makePrivateFolder(folder);
    writeLog(logFilePath(), bytes);
}

} // namespace quarvel::engine
