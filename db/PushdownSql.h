#pragma once
// The SQL text the server-side run's statements are made of, for one table and one list of pairs: the
// replacement chain, the tests of which columns hold some find text, the capped places of a batch, and
// the parameters they take. It owns no connection: the same text serves every connection of a run.

#include "core/ReplacementPlan.h"
#include "db/PushdownData.h"

#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

namespace quarvel::db {

class PushdownShape;

class PushdownSql
{
public:
    explicit PushdownSql(std::shared_ptr<const PushdownShape> shape);

    const PushdownShape& shape() const { return *m_shape; }
    const PushdownPairs& pairs() const { return m_pairs; }
    void setPairs(const PushdownPairs& pairs);
    const PushdownCap& cap() const { return m_cap; }
    void setCap(const PushdownCap& cap) { m_cap = cap; }

    // FROM the leaf aliased as given, with each column's text (x0.c<j>) and its text after each pair
    // (x<k>.c<j>). Takes pairParameters() first.
    QString replacementChain(const PushdownLeaf& leaf, const QString& alias) const;
    // The step that holds the chain's last texts ("x<pairs>").
    QString lastStep() const;
    // Each column's text form (x0.c<j>); null for a column no find text can occur in.
    QString columnText(const QString& alias, size_t column) const;
    // Whether some find text (p.f) occurs in the text.
    QString holdsSomeFind(const QString& text) const;
    // Per column, whether some find text occurs in its text form on the row aliased as given.
    QStringList columnTests(const QString& alias) const;
    // The CTEs f (rows of the places holding some find text) and k (those of them the cap lets through,
    // in place order). Takes cappedParameters().
    QString cappedPlaces(const PushdownLeaf& leaf) const;
    std::vector<QString> cappedParameters(const QString& from, const QString& to) const;
    // The finds (p.f), then the replacements (p.r), each as one array.
    std::vector<QString> pairParameters() const;
    // The pairs' texts as elements of the two arrays pairParameters binds.
    std::vector<SqlPairTexts> pairTexts() const;
    // The place of the last row the cap let through, where it held back some.
    static QString cutPlace();

    // ", a.key::text" for each key column.
    QString keyTexts(const QString& alias) const;
    // The row's place, its key, then every column, in text form, from the row aliased q.
    QString rowColumns() const;
    // Each column's text as stored where set says it was set, only where it is not the new text v.n<j>.
    QString storedTexts(const QString& set) const;
    // What an UPDATE of q gives back first: its new place and version, the transaction, the key.
    QString returning() const;

private:
    std::shared_ptr<const PushdownShape> m_shape;
    PushdownPairs m_pairs;
    ReplacementPlan m_plan;      // of the pairs: the one source of the chain's SQL
    std::vector<bool> m_mayHold; // by column: whether some find text can occur in it at all
    PushdownCap m_cap;
};

} // namespace quarvel::db
