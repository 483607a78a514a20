#pragma once
// Move-only owners of ODBC handles, and the conversions between QString and the driver manager's
// UTF-16 text. Internal to the data access layer (and its benchmark).

#include "db/DbError.h"

#include <QString>

// The ODBC headers of Windows build on its own types (DWORD, HWND) without including them.
#ifdef Q_OS_WIN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif
#include <sql.h>
#include <sqlext.h>
#include <sqltypes.h>
#include <sqlucode.h>

#include <utility>

namespace quarvel::db {

// unixODBC's SQLWCHAR is a 16-bit UTF-16 code unit, the same as QChar, so text passes without
// conversion. A build with SQL_WCHART_CONVERT (4-byte wchar_t) would need one.
static_assert(sizeof(SQLWCHAR) == sizeof(QChar), "SQLWCHAR must be a UTF-16 code unit");

inline const SQLWCHAR* odbcText(const QString& text)
{
    return reinterpret_cast<const SQLWCHAR*>(text.utf16());
}

inline SQLWCHAR* odbcText(QChar* text)
{
    return reinterpret_cast<SQLWCHAR*>(text);
}

inline QString fromOdbcText(const SQLWCHAR* text, qsizetype length)
{
    return QString(reinterpret_cast<const QChar*>(text), length);
}

// Reads every diagnostic record of the handle (until SQL_NO_DATA) into one DbError: the messages
// joined by line breaks, without the driver's "\nError while executing the query" tail, with the
// SQLSTATE and native code of the first record. fallback is the message when there is none.
DbError diagnosticsError(SQLSMALLINT handleType, SQLHANDLE handle, const QString& fallback);

// Throws diagnosticsError(...) unless result is SQL_SUCCESS or SQL_SUCCESS_WITH_INFO.
void checkResult(SQLRETURN result, SQLSMALLINT handleType, SQLHANDLE handle, const char* operation);

// Warns that a handle could not be freed because the driver manager no longer knew it: a statement
// freed after its connection. The driver manager frees a connection's statements itself when it
// disconnects and then refuses the stale handle quietly, with nothing a sanitizer could see (unless
// a new handle got the same address, which would be freed instead), so this warning is how a test
// sees it. Never fails.
void warnInvalidHandleFreed(SQLSMALLINT handleType) noexcept;

template <SQLSMALLINT Type> class OdbcHandle
{
public:
    OdbcHandle() = default;
    ~OdbcHandle() { reset(); }

    OdbcHandle(OdbcHandle&& other) noexcept : m_handle(std::exchange(other.m_handle, nullptr)) {}
    OdbcHandle& operator=(OdbcHandle&& other) noexcept
    {
        if (this != &other) {
            reset();
            m_handle = std::exchange(other.m_handle, nullptr);
        }
        return *this;
    }
    OdbcHandle(const OdbcHandle&) = delete;
    OdbcHandle& operator=(const OdbcHandle&) = delete;

    // A new handle under parent (none for an environment). Throws DbError; a failure is
    // described by the parent's diagnostics, since the new handle does not exist.
    static OdbcHandle allocate(SQLHANDLE parent)
    {
        OdbcHandle owner;
        const SQLRETURN result = SQLAllocHandle(Type, parent, &owner.m_handle);
        if (!SQL_SUCCEEDED(result)) {
            owner.m_handle = nullptr;
            const QString fallback = QStringLiteral("Cannot allocate an ODBC handle.");
            if constexpr (Type == SQL_HANDLE_ENV)
                throw DbError(QStringLiteral("Cannot allocate an ODBC environment; is the driver manager "
                                             "installed?"));
            else if constexpr (Type == SQL_HANDLE_DBC)
                throw diagnosticsError(SQL_HANDLE_ENV, parent, fallback);
            else
                throw diagnosticsError(SQL_HANDLE_DBC, parent, fallback);
        }
        return owner;
    }

    SQLHANDLE get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }

    void reset() noexcept
    {
        if (m_handle != nullptr && SQLFreeHandle(Type, m_handle) == SQL_INVALID_HANDLE)
            warnInvalidHandleFreed(Type);
        m_handle = nullptr;
    }

    // Throws diagnosticsError(...) for this handle unless result is a success.
    void check(SQLRETURN result, const char* operation) const
    {
        checkResult(result, Type, m_handle, operation);
    }

private:
    SQLHANDLE m_handle = nullptr;
};

using EnvironmentHandle = OdbcHandle<SQL_HANDLE_ENV>;
using ConnectionHandle = OdbcHandle<SQL_HANDLE_DBC>;
using StatementHandle = OdbcHandle<SQL_HANDLE_STMT>;

} // namespace quarvel::db
