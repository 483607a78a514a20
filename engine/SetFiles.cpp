#include "engine/SetFiles.h"

#include "core/Files.h"
#include "engine/CodePage.h"

#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QStringDecoder>

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <vector>

namespace quarvel::engine {

namespace {

QString grouped(qint64 number)
{
    return QLocale(QLocale::English, QLocale::UnitedStates).toString(number);
}

[[noreturn]] void fail(const QString& message)
{
    throw SetFileError(message.toStdString());
}

std::filesystem::file_status statusOf(const QString& path)
{
    std::error_code ignored;
    return std::filesystem::status(std::filesystem::path(path.toStdU16String()), ignored);
}

// Calls visit(line) for each line of the text cut at line feeds, while it returns true; a text without
// line feeds is one line and a line feed at the very end gives a last, empty line. The lines are views
// into the text, so a file of millions of short lines is never copied line by line.
template <class Visit> void forEachLine(QStringView text, Visit&& visit)
{
    qsizetype start = 0;
    while (true) {
        const qsizetype end = text.indexOf(u'\n', start);
        if (end < 0) {
            visit(text.sliced(start));
            return;
        }
        if (!visit(text.sliced(start, end - start)))
            return;
        start = end + 1;
    }
}

bool givesSet(QStringView line, QStringView separator)
{
    return !line.isEmpty() && line.contains(separator);
}

QByteArray utf16WithMark(const QString& text)
{
    QStringEncoder encoder(QStringConverter::Utf16LE, QStringConverter::Flag::WriteBom);
    return encoder(text);
}

// A last single byte completes no code unit: the decoder keeps it waiting, and it is dropped. The mark
// is already taken off: a U+FEFF after it is text and stays.
QString fromUtf16LittleEndian(const char* data, qsizetype bytes)
{
    QStringDecoder decoder(QStringConverter::Utf16LE, QStringConverter::Flag::ConvertInitialBom);
    return decoder(QByteArrayView(data, bytes));
}

// What Windows editors put before UTF-8 text; the reader drops it.
constexpr char Utf8Mark[] = "\xEF\xBB\xBF";

bool isUtf16(const QByteArray& bytes)
{
    return !bytes.isEmpty() && (uchar(bytes.at(0)) == 0xFF || uchar(bytes.at(0)) == 0xFE);
}

// Text in UTF-8 or the code page never holds a NUL byte; a file that does is UTF-16 without its mark or
// no text at all, and either way it would load as garbage.
bool isReadable(const QByteArray& bytes)
{
    return isUtf16(bytes) || !bytes.contains('\0');
}

bool hasNonAscii(const QByteArray& bytes)
{
    return std::any_of(bytes.begin(), bytes.end(), [](char c) { return uchar(c) >= 0x80; });
}

// The lead bytes of UTF-8 and what follows each: how many continuation bytes, and the range of the
// first of them, which is where overlongs, surrogates and code points past U+10FFFF are shut out.
struct LeadByte
{
    uchar first;
    uchar last;
    int following;
    uchar low;
    uchar high;
};
constexpr LeadByte LeadBytes[] = {
    {0xC2, 0xDF, 1, 0x80, 0xBF}, {0xE0, 0xE0, 2, 0xA0, 0xBF}, {0xE1, 0xEC, 2, 0x80, 0xBF},
    {0xED, 0xED, 2, 0x80, 0x9F}, {0xEE, 0xEF, 2, 0x80, 0xBF}, {0xF0, 0xF0, 3, 0x90, 0xBF},
    {0xF1, 0xF3, 3, 0x80, 0xBF}, {0xF4, 0xF4, 3, 0x80, 0x8F},
};

// UTF-8 to the letter: no overlong form, no surrogate, nothing past U+10FFFF, no sequence cut short. Only
// such bytes are taken for UTF-8 without a mark; a code page file almost never passes, since its accented
// letters stand alone where UTF-8 wants them followed by continuation bytes.
bool isStrictUtf8(const QByteArray& bytes)
{
    const auto* data = reinterpret_cast<const uchar*>(bytes.constData());
    const qsizetype size = bytes.size();
    qsizetype i = 0;
    while (i < size) {
        const uchar lead = data[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        const auto* kind =
            std::find_if(std::cbegin(LeadBytes), std::cend(LeadBytes),
                         [lead](const LeadByte& k) { return lead >= k.first && lead <= k.last; });
        if (kind == std::cend(LeadBytes))
            return false;
        if (size - i <= kind->following || data[i + 1] < kind->low || data[i + 1] > kind->high)
            return false;
        for (int k = 2; k <= kind->following; ++k)
            if ((data[i + k] & 0xC0) != 0x80)
                return false;
        i += kind->following + 1;
    }
    return true;
}

QString fromUtf8(const QByteArray& bytes)
{
    // The mark has been dropped already: a second one is the text's own character.
    QStringDecoder decoder(QStringConverter::Utf8,
                           QStringConverter::Flag::Stateless | QStringConverter::Flag::ConvertInitialBom);
    return decoder(bytes);
}

// The text of a file's bytes by the reading rules; the bytes must be readable. UTF-8 is taken only when
// it is marked or when the bytes could be nothing else: pure ASCII reads the same either way, and
// anything that is not strict UTF-8 stays in the code page, as files always were.
QString textOf(const QByteArray& bytes)
{
    if (isUtf16(bytes))
        return fromUtf16LittleEndian(bytes.constData() + 2, qMax<qsizetype>(0, bytes.size() - 2));
    if (bytes.startsWith(Utf8Mark))
        return fromUtf8(bytes.sliced(3));
    if (hasNonAscii(bytes) && isStrictUtf8(bytes))
        return fromUtf8(bytes);
    return fromAnsi(bytes);
}

QString quoted(const Set& set)
{
    return QStringLiteral("(\"%1\" \u2192 \"%2\")").arg(set.find, set.replacement);
}

bool holdsLineBreak(const QString& text)
{
    return text.contains(u'\r') || text.contains(u'\n');
}

QByteArray readWhole(const QString& path)
{
    const auto status = statusOf(path);
    if (std::filesystem::is_directory(status))
        fail(QStringLiteral("Cannot read %1: it is a folder, not a file.").arg(path));
    // Devices and pipes can block or never end; a set file is always a plain file.
    if (!std::filesystem::is_regular_file(status))
        fail(QStringLiteral("Cannot read %1: it is not a regular file.").arg(path));

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        fail(QStringLiteral("Cannot read %1: %2").arg(path, file.errorString()));
    const auto tooLarge = [&] {
        fail(QStringLiteral("Cannot read %1: it holds more than %2 bytes, too many for a set file.")
                 .arg(path, grouped(MaxSetFileBytes)));
    };
    if (file.size() > MaxSetFileBytes)
        tooLarge();
    QByteArray bytes;
    bytes.reserve(file.size());
    // Read to the end rather than trusting the size, which may change while reading, but never past
    // the limit.
    std::vector<char> chunk(1 << 20);
    while (true) {
        const qint64 got = file.read(chunk.data(), qint64(chunk.size()));
        if (got < 0)
            fail(QStringLiteral("Cannot read %1: %2").arg(path, file.errorString()));
        if (got == 0)
            break;
        if (bytes.size() + got > MaxSetFileBytes)
            tooLarge();
        bytes.append(chunk.data(), got);
    }
    return bytes;
}

} // namespace

Set cutAtSeparator(QStringView text, QStringView separator)
{
    const qsizetype first = separator.isEmpty() ? -1 : text.indexOf(separator);
    if (first < 0)
        return {text.toString(), QString()};
    const qsizetype secondStart = first + separator.size();
    const qsizetype second = text.indexOf(separator, secondStart);
    const qsizetype secondEnd = second < 0 ? text.size() : second;
    return {text.first(first).toString(), text.sliced(secondStart, secondEnd - secondStart).toString()};
}

QByteArray setFileBytes(const QList<Set>& sets)
{
    QString text;
    for (const Set& set : sets)
        text += set.find + QLatin1String(SetSeparator) + set.replacement + QLatin1String("\r\n");
    if (text.isEmpty())
        return {};
    bool lossless = false;
    QByteArray ansi = toAnsi(text, &lossless);
    // The code page bytes are kept only when the reader takes them back for the same text: they might
    // begin like a UTF-16 or UTF-8 mark, hold a NUL, or happen to be valid UTF-8 ("\xC3\xA9" written
    // for two letters would come back as one).
    if (lossless && isReadable(ansi) && textOf(ansi) == text)
        return ansi;
    return utf16WithMark(text);
}

QString saveRefusal(const QList<Set>& sets)
{
    const QString separator = QLatin1String(SetSeparator);
    for (qsizetype k = 0; k < sets.size(); ++k) {
        const Set& set = sets.at(k);
        if (holdsLineBreak(set.find) || holdsLineBreak(set.replacement))
            return QStringLiteral("Set %1 %2 holds a carriage return or line feed, which a set file cannot "
                                  "keep within one line. Nothing was saved.")
                .arg(QString::number(k + 1), quoted(set));
        // An empty find text or a replacement that begins with ':' still comes back whole; only what
        // the reader would cut differently is refused.
        const Set back = cutAtSeparator(set.find + separator + set.replacement, separator);
        if (back != set)
            return QStringLiteral("Set %1 %2 would load back from a set file as %3, because \"::\" "
                                  "separates the find text from the replacement text there. Nothing was "
                                  "saved.")
                .arg(QString::number(k + 1), quoted(set), quoted(back));
    }
    return {};
}

bool WriteSetFile(Prompts& prompts, const QString& path, const SetLists& lists)
{
    const QList<Set> sets = lists.sets();
    // Refused before the overwrite question: a Yes would only lead to the same refusal.
    const QString refusal = saveRefusal(sets);
    if (!refusal.isEmpty()) {
        prompts.message(refusal);
        return false;
    }
    if (files::FileExists(path) && !prompts.askYesNo(QStringLiteral("Are you sure you wish to overwrite ") +
                                                     path + QStringLiteral(" ?")))
        return false;
    // Everything that can fail before the file is touched is done first.
    const QByteArray bytes = setFileBytes(sets);
    const auto status = statusOf(path);
    if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status))
        fail(QStringLiteral("Cannot write the set file %1: it is not a file.").arg(path));

    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        fail(QStringLiteral("Cannot write the set file %1: %2").arg(path, file.errorString()));
    if (file.write(bytes) != bytes.size() || !file.flush())
        fail(QStringLiteral("Cannot write the set file %1: %2").arg(path, file.errorString()));
    file.close();
    if (file.error() != QFileDevice::NoError)
        fail(QStringLiteral("Cannot write the set file %1: %2").arg(path, file.errorString()));
    return true;
}

