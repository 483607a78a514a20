#include "ui/WindowPointer.h"

#include "core/Files.h"
#include "ui/PushButton.h"
#include "ui/SideFiles.h"

#include <QAbstractScrollArea>
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImageReader>
#include <QMouseEvent>
#include <QPixmap>
#include <QWidget>

#if defined(QUARVEL_HAVE_XCB)
#include <QtGui/qguiapplication_platform.h>

#include <xcb/xcb.h>
#endif

#include <stdexcept>

namespace quarvel::ui {

namespace {
// A long operation blocks the event loop right after setting the hourglass; on X11 the request that
// changes the pointer would wait in the client's buffer until the operation ends.
void sendPointerToDisplay()
{
#if defined(QUARVEL_HAVE_XCB)
    if (auto* x11 = qApp ? qApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr) {
        if (xcb_connection_t* connection = x11->connection())
            xcb_flush(connection);
    }
#endif
}

quint16 u16At(const QByteArray& bytes, int offset)
{
    return static_cast<quint16>(static_cast<quint8>(bytes[offset]) |
                                (static_cast<quint8>(bytes[offset + 1]) << 8));
}

std::runtime_error notACursor(const QString& path, const QString& why)
{
    return std::runtime_error(QStringLiteral("The cursor file %1 cannot be used: %2")
                                  .arg(QDir::toNativeSeparators(path), why)
                                  .toStdString());
}
} // namespace

WindowPointer::WindowPointer(QWidget* window) : QObject(window), m_window(window)
{
    setObjectName(QStringLiteral("WindowPointer"));
}

WindowPointer* WindowPointer::of(const QWidget* window)
{
    return window ? window->findChild<WindowPointer*>(QString(), Qt::FindDirectChildrenOnly) : nullptr;
}

void WindowPointer::setMode(int mode)
{
    if (mode != DefaultPointer && mode != Hourglass && mode != CustomPointer)
        throw std::invalid_argument("Invalid pointer mode " + std::to_string(mode));
    if (mode == m_mode)
        return;
    m_mode = mode;
    applyCursor();
    emit modeChanged(m_mode);
}

void WindowPointer::setCustomCursor(const QCursor& cursor)
{
    m_custom = cursor;
    m_hasCustom = true;
    if (m_mode == CustomPointer)
        applyCursor();
}

QCursor WindowPointer::shownCursor() const
{
    switch (m_mode) {
    case Hourglass:
        return QCursor(Qt::WaitCursor);
    case CustomPointer:
        return m_hasCustom ? m_custom : QCursor(Qt::PointingHandCursor);
    default:
        return QCursor(Qt::ArrowCursor);
    }
}

void WindowPointer::applyCursor()
{
    if (!m_window)
        return;
    if (m_mode == DefaultPointer)
        m_window->unsetCursor();
    else
        m_window->setCursor(shownCursor());
    sendPointerToDisplay();
}

void WindowPointer::hoverSet()
{
    if (m_mode != Hourglass)
        setMode(CustomPointer);
}

void WindowPointer::hoverReset()
{
    if (m_mode != Hourglass)
        setMode(DefaultPointer);
}

void WindowPointer::addSetPlace(PushButton* button)
{
    connect(button, &PushButton::mouseMoved, this, &WindowPointer::hoverSet);
}

void WindowPointer::addResetPlace(QWidget* control)
{
    // A list or other scroll area receives the pointer on its viewport, not on itself.
    QWidget* target = control;
    if (auto* area = qobject_cast<QAbstractScrollArea*>(control))
        target = area->viewport();
    target->setMouseTracking(true);
    target->installEventFilter(this);
}

bool WindowPointer::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::MouseMove)
        hoverReset();
    return QObject::eventFilter(watched, event);
}

int pointerMode(const QWidget* window)
{
    const WindowPointer* pointer = WindowPointer::of(window);
    return pointer ? pointer->mode() : DefaultPointer;
}

QCursor loadCursorFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw notACursor(path, file.errorString());
    const QByteArray bytes = file.readAll();
    // Header: reserved 0, type (1 icon, 2 cursor), image count; then 16-byte entries. A cursor keeps
    // its hot spot in the first entry, where an icon keeps planes and bit count.
    if (bytes.size() < 22 || u16At(bytes, 0) != 0 || (u16At(bytes, 2) != 1 && u16At(bytes, 2) != 2) ||
        u16At(bytes, 4) == 0)
        throw notACursor(path, QStringLiteral("it is not a cursor file"));
    const bool isCursor = u16At(bytes, 2) == 2;

    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "ico");
    const QImage image = reader.read();
    if (image.isNull())
        throw notACursor(path, reader.errorString());

    // An icon used as a pointer points with its centre, as the platform treats icons made into cursors.
    int x = image.width() / 2;
    int y = image.height() / 2;
    if (isCursor) {
        x = qBound(0, int(u16At(bytes, 10)), image.width() - 1);
        y = qBound(0, int(u16At(bytes, 12)), image.height() - 1);
    }
    return QCursor(QPixmap::fromImage(image), x, y);
}

void handCursorStep(Procedure& procedure, int testLine, int loadLine, WindowPointer& pointer)
{
    const QString path = handCursorPath();
    if (procedure.test(testLine, [&] { return files::FileExists(path); }))
        procedure.step(loadLine, [&] { pointer.setCustomCursor(loadCursorFile(path)); });
}

} // namespace quarvel::ui
