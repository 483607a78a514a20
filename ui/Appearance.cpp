#include "ui/Appearance.h"

#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QPalette>
#include <QRadioButton>
#include <QScreen>
#include <QWidget>

// The icon lives in a static library: its resources are registered by hand, outside any namespace.
static void registerQuarvelResources()
{
    static const bool registered = [] {
        Q_INIT_RESOURCE(quarvel);
        return true;
    }();
    Q_UNUSED(registered);
}

namespace quarvel::ui {

QFont arialFont(qreal pointSize, bool bold)
{
    static const bool substituted = [] {
        QFont::insertSubstitution(QStringLiteral("Arial"), QStringLiteral("Liberation Sans"));
        return true;
    }();
    Q_UNUSED(substituted);
    QFont font(QStringLiteral("Arial"));
    font.setPointSizeF(pointSize);
    font.setBold(bold);
    return font;
}

QColor buttonFaceColor()
{
    return QApplication::palette().color(QPalette::Active, QPalette::Button);
}

QColor colorFromValue(quint32 value)
{
    if (value == ButtonFaceValue)
        return buttonFaceColor();
    return QColor(int(value & 0xFF), int((value >> 8) & 0xFF), int((value >> 16) & 0xFF));
}

void setBackColor(QWidget* widget, const QColor& color)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, color);
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

QColor backColor(const QWidget* widget)
{
    return widget->palette().color(QPalette::Window);
}

bool takesButtonFace(const QWidget* control)
{
    return qobject_cast<const QRadioButton*>(control) || qobject_cast<const QCheckBox*>(control) ||
           qobject_cast<const QGroupBox*>(control) || qobject_cast<const QLabel*>(control);
}

void SetButtonFaceColors(QWidget& window)
{
    const QColor face = buttonFaceColor();
    setBackColor(&window, face);
    const QList<QWidget*> controls = window.findChildren<QWidget*>();
    for (QWidget* control : controls) {
        // Message boxes and dialogs that happen to be open are windows of their own, with their controls.
        if (control->window() != &window)
            continue;
        if (takesButtonFace(control))
            setBackColor(control, face);
    }
}

QString applicationIconPath()
{
    registerQuarvelResources();
    return QStringLiteral(":/quarvel/Quarvel.ico");
}

QIcon applicationIcon()
{
    return QIcon(applicationIconPath());
}

void makeFixedWindow(QWidget& window, QSize clientSize, bool minimizeButton)
{
    // A dialog stays a dialog (modal over its owner); anything else becomes a top-level window.
    const Qt::WindowFlags type =
        (window.windowFlags() & Qt::WindowType_Mask) == Qt::Dialog ? Qt::Dialog : Qt::Window;
    Qt::WindowFlags flags = type | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                            Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint;
    if (minimizeButton)
        flags |= Qt::WindowMinimizeButtonHint;
    window.setWindowFlags(flags);
    window.setFixedSize(clientSize);
    setBackColor(&window, colorFromValue(WhiteValue));
}

void centreOnScreen(QWidget& window)
{
    QScreen* screen = window.screen() ? window.screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    const QSize frame = window.frameGeometry().size();
    const QSize outer = frame.isValid() && !frame.isEmpty() ? frame : window.size();
    window.move(area.x() + (area.width() - outer.width()) / 2,
                area.y() + (area.height() - outer.height()) / 2);
}

} // namespace quarvel::ui