bool blankOnly(const QString& text)
{
    return std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c == u' '; });
}

bool isFileToLoad(const QString& path)
{
    return files::FileExists(path) && !QFileInfo(path).isDir();
}

TextFile ReadTextFile(const QString& path)
{
    if (!files::FileExists(path))
        return {};
    const QByteArray bytes = readWhole(path);
    if (bytes.isEmpty())
        return {QString(), true};
    if (!isReadable(bytes))
        fail(QStringLiteral("Cannot read %1: it holds NUL bytes, so it is not text in UTF-8 or the ANSI "
                            "code page, and it does not begin with the UTF-16 byte-order mark (FF FE). If "
                            "it is UTF-16 text, save it again with a byte-order mark, or as UTF-8.")
                 .arg(path));
    return {textOf(bytes), false};
}

QList<Set> setsFromText(const TextFile& file, const QString& separator)
{
    QList<Set> out;
    if (file.emptyFile || separator.isEmpty())
        return out;
    QString text = file.text;
    text.remove(u'\r');
    forEachLine(text, [&](QStringView line) {
        if (givesSet(line, separator))
            out.append(cutAtSeparator(line, separator));
        return true;
    });
    return out;
}

QString tooManySetsMessage(qsizetype setsInFile, int setsInLists)
{
    return QStringLiteral(
               "No sets were loaded. The file gives %1 sets and the lists already hold %2; together "
               "that is more than %3, the most the lists can hold.")
        .arg(grouped(setsInFile), grouped(setsInLists), grouped(MaxSets));
}

