#include "ui/SideFiles.h"

#include "core/Files.h"

namespace quarvel::ui {

namespace {
QString& folderOverride()
{
    static QString folder;
    return folder;
}
} // namespace

QString sideFileFolder()
{
    return folderOverride().isEmpty() ? files::sideFileFolderFor(files::programFolder()) : folderOverride();
}

void setSideFileFolder(const QString& folder)
{
    folderOverride() = folder;
}

QString handCursorPath()
{
    return files::sideFilePath(sideFileFolder(), QLatin1String(files::HandCursorName));
}

QString skinFilePath()
{
    return files::sideFilePath(sideFileFolder(), QLatin1String(files::SkinFileName));
}

} // namespace quarvel::ui
