#pragma once
// Set files: writing the sets as "find::replacement" lines, reading a whole text file (UTF-16
// little-endian with its byte-order mark, UTF-8, or ANSI) and turning its lines into sets with any
// separator.

#include "core/Procedure.h"
#include "core/Prompts.h"
#include "engine/SetLists.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringView>

#include <stdexcept>

namespace quarvel::engine {

// A set file that cannot be read or written; the message names the file and the reason.
class SetFileError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// The separator that "Save Sets" writes and "Add Set" expects.
inline constexpr char SetSeparator[] = "::";

// Files larger than this are refused rather than read into memory.
inline constexpr qint64 MaxSetFileBytes = qint64(256) * 1024 * 1024;

// What ReadTextFile found.
struct TextFile
{
    QString text;
    // The file exists and has length 0: no text at all, which gives no sets.
    bool emptyFile = false;
};

// The first two pieces of `text` cut at every `separator` (left to right, not overlapping, exact case);
// further pieces are dropped. A text without the separator gives (text, empty). The separator must not
// be empty.
Set cutAtSeparator(QStringView text, QStringView separator);

// The bytes of a set file for the given sets: "find::replacement" CR LF per set, in order. In the
// code page (toAnsi) without a byte-order mark when every character has a place there and ReadTextFile
// takes those bytes back for the same text; otherwise, so that nothing is lost, the same text as UTF-16
// little-endian after the mark FF FE. (Code page bytes that begin with 0xFF, 0xFE or the UTF-8 mark,
// hold a NUL or happen to be valid UTF-8 would read back differently.) No sets give no bytes. The
// lines themselves are not checked here: see saveRefusal.
QByteArray setFileBytes(const QList<Set>& sets);

// Why these sets cannot be saved, naming the first set whose line would not load back with the
// separator "::" as the same set (a text holding "::", a find text ending in ':', a carriage return or
// line feed); an empty text when every set would come back the same.
QString saveRefusal(const QList<Set>& sets);

// Writes the sets to `path`. When a set would not load back the same (saveRefusal), shows why as a
// message and writes nothing, asks nothing, and the result is false. When a file or folder exists
// there, first asks "Are you sure you wish to overwrite <path> ?"; unless the answer is Yes nothing is
// written and the result is false. Throws SetFileError when the file cannot be created or written (a
// file that was created keeps what was written before the failure).
bool WriteSetFile(Prompts& prompts, const QString& path, const SetLists& lists);

// Whether a path typed into "Load Sets" is left empty: only blanks count as empty around a path, a tab
// is a character of the name like any other.
bool blankOnly(const QString& text);

// Whether `path`, exactly as typed (blanks included), names something to load: something exists there
// and it is not a folder. A device or a file without the right to read passes, and is refused when read.
bool isFileToLoad(const QString& path);

// The whole file at `path` as text. UTF-16 little-endian when its first byte is 0xFF or 0xFE (the
// first two bytes are the mark, a last odd byte is ignored); UTF-8 after the mark EF BB BF, which is
// not part of the text; UTF-8 also without the mark when the file holds bytes beyond ASCII and all of
// it is strictly valid UTF-8; the code page otherwise. No file at the path gives an empty text; a file
// of length 0 gives `emptyFile`. Throws SetFileError when something exists there but cannot be read (a
// folder, a device, no right to read, larger than MaxSetFileBytes), and when the file holds NUL bytes
// without the UTF-16 mark (UTF-16 without its mark, or no text at all).
TextFile ReadTextFile(const QString& path);

// The sets that LoadSetsFromText appends for this text: carriage returns deleted, cut at line feeds,
// one set from each line that holds the separator. Nothing for an empty file or an empty separator.
QList<Set> setsFromText(const TextFile& file, const QString& separator);

// Appends the sets of a text read by ReadTextFile, as the Load Sets dialog's "Load" does after reading
// the file. Each step is run through `p`, so a failure is reported with the dialog's line numbers:
// 108 deleting the carriage returns, 110 cutting into lines, 112 the walk over the lines, 114 the
// empty-line test, 116 the separator test, 118 cutting the line, 120 appending the set. Both texts of a
// set go in together at 120, so the lists never differ in length. When the sets would take the lists
// past MaxSets, a message says so and nothing is appended. An empty file or an empty separator appends
// nothing.
void LoadSetsFromText(Procedure& p, SetLists& lists, const TextFile& file, const QString& separator);

// The message shown when a load would take the lists past MaxSets.
QString tooManySetsMessage(qsizetype setsInFile, int setsInLists);

} // namespace quarvel::engine
