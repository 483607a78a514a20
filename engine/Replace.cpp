#include "engine/Replace.h"

namespace quarvel::engine {

bool matches(const std::optional<QString>& value, const QString& find)
{
    return value.has_value() && !find.isEmpty() && value->contains(find, Qt::CaseSensitive);
}

QString trimSpaces(const QString& text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text.at(begin) == u' ')
        ++begin;
    while (end > begin && text.at(end - 1) == u' ')
        --end;
    return text.mid(begin, end - begin);
}

QString replaceAndTrim(const QString& value, const QString& find, const QString& replacement)
{
    if (find.isEmpty())
        return trimSpaces(value);
    QString result;
    result.reserve(value.size());
    qsizetype from = 0;
    for (qsizetype at = value.indexOf(find, 0, Qt::CaseSensitive); at >= 0;
         at = value.indexOf(find, from, Qt::CaseSensitive)) {
        result.append(QStringView(value).mid(from, at - from));
        result.append(replacement);
        from = at + find.size();
    }
    result.append(QStringView(value).mid(from));
    return trimSpaces(result);
}

} // namespace quarvel::engine
