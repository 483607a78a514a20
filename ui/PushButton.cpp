#include "ui/PushButton.h"

#include <QMouseEvent>

namespace quarvel::ui {

PushButton::PushButton(const QString& caption, QWidget* parent) : QPushButton(caption, parent)
{
    setMouseTracking(true);
    setAutoDefault(false);
}

void PushButton::mouseMoveEvent(QMouseEvent* event)
{
    QPushButton::mouseMoveEvent(event);
    const QPoint at = event->position().toPoint();
    emit mouseMoved(event->buttons(), event->modifiers(), at.x(), at.y());
    // QAbstractButton ignores a move without a press; accepted here, it does not travel on to the
    // window, whose own mouse-move handler would undo the button's.
    event->accept();
}

} // namespace quarvel::ui
