#pragma once
// The match and replace rule of a run under the names the record walk and its tests use; the rule itself
// lives in ReplacementPlan, and only there.

#include <QString>

#include <optional>

namespace quarvel::engine {

// ReplacementPlan::matches: code unit by code unit; a null value and an empty find text never match.
bool matches(const std::optional<QString>& value, const QString& find);

// ReplacementPlan::replaceAndTrim: every occurrence, left to right, no overlap, inserted text never
// scanned again; then U+0020 (only that) trimmed at both ends.
QString replaceAndTrim(const QString& value, const QString& find, const QString& replacement);

// ReplacementPlan::trimSpaces: U+0020 only, at both ends; tabs and line breaks stay.
QString trimSpaces(const QString& text);

} // namespace quarvel::engine
