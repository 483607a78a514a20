#include "db/DbError.h"

namespace quarvel::db {

DbError::DbError(QString message, QString sqlState, int nativeCode)
    : std::runtime_error(message.toStdString()), m_message(std::move(message)),
      m_sqlState(std::move(sqlState)), m_nativeCode(nativeCode)
{}

DbError DbError::leavingTheTable(QString message, QString sqlState)
{
    DbError error(std::move(message), std::move(sqlState));
    error.m_leavesTable = true;
    return error;
}

DbError DbError::stoppingTheRun(QString message)
{
    DbError error(std::move(message), QStringLiteral("58030"));
    error.m_leavesTable = true;
    error.m_stopsRun = true;
    return error;
}

DbError DbError::describing(const QString& where) const
{
    DbError error(m_message + u'\n' + where.left(1).toUpper() + where.mid(1) + u'.', m_sqlState,
                  m_nativeCode);
    error.m_leavesTable = m_leavesTable;
    error.m_stopsRun = m_stopsRun;
    return error;
}

bool DbError::ruinsTheTable() const
{
    if (m_leavesTable)
        return true;
    // Classes where the connection or the session is gone or can do nothing more: connection
    // exceptions, insufficient resources, operator intervention (57P01 admin shutdown ... 57P05 idle
    // session timeout; a plain 57014 cancel is one statement only), system errors.
    static const char* const ruinedClasses[] = {"08", "53", "57P", "58", "HYT01"};
    // One state each: no privilege, read-only transaction, a transaction that refuses everything, and
    // a table or column gone since the table was opened.
    static const char* const ruinedStates[] = {"42501", "25006", "25P02", "42P01", "42703"};
    for (const char* prefix : ruinedClasses)
        if (m_sqlState.startsWith(QLatin1String(prefix)))
            return true;
    // A row-level security policy's WITH CHECK refuses one new row with the state of a missing privilege:
    // that is the row's refusal, and the table's other rows can still be stored.
    if (m_sqlState == QLatin1String("42501") &&
        m_message.contains(QLatin1String("row-level security policy")))
        return false;
    for (const char* state : ruinedStates)
        if (m_sqlState == QLatin1String(state))
            return true;
    return false;
}

} // namespace quarvel::db
