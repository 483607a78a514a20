#include "engine/CodePage.h"

#include <QStringDecoder>
#include <QStringEncoder>

#include <stdexcept>

#ifdef Q_OS_WIN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

namespace quarvel::engine {

#ifdef Q_OS_WIN

// The system's ANSI code page, through the system's own conversion, so that files read and written
// here match what every other program on the machine does with them.

namespace {

bool ansiIsUtf8()
{
    return GetACP() == CP_UTF8;
}

// No best fit: a character that has no exact place becomes '?', never a look-alike that would read back
// as a different text.
QByteArray systemBytes(const wchar_t* wide, int length, bool* usedDefault)
{
    const int needed =
        WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, length, nullptr, 0, "?", nullptr);
    if (needed <= 0)
        throw std::runtime_error("The text cannot be converted to the system's code page");
    QByteArray out(needed, Qt::Uninitialized);
    BOOL defaulted = FALSE;
    const int written =
        WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, length, out.data(), needed, "?", &defaulted);
    if (written <= 0)
        throw std::runtime_error("The text cannot be converted to the system's code page");
    out.resize(written);
    *usedDefault = defaulted != FALSE;
    return out;
}

} // namespace

QByteArray toAnsi(const QString& text, bool* lossless)
{
    if (ansiIsUtf8()) {
        QStringEncoder encoder(QStringEncoder::Utf8);
        QByteArray out = encoder(text);
        if (lossless)
            *lossless = !encoder.hasError();
        return out;
    }
    if (lossless)
        *lossless = true;
    if (text.isEmpty())
        return {};
    const auto* wide = reinterpret_cast<const wchar_t*>(text.utf16());
    bool usedDefault = false;
    QByteArray out = systemBytes(wide, static_cast<int>(text.size()), &usedDefault);
    if (!usedDefault)
        return out;
    // The system puts a '?' for each UTF-16 unit of a character it has no place for, two for one beyond
    // U+FFFF; character by character, each such character is one '?', as on every other system.
    out.clear();
    for (qsizetype i = 0; i < text.size();) {
        qsizetype width = 1;
        if (text.at(i).isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate())
            width = 2;
        bool missing = false;
        const QByteArray one = systemBytes(wide + i, static_cast<int>(width), &missing);
        out.append(missing ? QByteArray("?") : one);
        i += width;
    }
    if (lossless)
        *lossless = false;
    return out;
}

QString fromAnsi(const QByteArray& bytes)
{
    if (bytes.isEmpty())
        return {};
    if (ansiIsUtf8())
        return QString::fromUtf8(bytes);
    const int length = static_cast<int>(bytes.size());
    const int needed = MultiByteToWideChar(CP_ACP, 0, bytes.constData(), length, nullptr, 0);
    if (needed <= 0)
        return QString::fromLatin1(bytes); // never fails: each byte stands for itself
    QString out(needed, Qt::Uninitialized);
    const int written = MultiByteToWideChar(CP_ACP, 0, bytes.constData(), length,
                                            reinterpret_cast<wchar_t*>(out.data()), needed);
    out.resize(written > 0 ? written : 0);
    return out;
}

bool fitsAnsi(const QString& text)
{
    bool lossless = true;
    const QByteArray bytes = toAnsi(text, &lossless);
    return lossless && fromAnsi(bytes) == text;
}

#else

// Everywhere else the files are written in Windows-1252, the ANSI code page of the systems the files
// are traded with. The conversion is Qt's (through ICU). Its decoder gives the five bytes that 1252
// leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) as the control characters of the same value, as
// Windows does, and encodes those back to the same bytes, so every byte survives a read and a write.

namespace {

constexpr char CodePageName[] = "windows-1252";

QStringEncoder makeEncoder()
{
    QStringEncoder encoder(CodePageName, QStringConverter::Flag::Stateless);
    if (!encoder.isValid())
        throw std::runtime_error("The code page windows-1252 is not available in this build of Qt");
    return encoder;
}

QStringDecoder makeDecoder()
{
    QStringDecoder decoder(CodePageName, QStringConverter::Flag::Stateless);
    if (!decoder.isValid())
        throw std::runtime_error("The code page windows-1252 is not available in this build of Qt");
    return decoder;
}

// The bytes decode to the same text. A text fits only when it reads back unchanged, whatever the
// library's error flag says, so that a look-alike substitute could never pass for a fit. (In Qt 6.4 the
// flag, once set, also survives resetState(), so it is only looked at on a fresh encoder.)
bool readsBackAs(QStringDecoder& decoder, const QByteArray& bytes, QStringView text)
{
    decoder.resetState();
    const QString back = decoder(bytes);
    return back == text;
}

} // namespace

QByteArray toAnsi(const QString& text, bool* lossless)
{
    QStringEncoder encoder = makeEncoder();
    QStringDecoder decoder = makeDecoder();
    QByteArray whole = encoder(text);
    if (!encoder.hasError() && readsBackAs(decoder, whole, text)) {
        if (lossless)
            *lossless = true;
        return whole;
    }
    // Something does not fit: go character by character (a surrogate pair is one character), so that
    // exactly the characters without a place become '?' and everything else keeps its byte. Each
    // character is judged by reading its byte back alone (a character without a place comes out as
    // 0x1A, which reads back as U+001A, or as nothing, as U+FEFF does).
    QByteArray out;
    out.reserve(text.size());
    bool everyCharacterFits = true;
    for (qsizetype i = 0; i < text.size();) {
        qsizetype width = 1;
        if (text.at(i).isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate())
            width = 2;
        const QStringView character = QStringView(text).sliced(i, width);
        encoder.resetState();
        const QByteArray one = encoder(character);
        if (one.size() == 1 && readsBackAs(decoder, one, character)) {
            out.append(one);
        } else {
            out.append('?');
            everyCharacterFits = false;
        }
        i += width;
    }
    if (lossless)
        *lossless = everyCharacterFits;
    return out;
}

QString fromAnsi(const QByteArray& bytes)
{
    QStringDecoder decoder = makeDecoder();
    return decoder(bytes);
}

bool fitsAnsi(const QString& text)
{
    bool lossless = true;
    toAnsi(text, &lossless);
    return lossless;
}

#endif

} // namespace quarvel::engine
