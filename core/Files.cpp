#include "core/Files.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <filesystem>
#include <system_error>

namespace quarvel::files {

bool FileExists(const QString& path) noexcept
{
    try {
        if (path.isEmpty() || path.contains(QChar(u'\0')))
            return false;
        // What can be stat'ed (so its time stamp could be read) exists; a broken link, or a path through a
        // folder we may not search, does not.
        std::error_code ec;
        const auto status = std::filesystem::status(std::filesystem::path(path.toStdU16String()), ec);
        return !ec && std::filesystem::exists(status);
    } catch (...) {
        return false;
    }
}

QString programFolder()
{
    QString folder;
    if (QCoreApplication::instance())
        folder = QCoreApplication::applicationDirPath();
    else
        folder = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath().section(u'/', 0, -2);
    while (folder.size() > 1 && (folder.endsWith(u'/') || folder.endsWith(u'\\')))
        folder.chop(1);
    return folder;
}

QString sideFileFolderFor(const QString& programFolder)
{
    // Only a folder named bin counts as installed, so a build tree never picks up the data of an
    // installed copy that happens to sit next to it.
    if (QFileInfo(programFolder).fileName() != QLatin1String("bin"))
        return programFolder;
    const QString data = QDir::cleanPath(programFolder + u'/' + QLatin1String(InstalledDataFolder));
    return QFileInfo(data).isDir() ? QDir::toNativeSeparators(data) : programFolder;
}

QString sideFilePath(const QString& folder, const QString& backslashName)
{
    QString name = backslashName;
    name.replace(u'\\', u'/');
    if (!name.startsWith(u'/'))
        name.prepend(u'/');
    return QDir::toNativeSeparators(folder + name);
}

QString sideFilePath(const QString& backslashName)
{
    return sideFilePath(programFolder(), backslashName);
}

} // namespace quarvel::files
