#pragma once
// The match and replace rule of a run, free of any database or window.

#include <QString>

#include <optional>

namespace quarvel::engine {

// True when the find text occurs in the value, compared code unit by code unit (case matters, no
// locale rules). A null value never matches, and neither does an empty find text: an empty text
// "occurs" everywhere and would rewrite every field for nothing.
bool matches(const std::optional<QString>& value, const QString& find);

// Every occurrence of find replaced by replacement, scanning left to right; occurrences do not overlap
// and inserted text is never scanned again. Then U+0020 spaces (only those) are removed at both ends.
QString replaceAndTrim(const QString& value, const QString& find, const QString& replacement);

// Removes leading and trailing U+0020 characters; tabs and line breaks stay.
QString trimSpaces(const QString& text);

} // namespace quarvel::engine
