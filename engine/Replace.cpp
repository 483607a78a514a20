#include "engine/Replace.h"

#include "core/ReplacementPlan.h"

namespace quarvel::engine {

bool matches(const std::optional<QString>& value, const QString& find)
{
    return ReplacementPlan::matches(value, find);
}

QString trimSpaces(const QString& text)
{
    return ReplacementPlan::trimSpaces(text);
}

QString replaceAndTrim(const QString& value, const QString& find, const QString& replacement)
{
    return ReplacementPlan::replaceAndTrim(value, find, replacement);
}

} // namespace quarvel::engine
