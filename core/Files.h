#pragma once
// File-system helpers shared by the windows and the set files.

#include <QString>

namespace quarvel::files {

// True when the path names an existing file or folder. Never throws; false for an empty, malformed
// or unreachable path.
bool FileExists(const QString& path) noexcept;

// The folder of the running program, without a trailing separator.
QString programFolder();

// Where the side files of a program in programFolder live. A program installed as <prefix>/bin/quarvel
// finds them in <prefix>/share/quarvel, since the system's file layout keeps data out of bin; a program
// anywhere else (a build tree, an unpacked folder) finds them beside itself, and so does one in a bin
// folder that has no such data folder next to it.
QString sideFileFolderFor(const QString& programFolder);

// The data folder that an installed program uses, relative to its program folder.
inline constexpr char InstalledDataFolder[] = "../share/quarvel";

// A side file of the program folder. The names are written the way the tool has always named them,
// with a leading backslash and backslashes between folders ("\\x\\o.cjs"); they are turned into this
// platform's separators here.
QString sideFilePath(const QString& backslashName);
QString sideFilePath(const QString& folder, const QString& backslashName);

inline constexpr char HandCursorName[] = "\\HAND-M.CUR";
inline constexpr char SkinFileName[] = "\\x\\o.cjs";

} // namespace quarvel::files
