#include "tests/support/TempStore.h"

#include "core/Identity.h"
#include "settings/SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QSettings>

namespace quarvel::test {

#ifdef Q_OS_WIN
namespace {
// HKEY_CURRENT_USER\Software\<company>, which holds the product's key.
QSettings companyKey()
{
    return QSettings(QStringLiteral("HKEY_CURRENT_USER\\Software\\") + QLatin1String(identity::CompanyName),
                     QSettings::NativeFormat);
}

QSettings productKey()
{
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QLatin1String(identity::CompanyName),
                     QLatin1String(identity::ProductName));
}
} // namespace

TempStore::TempStore()
{
    settings::useStoreFolder(m_dir.path());
    m_keyExisted = companyKey().childGroups().contains(QLatin1String(identity::ProductName));
    const QSettings store = productKey();
    const QStringList keys = store.allKeys();
    for (const QString& key : keys)
        m_setAside.insert(key, store.value(key));
    reset();
}

TempStore::~TempStore()
{
    reset();
    if (m_keyExisted) {
        QSettings store = productKey();
        for (auto it = m_setAside.cbegin(); it != m_setAside.cend(); ++it)
            store.setValue(it.key(), it.value());
        store.sync();
        return;
    }
    QSettings company = companyKey();
    company.remove(QLatin1String(identity::ProductName));
    company.sync();
    if (company.allKeys().isEmpty() && company.childGroups().isEmpty()) {
        QSettings software(QStringLiteral("HKEY_CURRENT_USER\\Software"), QSettings::NativeFormat);
        software.remove(QLatin1String(identity::CompanyName));
    }
}

void TempStore::reset()
{
    QSettings store = productKey();
    store.clear();
    store.sync();
}
#else
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
#endif

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
