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

// The driver names that the ODBC driver manager knows (its odbcinst.ini), in its order. Never throws:
// a driver manager that cannot be asked gives an empty list.
QStringList registeredDrivers() noexcept;

// The message for a start with these drivers registered: empty when DriverName is among them (in any
// case, as the driver manager matches names), otherwise a text naming the missing driver and the
// package that registers it.
QString missingDriverMessage(const QStringList& registered);

} // namespace quarvel::driver
