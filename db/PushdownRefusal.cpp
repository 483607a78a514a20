#include "db/PushdownRefusal.h"

#include "db/Catalogue.h"
#include "db/PushdownRead.h"
#include "db/PushdownSession.h"
#include "db/PushdownShape.h"
#include "db/Rounding.h"
#include "db/Statement.h"

namespace quarvel::db {

PushdownRefusal::PushdownRefusal(PushdownSession& session, std::shared_ptr<const PushdownShape> shape)
    : m_session(session), m_shape(std::move(shape))
{}

std::optional<DbError> PushdownRefusal::refusal(int index, const QString& text)
{
    const PushdownColumn& c = m_shape->columns()[static_cast<size_t>(index)];
    if (std::optional<DbError> fixed = fixedColumnRefusal(c.name, c.generated, c.identityAlways))
        return fixed;
    if (c.takesAnyText)
        return std::nullopt;
    Statement& check = m_session.prepared(inputCheckSql(c));
    try {
        check.execute(inputCheckParameters(c, text));
        check.closeCursor();
    } catch (const DbError& error) {
        check.closeCursor();
        if (error.ruinsTheTable())
            throw;
        return error;
    }
    if (!mayRound(c.rounding, text))
        return std::nullopt;
    Statement& rounded = m_session.prepared(roundingCheck(c.rounding));
    rounded.execute({text});
    const std::optional<QString> stored = rounded.fetch() ? rounded.text(1) : std::nullopt;
    rounded.closeCursor();
    if (stored)
        return roundedError(c.rounding, text, *stored);
    return std::nullopt;
}

// One statement for a batch's texts of the column: a batch whose texts all keep their values, the
// ordinary case, costs no question per row.
std::optional<std::set<QString>> PushdownRefusal::roundedTexts(int index, const std::vector<QString>& texts)
{
    const PushdownColumn& c = m_shape->columns()[static_cast<size_t>(index)];
    std::set<QString> rounded;
    if (texts.empty() || !roundsBySql(c.rounding))
        return rounded;
    Statement& check = m_session.prepared(roundingCheckOfMany(c.rounding));
    try {
        check.execute({arrayLiteral(texts)});
        while (check.fetch())
            rounded.insert(requiredText(check, 1));
        check.closeCursor();
    } catch (const DbError& error) {
        check.closeCursor();
        // A text the type does not take at all: the texts are each asked on their own.
        if (error.ruinsTheTable())
            throw;
        return std::nullopt;
    }
    return rounded;
}

} // namespace quarvel::db
