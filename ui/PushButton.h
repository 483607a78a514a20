#pragma once
// The push button of all windows: a click on a press (QAbstractButton::clicked) and a mouse-move event
// whenever the pointer moves over it, also without a mouse button held.

#include <QPushButton>

namespace quarvel::ui {

class PushButton : public QPushButton
{
    Q_OBJECT
public:
    explicit PushButton(const QString& caption, QWidget* parent = nullptr);

signals:
    // The pointer moved over the button: the buttons held, the keyboard modifiers, and the position
    // in the button. The windows' hover handlers ignore all four.
    void mouseMoved(Qt::MouseButtons buttons, Qt::KeyboardModifiers modifiers, int x, int y);

protected:
    void mouseMoveEvent(QMouseEvent* event) override;
};

} // namespace quarvel::ui
