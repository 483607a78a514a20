#include "db/PushdownRefusal.h"

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
    if (c.takesAnyText)
        return std::nullopt;
    QString sql =
        QStringLiteral("SELECT ") + c.inputFunction + QStringLiteral("(CAST(? AS pg_catalog.cstring)");
    std::vector<QString> parameters{text};
    if (c.inputArguments >= 2) {
        sql += QStringLiteral(", CAST(? AS pg_catalog.oid)");
        parameters.push_back(c.inputTypeParameter);
    }
    if (c.inputArguments >= 3) {
        sql += QStringLiteral(", CAST(? AS pg_catalog.int4)");
        parameters.push_back(QStringLiteral("-1"));
    }
    Statement& check = m_session.prepared(sql + QStringLiteral(") IS NULL"));
    try {
        check.execute(parameters);
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
    rounded.execute({text, text});
    const std::optional<QString> stored = rounded.fetch() ? rounded.text(1) : std::nullopt;
    rounded.closeCursor();
    if (stored)
        return roundedError(c.rounding, text, *stored);
    return std::nullopt;
}

} // namespace quarvel::db