void LoadSetsFromText(Procedure& p, SetLists& lists, const TextFile& file, const QString& separator)
{
    // A file of length 0 gives no sets; an empty separator would cut between every character, and the
    // dialog refuses it before this point.
    if (file.emptyFile || separator.isEmpty())
        return;

    QString text = file.text;
    p.step(108, [&] { text.remove(u'\r'); });

    // The lines are walked in place; cutting them here means knowing how many there are.
    int lineCount = 0;
    p.step(110, [&] { lineCount = int(text.count(u'\n') + 1); });

    QString refusal;
    const int walkCount = p.loopCount(112, [&] {
        // Counted before anything is appended, so that a file that does not fit is refused whole.
        qsizetype setsInFile = 0;
        forEachLine(text, [&](QStringView line) {
            setsInFile += givesSet(line, separator) ? 1 : 0;
            return true;
        });
        const int held = lists.count();
        if (held + setsInFile > MaxSets)
            refusal = tooManySetsMessage(setsInFile, held);
        return lineCount;
    });
    if (!refusal.isEmpty()) {
        p.prompts().message(refusal);
        return;
    }

    int walked = 0;
    forEachLine(text, [&](QStringView line) {
        if (walked++ >= walkCount)
            return false;
        if (!p.test(114, [&] { return !line.isEmpty(); }))
            return true;
        if (!p.test(116, [&] { return line.contains(separator); }))
            return true;
        Set set;
        // A line that could not be cut gives no set rather than an empty one.
        if (!p.step(118, [&] { set = cutAtSeparator(line, separator); }))
            return true;
        p.step(120, [&] { lists.append(set); });
        // 122 (the replacement text) goes in with the find text at 120; 124 is the loop's next line.
        return true;
    });
}

} // namespace quarvel::engine
