#include "engine/SetFiles.h"

#include "app/Files.h"
#include "engine/CodePage.h"

#include <QFile>
#include <QLocale>
#include <QtEndian>

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

// Calls visit(line) for each line of the text cut at line feeds; a text without line feeds is one line
// and a line feed at the very end gives a last, empty line. The lines are views into the text, so a
// file of millions of short lines is never copied line by line.
template <class Visit> void forEachLine(QStringView text, Visit&& visit)
{
    qsizetype start = 0;
    while (true) {
        const qsizetype end = text.indexOf(u'\n', start);
        if (end < 0) {
            visit(text.sliced(start));
            return;
        }
        visit(text.sliced(start, end - start));
        start = end + 1;
    }
}

bool givesSet(QStringView line, QStringView separator)
{
    return !line.isEmpty() && line.contains(separator);
}

QByteArray utf16WithMark(const QString& text)
{
    QByteArray out(2 + text.size() * 2, Qt::Uninitialized);
    out[0] = char(0xFF);
    out[1] = char(0xFE);
    qToLittleEndian<char16_t>(text.utf16(), text.size(), out.data() + 2);
    return out;
}

QString fromUtf16LittleEndian(const char* data, qsizetype bytes)
{
    const qsizetype units = bytes / 2; // a last single byte completes no code unit
    QString text(units, Qt::Uninitialized);
    qFromLittleEndian<char16_t>(data, units, text.data());
    return text;
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
    const QByteArray ansi = toAnsi(text, &lossless);
    const bool looksMarked = !ansi.isEmpty() && (uchar(ansi.at(0)) == 0xFF || uchar(ansi.at(0)) == 0xFE);
    if (lossless && !looksMarked)
        return ansi;
    return utf16WithMark(text);
}

bool WriteSetFile(Prompts& prompts, const QString& path, const SetLists& lists)
{
    if (files::FileExists(path) && !prompts.askYesNo(QStringLiteral("Are you sure you wish to overwrite ") +
                                                     path + QStringLiteral(" ?")))
        return false;
    // Everything that can fail before the file is touched is done first.
    const QByteArray bytes = setFileBytes(lists.sets());
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

TextFile ReadTextFile(const QString& path)
{
    if (!files::FileExists(path))
        return {};
    const QByteArray bytes = readWhole(path);
    if (bytes.isEmpty())
        return {QString(), true};
    const uchar first = uchar(bytes.at(0));
    if (first == 0xFF || first == 0xFE)
        return {fromUtf16LittleEndian(bytes.constData() + 2, qMax<qsizetype>(0, bytes.size() - 2)), false};
    return {fromAnsi(bytes), false};
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
        forEachLine(text, [&](QStringView line) { setsInFile += givesSet(line, separator) ? 1 : 0; });
        const int held = lists.count();
        if (held + setsInFile > MaxSets)
            refusal = tooManySetsMessage(setsInFile, held);
        return lineCount;
    });
    if (!refusal.isEmpty()) {
        p.prompts().message(refusal);
        return;
    }

    const QStringView all(text);
    qsizetype start = 0;
    for (int i = 0; i < walkCount && start <= all.size(); ++i) {
        qsizetype end = all.indexOf(u'\n', start);
        if (end < 0)
            end = all.size();
        const QStringView line = all.sliced(start, end - start);
        start = end + 1;

        if (!p.test(114, [&] { return !line.isEmpty(); }))
            continue;
        if (!p.test(116, [&] { return line.contains(separator); }))
            continue;
        Set set;
        // A line that could not be cut gives no set rather than an empty one.
        if (!p.step(118, [&] { set = cutAtSeparator(line, separator); }))
            continue;
        p.step(120, [&] { lists.append(set); });
        // 122 (the replacement text) goes in with the find text at 120; 124 is the loop's next line.
    }
}

} // namespace quarvel::engine
