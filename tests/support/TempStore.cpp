#include "tests/support/TempStore.h"

#include "settings/SettingsStore.h"

#include <QDir>
#include <QFile>

namespace quarvel::test {

TempStore::TempStore()
{
    settings::useStoreFolder(m_dir.path());
}

TempStore::~TempStore()
{
    // Leave the store pointing at a folder that no longer exists rather than at the real one.
    reset();
}

void TempStore::reset()
{
    QFile::remove(settings::storeFileName());
}

void storeConnectionDetails(const db::ConnectionDetails& details)
{
    using namespace settings;
    SaveSetting(QLatin1String(Key::PostgreSQLServer), details.server);
    SaveSetting(QLatin1String(Key::PostgreSQLPort), details.port);
    SaveSetting(QLatin1String(Key::PostgreSQLUser), details.user);
    SaveSetting(QLatin1String(Key::PostgreSQLPassword), details.password);
    SaveSetting(QLatin1String(Key::PostgreSQLDatabase), details.database);
}

} // namespace quarvel::test
