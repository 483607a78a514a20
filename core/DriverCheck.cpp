#include "core/DriverCheck.h"

#include "core/Identity.h"

// The ODBC headers of Windows build on its own types (DWORD, HWND) without including them.
#ifdef Q_OS_WIN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif
#include <sql.h>
#include <sqlext.h>

#include <array>

namespace quarvel::driver {

namespace {
// The environment handle lives for this one question only; nothing else in this layer talks ODBC.
class Environment
{
public:
    Environment()
    {
        if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &m_handle)))
            m_handle = SQL_NULL_HENV;
        else if (!SQL_SUCCEEDED(SQLSetEnvAttr(m_handle, SQL_ATTR_ODBC_VERSION,
                                              reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0)))
            release();
    }
    ~Environment() { release(); }
    Environment(const Environment&) = delete;
    Environment& operator=(const Environment&) = delete;

    SQLHENV get() const { return m_handle; }

private:
    void release() noexcept
    {
        if (m_handle != SQL_NULL_HENV)
            SQLFreeHandle(SQL_HANDLE_ENV, m_handle);
        m_handle = SQL_NULL_HENV;
    }

    SQLHENV m_handle = SQL_NULL_HENV;
};
} // namespace

QStringList registeredDrivers() noexcept
{
    QStringList names;
    try {
        Environment environment;
        if (environment.get() == SQL_NULL_HENV)
            return names;
#ifdef Q_OS_WIN
        // The Unicode entry point, as the rest of the program uses on Windows.
        std::array<SQLWCHAR, 512> description{};
        std::array<SQLWCHAR, 2048> attributes{};
        const auto drivers = SQLDriversW;
        const auto name = [&] { return QString::fromWCharArray(description.data()); };
#else
        std::array<SQLCHAR, 512> description{};
        std::array<SQLCHAR, 2048> attributes{};
        const auto drivers = SQLDrivers;
        const auto name = [&] {
            return QString::fromLocal8Bit(reinterpret_cast<const char*>(description.data()));
        };
#endif
        SQLSMALLINT descriptionLength = 0;
        SQLSMALLINT attributesLength = 0;
        SQLUSMALLINT direction = SQL_FETCH_FIRST;
        while (SQL_SUCCEEDED(drivers(environment.get(), direction, description.data(),
                                     SQLSMALLINT(description.size()), &descriptionLength, attributes.data(),
                                     SQLSMALLINT(attributes.size()), &attributesLength))) {
            names.append(name());
            direction = SQL_FETCH_NEXT;
        }
    } catch (...) {
        // A list that could not be read says "not registered", which is what the user has to act on.
    }
    return names;
}

QString connectionDriverName(const QStringList& registered)
{
#ifdef Q_OS_WIN
    if (!registered.contains(QLatin1String(DriverName), Qt::CaseInsensitive) &&
        registered.contains(QLatin1String(WindowsX64DriverName), Qt::CaseInsensitive))
        return QLatin1String(WindowsX64DriverName);
#else
    Q_UNUSED(registered)
#endif
    return QLatin1String(DriverName);
}

QString connectionDriverName() noexcept
{
#ifdef Q_OS_WIN
    // Drivers are installed while the program is closed; one start keeps the name it found.
    static const QString name = connectionDriverName(registeredDrivers());
    return name;
#else
    return QLatin1String(DriverName);
#endif
}

QString missingDriverMessage(const QStringList& registered)
{
    if (registered.contains(connectionDriverName(registered), Qt::CaseInsensitive))
        return QString();
#ifdef Q_OS_WIN
    // Windows has no package to name: the driver comes with its own installer.
    return QStringLiteral("The ODBC driver \"%1\" is not registered on this computer, so %2 cannot connect "
                          "to a database.\n\nInstall the PostgreSQL ODBC driver (psqlODBC, 64-bit, from "
                          "postgresql.org), which registers it, and start %2 again.")
        .arg(QLatin1String(DriverName), QLatin1String(identity::ProductName));
#else
    return QStringLiteral("The ODBC driver \"%1\" is not registered on this computer, so %2 cannot connect "
                          "to a database.\n\nInstall the package %3, which registers it (for example "
                          "with \"sudo apt-get install %3\"), and start %2 again.")
        .arg(QLatin1String(DriverName), QLatin1String(identity::ProductName), QLatin1String(DriverPackage));
#endif
}

} // namespace quarvel::driver
