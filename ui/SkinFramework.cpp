#include "ui/SkinFramework.h"

#include "ui/Appearance.h"
#include "ui/SideFiles.h"

#include <QDir>
#include <QFileInfo>
#include <QStyle>
#include <QWidget>

namespace quarvel::ui {

void SkinFramework::loadSkin(const QString& path, const QString& schema)
{
    if (!schema.isEmpty())
        throw SkinError(QStringLiteral("The skin file %1 has no schema \"%2\".")
                            .arg(QDir::toNativeSeparators(path), schema)
                            .toStdString());
    m_styleSheet = skin::readSkinFile(path);
    m_loaded = true;
}

void SkinFramework::applyWindow(QWidget* window)
{
    if (!window)
        throw SkinError("No window to apply the skin to.");
    if (!m_loaded)
        throw SkinError("No skin is loaded.");
    if (!(m_options & ApplyStyle))
        return;
    const QSize size = window->size();
    window->setStyleSheet(m_styleSheet);
    m_window = window;
    if (m_keepWindowSize)
        window->setFixedSize(size);
    if (m_repaintNow) {
        window->ensurePolished();
        const QList<QWidget*> controls = window->findChildren<QWidget*>();
        for (QWidget* control : controls)
            control->ensurePolished();
        window->update();
    }
}

bool listedAsPlainFile(const QString& path)
{
    const QFileInfo info(path);
    if (info.fileName().isEmpty())
        return false;
    const QStringList found = info.dir().entryList({info.fileName()}, QDir::Files | QDir::NoDotAndDotDot);
    return found.contains(info.fileName());
}

void ApplySkin(QWidget& connectionWindow, SkinFramework& skinFramework)
{
    const QString path = skinFilePath();
    if (!listedAsPlainFile(path))
        return;
    SetButtonFaceColors(connectionWindow);
    skinFramework.loadSkin(path, QString());
    skinFramework.setApplyOptions(skinFramework.applyOptions() | SkinFramework::ApplyStyle);
    skinFramework.setKeepWindowSize(true);
    skinFramework.setRepaintNow(true);
    skinFramework.applyWindow(&connectionWindow);
}

} // namespace quarvel::ui
