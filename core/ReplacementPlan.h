#pragma once
// What a run makes of one field, in one place: when a pair matches, what its replacement and trim give,
// the chain of pairs over a field with the texts a column refuses left out, when a field must go pair by
// pair, and the same chain as SQL for the server to compute. Both engines and the preview ask this type,
// so that the server's answer and the record walk's cannot drift apart. No database, no window.

#include <QString>
#include <QStringList>

#include <cstddef>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

namespace quarvel {

struct ReplacementPair
{
    QString find;
    QString replacement;
    friend bool operator==(const ReplacementPair&, const ReplacementPair&) = default;
};

// How a statement names one pair's texts: SQL expressions such as p.f[1] and p.r[1], elements of arrays
// bound as parameters. Never a value pasted into the text.
struct SqlPairTexts
{
    QString find;
    QString replacement;
};

// What the pairs made of one field.
struct FieldChain
{
    std::optional<QString> value; // as the pairs left it
    std::vector<size_t> matched;  // the pairs whose find text occurred, in list order: a log line each
    std::vector<size_t> refused;  // those of them whose text the column refused
};

class ReplacementPlan
{
public:
    // Asked once for each pair that matches, in list order, with the text the pair makes of the value:
    // true when the column refuses that text. An empty one refuses nothing.
    using Refuses = std::function<bool(size_t pair, const QString& text)>;

    ReplacementPlan() = default;
    explicit ReplacementPlan(std::vector<ReplacementPair> pairs);
    explicit ReplacementPlan(const std::vector<std::pair<QString, QString>>& pairs);

    const std::vector<ReplacementPair>& pairs() const { return m_pairs; }
    // The find texts and the replacements in list order: what a statement binds as the two arrays of
    // sqlArrayElements.
    std::vector<QString> finds() const;
    std::vector<QString> replacements() const;

    // True when the find text occurs in the value, compared code unit by code unit (case matters, no
    // locale rules). A null value never matches, and neither does an empty find text: an empty text
    // "occurs" everywhere and would rewrite every field for nothing.
    static bool matches(const std::optional<QString>& value, const QString& find);

    // Every occurrence of find replaced by replacement, scanning left to right; occurrences do not
    // overlap and inserted text is never scanned again. Then U+0020 spaces (only those) are removed at
    // both ends.
    static QString replaceAndTrim(const QString& value, const QString& find, const QString& replacement);

    // Removes leading and trailing U+0020 characters; tabs and line breaks stay.
    static QString trimSpaces(const QString& text);

    // The text one pair makes of the value; nullopt when its find text does not occur there.
    static std::optional<QString> applyPair(const ReplacementPair& pair, const std::optional<QString>& value);

    // The pairs in list order over one field, each on the value as the pairs before left it. A text the
    // column refuses is not taken: the pair after it sees the value as it was. Whatever refuses throws
    // passes to the caller.
    FieldChain apply(const std::optional<QString>& value, const Refuses& refuses = {}) const;

    // A column that does not take every text could refuse a text between two pairs that it would take at
    // the end, so where two pairs or more meet in such a field (its chain with every text taken), the
    // field goes pair by pair, each text offered to the column as the record walk offers it.
    static bool goesPairByPair(const FieldChain& field, bool columnTakesAnyText);

    // The elements of two text arrays, finds[1], replacements[1], ...: one for each pair, for the SQL
    // below when the statement binds the pairs' texts as two arrays in list order.
    std::vector<SqlPairTexts> sqlArrayElements(const QString& finds, const QString& replacements) const;

    // A condition: the pair's find text occurs in the text expression, compared byte by byte in the C
    // collation. A pair whose find text is empty never matches, so its condition is false.
    QString sqlHolds(size_t pair, const QString& text, const SqlPairTexts& sql) const;
    // Some pair's find text occurs in the text expression; false without a pair that can match.
    QString sqlAnyHolds(const QString& text, const std::vector<SqlPairTexts>& sql) const;

    // One pair's step on a text expression in the C collation: what applyPair makes of it, or the text as
    // it was.
    QString sqlStep(size_t pair, const QString& text, const SqlPairTexts& sql) const;

    // The chain over one text expression as one nested expression, for a few pairs: it holds the text
    // three times over for every pair.
    QString sqlChain(const QString& text, const std::vector<SqlPairTexts>& sql) const;

    // The chain over several text expressions as FROM items to follow a FROM list: <alias>0 holds the
    // texts in the C collation as c0, c1, ..., and <alias>k (k = 1 .. pairs) holds them as pair k left
    // them, so the result of text j is <alias><pairs>.c<j>. One lateral subselect per pair, each with
    // OFFSET 0, keeps the planner from folding the chain into one expression that grows threefold with
    // every pair.
    QString sqlChainSteps(const QStringList& texts, const std::vector<SqlPairTexts>& sql,
                          const QString& alias) const;

private:
    std::vector<ReplacementPair> m_pairs;
};

} // namespace quarvel
