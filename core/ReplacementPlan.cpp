#include "core/ReplacementPlan.h"

namespace quarvel {

ReplacementPlan::ReplacementPlan(std::vector<ReplacementPair> pairs) : m_pairs(std::move(pairs)) {}

ReplacementPlan::ReplacementPlan(const std::vector<std::pair<QString, QString>>& pairs)
{
    m_pairs.reserve(pairs.size());
    for (const auto& [find, replacement] : pairs)
        m_pairs.push_back({find, replacement});
}

std::vector<QString> ReplacementPlan::finds() const
{
    std::vector<QString> texts;
    for (const ReplacementPair& pair : m_pairs)
        texts.push_back(pair.find);
    return texts;
}

std::vector<QString> ReplacementPlan::replacements() const
{
    std::vector<QString> texts;
    for (const ReplacementPair& pair : m_pairs)
        texts.push_back(pair.replacement);
    return texts;
}

bool ReplacementPlan::matches(const std::optional<QString>& value, const QString& find)
{
    return value.has_value() && !find.isEmpty() && value->contains(find, Qt::CaseSensitive);
}

QString ReplacementPlan::trimSpaces(const QString& text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text.at(begin) == u' ')
        ++begin;
    while (end > begin && text.at(end - 1) == u' ')
        --end;
    return text.mid(begin, end - begin);
}

QString ReplacementPlan::replaceAndTrim(const QString& value, const QString& find, const QString& replacement)
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

std::optional<QString> ReplacementPlan::applyPair(const ReplacementPair& pair,
                                                  const std::optional<QString>& value)
{
    if (!matches(value, pair.find))
        return std::nullopt;
    return replaceAndTrim(*value, pair.find, pair.replacement);
}

FieldChain ReplacementPlan::apply(const std::optional<QString>& value, const Refuses& refuses) const
{
    FieldChain field{value, {}, {}};
    for (size_t k = 0; k < m_pairs.size(); ++k) {
        std::optional<QString> text = applyPair(m_pairs[k], field.value);
        if (!text)
            continue;
        field.matched.push_back(k);
        if (refuses && refuses(k, *text))
            field.refused.push_back(k);
        else
            field.value = std::move(text);
    }
    return field;
}

bool ReplacementPlan::goesPairByPair(const FieldChain& field, bool columnTakesAnyText)
{
    return !columnTakesAnyText && field.matched.size() > 1;
}

std::vector<SqlPairTexts> ReplacementPlan::sqlArrayElements(const QString& finds,
                                                            const QString& replacements) const
{
    std::vector<SqlPairTexts> elements;
    for (size_t k = 1; k <= m_pairs.size(); ++k) {
        const QString at = u'[' + QString::number(k) + u']';
        elements.push_back({finds + at, replacements + at});
    }
    return elements;
}

// In the C collation: no collation of the column changes what matches (and a nondeterministic one could
// not search at all).
QString ReplacementPlan::sqlHolds(size_t pair, const QString& text, const SqlPairTexts& sql) const
{
    if (m_pairs.at(pair).find.isEmpty())
        return QStringLiteral("false");
    return QStringLiteral("pg_catalog.strpos(%1 COLLATE \"C\", %2) > 0").arg(text, sql.find);
}

QString ReplacementPlan::sqlAnyHolds(const QString& text, const std::vector<SqlPairTexts>& sql) const
{
    QStringList held;
    for (size_t k = 0; k < m_pairs.size(); ++k)
        if (!m_pairs[k].find.isEmpty())
            held << sqlHolds(k, text, sql.at(k));
    return held.isEmpty() ? QStringLiteral("false") : held.join(QStringLiteral(" OR "));
}

QString ReplacementPlan::sqlStep(size_t pair, const QString& text, const SqlPairTexts& sql) const
{
    if (m_pairs.at(pair).find.isEmpty())
        return text;
    return QStringLiteral(
               "CASE WHEN %1 THEN pg_catalog.btrim(pg_catalog.replace(%2, %3, %4), ' ') ELSE %2 END")
        .arg(sqlHolds(pair, text, sql), text, sql.find, sql.replacement);
}

QString ReplacementPlan::sqlChain(const QString& text, const std::vector<SqlPairTexts>& sql) const
{
    QString chain = u'(' + text + QStringLiteral(") COLLATE \"C\"");
    for (size_t k = 0; k < m_pairs.size(); ++k)
        chain = sqlStep(k, chain, sql.at(k));
    return chain;
}

QString ReplacementPlan::sqlChainSteps(const QStringList& texts, const std::vector<SqlPairTexts>& sql,
                                       const QString& alias) const
{
    QStringList first;
    for (qsizetype j = 0; j < texts.size(); ++j)
        first << texts[j] + QStringLiteral(" COLLATE \"C\" AS c%1").arg(j);
    QString steps = QStringLiteral(" CROSS JOIN LATERAL (SELECT ") + first.join(QStringLiteral(", ")) +
                    QStringLiteral(" OFFSET 0) AS ") + alias + u'0';
    for (size_t k = 0; k < m_pairs.size(); ++k) {
        QStringList values;
        for (qsizetype j = 0; j < texts.size(); ++j)
            values << sqlStep(k, alias + QString::number(k) + QStringLiteral(".c") + QString::number(j),
                              sql.at(k)) +
                          QStringLiteral(" AS c%1").arg(j);
        steps += QStringLiteral(" CROSS JOIN LATERAL (SELECT ") + values.join(QStringLiteral(", ")) +
                 QStringLiteral(" OFFSET 0) AS ") + alias + QString::number(k + 1);
    }
    return steps;
}

} // namespace quarvel
