#pragma once
// The server's own word on a text for a column of a server-side table, asked as the record walk asks it:
// the column type's input function, then whether the type would round what it takes.

#include "db/DbError.h"

#include <QString>

#include <memory>
#include <optional>
#include <set>
#include <vector>

namespace quarvel::db {

class PushdownSession;
class PushdownShape;

class PushdownRefusal
{
public:
    // The session outlives it.
    PushdownRefusal(PushdownSession& session, std::shared_ptr<const PushdownShape> shape);

    // As PushdownTable tells it.
    std::optional<DbError> refusal(int column, const QString& text);
    // Of the texts, those the column would store as something else (as refusal tells one by one); nullopt
    // when the server refused one of them outright.
    std::optional<std::set<QString>> roundedTexts(int column, const std::vector<QString>& texts);

private:
    PushdownSession& m_session;
    std::shared_ptr<const PushdownShape> m_shape;
};

} // namespace quarvel::db
