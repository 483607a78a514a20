// Quarvel's entry point: loading the Connection window is the start-up.
#include "app/Identity.h"
#include "ui/Appearance.h"
#include "ui/EndOfTool.h"
#include "ui/QtPrompts.h"
#include "ui/ToolWindows.h"

#include <QApplication>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <cstdlib>

namespace {
// QUARVEL_SCREENSHOT=<file.png> (documentation and release checks): once started, the program saves
// the window it shows to the file and ends. Not a user setting.
void scheduleScreenshot(const QString& path)
{
    QTimer::singleShot(1500, [path] {
        int status = 1;
        const QWidgetList windows = QApplication::topLevelWidgets();
        for (QWidget* window : windows) {
            if (window->isVisible() && !window->isModal() && window->windowType() == Qt::Window) {
                status = window->grab().save(path) ? 0 : 1;
                break;
            }
        }
        std::fflush(nullptr);
        std::_Exit(status);
    });
}
} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QLatin1String(quarvel::identity::CompanyName));
    QApplication::setApplicationName(QLatin1String(quarvel::identity::ProductName));
    QApplication::setApplicationVersion(QLatin1String(quarvel::identity::VersionText));
    // The tool ends only through its windows' unload (ui/EndOfTool.h); a window that hides while the
    // other is not shown yet must not end it.
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(quarvel::ui::applicationIcon());

    quarvel::ui::QtPrompts prompts;
    quarvel::ui::ToolWindows windows(prompts);
    const QString screenshot = qEnvironmentVariable("QUARVEL_SCREENSHOT");
    if (!screenshot.isEmpty())
        scheduleScreenshot(screenshot);
    windows.start();
    return QApplication::exec();
}
