#include "db/OdbcHandle.h"

#include <QStringList>
#include <QtGlobal>

#include <vector>

namespace quarvel::db {

namespace {
// psqlODBC ends every server message with this line; the server's own text is what the user needs.
constexpr QStringView DriverTail = u"\nError while executing the query";

QString withoutDriverTail(QString message)
{
    while (message.endsWith(u'\n'))
        message.chop(1);
    if (message.endsWith(DriverTail)) {
        // The driver joins the tail with ";\n" to the server's text.
        message.chop(DriverTail.size());
        if (message.endsWith(u';'))
            message.chop(1);
    }
    return message;
}
} // namespace

DbError diagnosticsError(SQLSMALLINT handleType, SQLHANDLE handle, const QString& fallback)
{
    if (handle == nullptr)
        return DbError(fallback);
    QString firstState;
    int firstNative = 0;
    QStringList messages;
    std::vector<SQLWCHAR> text(1024);
    for (SQLSMALLINT record = 1;; ++record) {
        SQLWCHAR state[6] = {};
        SQLINTEGER native = 0;
        SQLSMALLINT length = 0;
        SQLRETURN result = SQLGetDiagRecW(handleType, handle, record, state, &native, text.data(),
                                          static_cast<SQLSMALLINT>(text.size()), &length);
        if (result == SQL_SUCCESS_WITH_INFO && length >= static_cast<SQLSMALLINT>(text.size())) {
            // The message did not fit: read the same record again with room for all of it.
            text.resize(static_cast<size_t>(length) + 1);
            result = SQLGetDiagRecW(handleType, handle, record, state, &native, text.data(),
                                    static_cast<SQLSMALLINT>(text.size()), &length);
        }
        if (!SQL_SUCCEEDED(result))
            break; // SQL_NO_DATA after the last record, or nothing readable
        const qsizetype shown = qMin<qsizetype>(length, static_cast<qsizetype>(text.size()) - 1);
        const QString message = withoutDriverTail(fromOdbcText(text.data(), shown));
        if (firstState.isEmpty()) {
            firstState = fromOdbcText(state, 5);
            firstNative = static_cast<int>(native);
        }
        if (!message.isEmpty() && !messages.contains(message))
            messages.append(message);
    }
    if (messages.isEmpty())
        return DbError(fallback, firstState, firstNative);
    return DbError(messages.join(u'\n'), firstState, firstNative);
}

void checkResult(SQLRETURN result, SQLSMALLINT handleType, SQLHANDLE handle, const char* operation)
{
    if (SQL_SUCCEEDED(result))
        return;
    if (result == SQL_INVALID_HANDLE)
        throw DbError(QStringLiteral("%1: invalid ODBC handle.").arg(QLatin1String(operation)));
    throw diagnosticsError(
        handleType, handle,
        QStringLiteral("%1 failed without a message from the driver.").arg(QLatin1String(operation)));
}

void warnInvalidHandleFreed(SQLSMALLINT handleType) noexcept
{
    const char* kind = handleType == SQL_HANDLE_ENV   ? "environment"
                       : handleType == SQL_HANDLE_DBC ? "connection"
                                                      : "statement";
    try {
        qWarning("Freeing an ODBC %s handle failed: the driver manager no longer knows it, so it was "
                 "freed after the handle it was allocated on.",
                 kind);
    } catch (...) {
    }
}

} // namespace quarvel::db
