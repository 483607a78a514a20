#pragma once
// Skin files: a Qt style sheet in UTF-8, read and checked before any window is drawn with it, so that a
// broken file is refused with its reason instead of leaving a window half styled.

#include <QString>

#include <stdexcept>

namespace quarvel::skin {

// A skin file that cannot be read or is not a skin; the message names the file and the reason.
class SkinError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// An empty text when a style sheet's text is sound, else why it is not: a NUL character, or a brace,
// comment or quoted text that does not close.
QString styleSheetProblem(const QString& text);

// The style sheet in the file at `path`, without a UTF-8 byte-order mark. Throws SkinError when the
// file cannot be read, is not UTF-8 text or its text has a styleSheetProblem.
QString readSkinFile(const QString& path);

} // namespace quarvel::skin
