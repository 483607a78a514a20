#pragma once
// The per-user settings store: named string values under the company name as application name and the
// product name as section (see core/Identity.h). Every write reaches the disk before it returns, because
// several running copies share the store and the program may end right after a keystroke.

#include <QString>

namespace quarvel::settings {

// The complete key list, with the defaults the readers supply.
namespace Key {
inline constexpr char PostgreSQLServer[] = "PostgreSQLServer";
inline constexpr char PostgreSQLPort[] = "PostgreSQLPort";
inline constexpr char PostgreSQLUser[] = "PostgreSQLUser";
inline constexpr char PostgreSQLPassword[] = "PostgreSQLPassword";
inline constexpr char PostgreSQLDatabase[] = "PostgreSQLDatabase";
inline constexpr char Text1[] = "Text1";             // find text of the first tab
inline constexpr char Text2[] = "Text2";             // replacement text of the first tab
inline constexpr char TabControl1[] = "TabControl1"; // selected tab as decimal text
inline constexpr char Form2_Text2[] = "Form2.Text2"; // separator of the Load Sets dialog
} // namespace Key

namespace Default {
inline constexpr char PostgreSQLServer[] = "localhost";
inline constexpr char PostgreSQLPort[] = "5432";
inline constexpr char TabControl1[] = "0";
inline constexpr char Form2_Text2[] = "::";
} // namespace Default

// The stored text, or the default when the key was never written. An empty text stored reads back
// empty. Never throws for a missing key.
QString GetSetting(const QString& key, const QString& defaultValue = QString());

// Stores the text under the key and flushes the store. Outside Windows (where the store is the registry) the
// file holds the password in clear, so it is left readable and writable by its owner only (0600), in a
// folder only its owner can enter (0700), also when either existed with wider rights. Throws
// std::runtime_error when it cannot be written or the file's rights cannot be narrowed.
void SaveSetting(const QString& key, const QString& value);

// Moves the store into a folder of its own (tests, the demo). Call before the first read or write.
void useStoreFolder(const QString& folder);

// The file that holds the store, for messages and tests.
QString storeFileName();

} // namespace quarvel::settings
