#pragma once
// The replacement log "backups.log": one line per pair that matched one field of one record.

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <stdexcept>

namespace quarvel::engine {

inline constexpr char LogFileName[] = "backups.log";

// "[<date and time>] - <find> was replace to <replacement> at table (<table>) and column (<field>)"
//
// One replacement is always one line, whatever the four texts hold: in each of them a control character
// (U+0000-U+001F, U+007F-U+009F) and the line and paragraph separators U+2028 and U+2029 are written as
// "\n", "\r", "\t", or else "\xHH" or "\uHHHH" with the code point in lower-case hex. A backslash stays a
// single backslash unless what follows it would make it read as one of these escapes (a backslash, an
// 'n', 'r', 't', 'x' or 'u', or an escaped character); then it is written "\\". So a text without
// control characters is written as it is (a path such as C:\data included), and reading the line back is
// unambiguous: "\\" is a backslash, the escapes above are their characters, and any other backslash is
// itself.
QString logLine(const QDateTime& when, const QString& find, const QString& replacement, const QString& table,
                const QString& field);
// The same line with the timestamp already made (logTimestamp), for many lines of one moment.
QString stampedLogLine(const QString& timestamp, const QString& find, const QString& replacement,
                       const QString& table, const QString& field);

// The locale's short date, a space, and its long time without a time-zone name.
QString logTimestamp(const QDateTime& when);

// The folder named by TEMP when it is set and not empty: the user chose it. Otherwise a folder private to
// the user that outlives the session, never one that every user shares: "Quarvel" in the user's cache
// folder (AppendLogLine creates it with mode 0700).
QString logFolder();
QString logFilePath();

// Opens the log for appending, writes the line in the 8-bit code page with CR LF, and closes it again.
// A new log is created readable and writable by its owner only (0600); an existing one keeps its rights.
// Throws std::runtime_error naming the path when it cannot, and also, without writing anything, when the
// log is a symbolic link (dangling or not), is not a regular file (a FIFO, a device, a folder), belongs to
// another user, when the private folder is not this user's own, or when the line holds a character that
// logLine escapes (a line break would start a second line).
void AppendLogLine(const QString& line);

// A log that took only the first linesWritten() lines, each of them whole.
class LogWriteError : public std::runtime_error
{
public:
    LogWriteError(const std::string& what, qsizetype linesWritten)
        : std::runtime_error(what), m_linesWritten(linesWritten)
    {}
    qsizetype linesWritten() const { return m_linesWritten; }

private:
    qsizetype m_linesWritten;
};

// The same for several lines at once, in their order, with one opening of the log: a run that finds
// thousands of matches in one batch would otherwise spend more time opening the log than changing data.
// All of the lines are checked before any is written. A log that fills up part way keeps the lines
// written whole (a line cut short is taken back out) and throws LogWriteError saying how many.
void AppendLogLines(const QStringList& lines);

} // namespace quarvel::engine
