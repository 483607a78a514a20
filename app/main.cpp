// Quarvel's entry point: loading the Connection window is the start-up.
#include "core/DriverCheck.h"
#include "core/Identity.h"
#include "ui/Appearance.h"
#include "ui/EndOfTool.h"
#include "ui/MainWindow.h"
#include "ui/PreviewWindow.h"
#include "ui/QtPrompts.h"
#include "ui/SideFiles.h"
#include "ui/ToolWindows.h"
#include "ui/UndoWindow.h"
#include "ui/WindowPointer.h"

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QTextStream>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <cstdlib>

namespace {
// What a release check cannot see in a picture: which icon and pointer the window got, and what a
// message box says. One "name: value" line each, on standard output.
void reportShownWindow(const QWidget& window)
{
    QTextStream out(stdout);
    out << "window: " << window.windowTitle() << '\n';
    QStringList sizes;
    const QList<QSize> available = window.windowIcon().availableSizes();
    for (const QSize& size : available)
        sizes.append(QString::number(size.width()) + u'x' + QString::number(size.height()));
    out << "icon: " << (sizes.isEmpty() ? QStringLiteral("none") : sizes.join(u' ')) << '\n';
    const quarvel::ui::WindowPointer* pointer = quarvel::ui::WindowPointer::of(&window);
    const bool hand = pointer && pointer->hasCustomCursor();
    out << "pointer: " << (hand ? QStringLiteral("loaded from ") : QStringLiteral("none, looked for "))
        << quarvel::ui::handCursorPath() << '\n';
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (const QWidget* shown : windows) {
        if (const auto* box = qobject_cast<const QMessageBox*>(shown); box && box->isVisible())
            out << "message: " << QString(box->text()).replace(u'\n', u' ') << '\n';
    }
}

void saveAndEnd(QWidget& window, const QString& path)
{
    const int status = window.grab().save(path) ? 0 : 1;
    reportShownWindow(window);
    std::fflush(nullptr);
    std::_Exit(status);
}

// QUARVEL_SCREENSHOT=<file.png> (documentation and release checks): once started, the program saves
// the window it shows to the file, reports it on standard output and ends. Not a user setting.
// QUARVEL_SCREENSHOT_WINDOW=preview or undo opens that window from the Main window first and saves it
// instead: the preview of the pair in QUARVEL_SCREENSHOT_FIND and QUARVEL_SCREENSHOT_REPLACE, once it has
// read the tables; the undo window with the newest run of the journal selected.
void scheduleScreenshot(const QString& path, quarvel::ui::ToolWindows& tool)
{
    QTimer::singleShot(1500, [path, &tool] {
        const QString which = qEnvironmentVariable("QUARVEL_SCREENSHOT_WINDOW");
        quarvel::ui::Form2* main = tool.mainWindow();
        if (!which.isEmpty()) {
            if (!main || !main->isVisible()) {
                std::fputs("screenshot: the Main window is not shown (do the stored details connect?)\n",
                           stderr);
                std::_Exit(1);
            }
            if (qEnvironmentVariableIsSet("QUARVEL_SCREENSHOT_FIND")) {
                main->Text1->setText(qEnvironmentVariable("QUARVEL_SCREENSHOT_FIND"));
                main->Text2->setText(qEnvironmentVariable("QUARVEL_SCREENSHOT_REPLACE"));
            }
            main->setShowPreview([path](quarvel::ui::PreviewWindow& preview) { saveAndEnd(preview, path); });
            main->setShowUndo([path](quarvel::ui::UndoWindow& undo) { saveAndEnd(undo, path); });
            if (which == u"preview")
                main->PreviewButton_Click();
            else if (which == u"undo")
                main->UndoButton_Click();
            std::fputs("screenshot: that window did not open\n", stderr);
            std::_Exit(1);
        }
        const QWidgetList windows = QApplication::topLevelWidgets();
        for (QWidget* window : windows)
            if (window->isVisible() && !window->isModal() && window->windowType() == Qt::Window)
                saveAndEnd(*window, path);
        std::fflush(nullptr);
        std::_Exit(1);
    });
}
} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QLatin1String(quarvel::identity::CompanyName));
    QApplication::setApplicationName(QLatin1String(quarvel::identity::ProductName));
    QApplication::setApplicationVersion(QLatin1String(quarvel::identity::VersionText));
    // The installed menu entry (packaging/), so that the desktop ties the window to its entry and icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("example.kestrine.quarvel"));
    // The tool ends only through its windows' unload (ui/EndOfTool.h); a window that hides while the
    // other is not shown yet must not end it.
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(quarvel::ui::applicationIcon());

    quarvel::ui::QtPrompts prompts;
    quarvel::ui::ToolWindows windows(prompts);
    const QString screenshot = qEnvironmentVariable("QUARVEL_SCREENSHOT");
    if (!screenshot.isEmpty())
        scheduleScreenshot(screenshot, windows);
    windows.start();
    // An installed program had no set-up script to check the driver, and without it every connection
    // fails with the driver manager's "Can't open lib 'PostgreSQL Unicode' : file not found", which
    // does not say what to install.
    const QString driverMessage = quarvel::driver::missingDriverMessage(quarvel::driver::registeredDrivers());
    if (!driverMessage.isEmpty())
        QTimer::singleShot(0, [&prompts, driverMessage] { prompts.message(driverMessage); });
    return QApplication::exec();
}
