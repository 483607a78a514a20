#include "settings/SettingsStore.h"

#include "app/Identity.h"

#include <QSettings>

#include <stdexcept>

namespace quarvel::settings {

namespace {
// A fresh object per call: it reads what other running copies wrote since, and holds nothing open.
QSettings openStore()
{
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QLatin1String(identity::CompanyName),
                     QLatin1String(identity::ProductName));
}
} // namespace

QString GetSetting(const QString& key, const QString& defaultValue)
{
    const QSettings store = openStore();
    const QVariant value = store.value(key);
    if (!value.isValid())
        return defaultValue;
    return value.toString();
}

void SaveSetting(const QString& key, const QString& value)
{
    QSettings store = openStore();
    store.setValue(key, value);
    store.sync();
    if (store.status() != QSettings::NoError)
        throw std::runtime_error("The settings could not be saved to " + store.fileName().toStdString());
}

void useStoreFolder(const QString& folder)
{
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, folder);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, folder);
}

QString storeFileName()
{
    return openStore().fileName();
}

} // namespace quarvel::settings
