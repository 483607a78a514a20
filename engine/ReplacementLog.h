#pragma once
// The replacement log "backups.log": one line per pair that matched one field of one record.

#include <QDateTime>
#include <QString>

namespace quarvel::engine {

inline constexpr char LogFileName[] = "backups.log";

// "[<date and time>] - <find> was replace to <replacement> at table (<table>) and column (<field>)"
QString logLine(const QDateTime& when, const QString& find, const QString& replacement, const QString& table,
                const QString& field);

// The locale's short date, a space, and its long time without a time-zone name.
QString logTimestamp(const QDateTime& when);

// The folder named by TEMP; where TEMP is unset or empty, the platform's temporary folder.
QString logFolder();
QString logFilePath();

// Opens the log for appending (creating it), writes the line in the 8-bit code page with CR LF, and
// closes it again. Throws std::runtime_error naming the path when it cannot.
void AppendLogLine(const QString& line);

} // namespace quarvel::engine
