#pragma once
// The system's 8-bit ("ANSI") code page, in which set files and the replacement log are written. On
// Windows it is the system's ANSI code page; everywhere else Windows-1252, so that files move between
// platforms.

#include <QByteArray>
#include <QString>

namespace quarvel::engine {

// The text in the code page. When a character has no place in it, lossless (if given) is set to false
// and the character is written as '?'; otherwise it is set to true.
QByteArray toAnsi(const QString& text, bool* lossless = nullptr);

// Bytes in the code page as text. Never fails: every byte maps to some character.
QString fromAnsi(const QByteArray& bytes);

// True when every character of the text has a place in the code page.
bool fitsAnsi(const QString& text);

} // namespace quarvel::engine
