#include "settings/SettingsStore.h"

#include "core/Identity.h"

#include <QSettings>

#ifndef Q_OS_WIN
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <stdexcept>

namespace quarvel::settings {

namespace {
// A fresh object per call: it reads what other running copies wrote since, and holds nothing open.
QSettings openStore()
{
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QLatin1String(identity::CompanyName),
                     QLatin1String(identity::ProductName));
}

#ifndef Q_OS_WIN
// The store holds the password in clear, so only its owner may read it. QSettings writes a new file and
// renames it over the old one, keeping the old file's rights: a store that exists with owner-only rights
// before the write never shows the new text to anyone else. Best effort only: where this fails, the
// write itself reports the problem, and the check after it still refuses a readable store.
void prepareOwnerOnlyStore(const QString& fileName)
{
    const QString folder = QFileInfo(fileName).absolutePath();
    const QByteArray folderPath = QFile::encodeName(folder);
    struct stat info = {};
    if (::lstat(folderPath.constData(), &info) != 0) {
        QDir().mkpath(QFileInfo(folder).absolutePath());
        ::mkdir(folderPath.constData(), 0700);
    } else if (S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() && (info.st_mode & 077) != 0) {
        // The folder is named after the company and holds nothing but its programs' stores.
        ::chmod(folderPath.constData(), 0700);
    }
    const QByteArray filePath = QFile::encodeName(fileName);
    const int fd = ::open(filePath.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0)
        ::close(fd);
    else
        ::chmod(filePath.constData(), 0600);
}

void requireOwnerOnlyStore(const QString& fileName)
{
    if (::chmod(QFile::encodeName(fileName).constData(), 0600) != 0)
        throw std::runtime_error("The settings in " + fileName.toStdString() +
                                 " could not be made readable by their owner only: " + std::strerror(errno));
}
#endif
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
#ifndef Q_OS_WIN
    prepareOwnerOnlyStore(store.fileName());
#endif
    store.setValue(key, value);
    store.sync();
    if (store.status() != QSettings::NoError)
        throw std::runtime_error("The settings could not be saved to " + store.fileName().toStdString());
#ifndef Q_OS_WIN
    // Also narrows a store that an earlier version, or another program, left readable by others.
    requireOwnerOnlyStore(store.fileName());
#endif
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
