#pragma once
// Whether the ODBC driver that every connection names is registered with the driver manager. An
// installed program has no set-up script to tell its user that the driver is missing, so the program
// says so itself when it starts.

#include <QString>
#include <QStringList>

namespace quarvel::driver {

// The driver every connection string names, and the Debian package that registers it.
inline constexpr char DriverName[] = "PostgreSQL Unicode";
inline constexpr char DriverPackage[] = "odbc-postgresql";
// The name the 64-bit psqlODBC installer for Windows registers the same driver under.
inline constexpr char WindowsX64DriverName[] = "PostgreSQL Unicode(x64)";

// The driver names that the ODBC driver manager knows (its odbcinst.ini), in its order. Never throws:
// a driver manager that cannot be asked gives an empty list.
QStringList registeredDrivers() noexcept;

// The driver name for connection strings with these drivers registered: DriverName, except on Windows
// when only WindowsX64DriverName is registered (names match in any case, as the driver manager matches
// them); then that one. No other name is ever taken for the driver.
QString connectionDriverName(const QStringList& registered);

// The same for the drivers registered when it is first called; the driver manager is asked once per
// process, and only on Windows. Never throws.
QString connectionDriverName() noexcept;

// The message for a start with these drivers registered: empty when connectionDriverName's choice is
// among them, otherwise a text naming the missing driver and what to install: the Debian package that
// registers it, or on Windows the PostgreSQL ODBC driver (psqlODBC).
QString missingDriverMessage(const QStringList& registered);

} // namespace quarvel::driver
