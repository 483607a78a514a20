#pragma once
// The pointer of a window: its mode (0 default, 11 hourglass, 99 custom pointer), its custom pointer
// image, and the hover rule that every window shares.
//
// Each window owns one WindowPointer and marks its controls as "set" places (push buttons: the custom
// pointer) or "reset" places (the window surface and some controls: the default pointer):
//
//     m_pointer = new WindowPointer(this);
//     m_pointer->addSetPlace(PushButton1);     // mouse move over the button: mode 99 unless 11
//     m_pointer->addResetPlace(this);          // mouse move over the window surface: mode 0 unless 11
//     m_pointer->addResetPlace(List1);         // a list: moves over its viewport count
//
// Controls marked as neither have no mouse-move handling: moving onto them keeps the pointer. A long
// operation sets Hourglass at its start and DefaultPointer at its end; no hover event replaces it.

#include "core/PointerMode.h"
#include "core/Procedure.h"

#include <QCursor>
#include <QObject>
#include <QPointer>
#include <QString>

class QWidget;

namespace quarvel::ui {

class PushButton;

using quarvel::PointerMode;

class WindowPointer : public QObject
{
    Q_OBJECT
public:
    // Attaches to the window as its child; the window starts in DefaultPointer without a custom image.
    explicit WindowPointer(QWidget* window);

    // The pointer of a window, or nullptr when the window has none.
    static WindowPointer* of(const QWidget* window);

    QWidget* window() const { return m_window; }

    // The window's pointer mode. setMode throws std::invalid_argument for a value other than 0, 11, 99.
    int mode() const { return m_mode; }
    void setMode(int mode);

    // The custom pointer image, shown in mode 99. Without one, mode 99 shows a pointing hand.
    bool hasCustomCursor() const { return m_hasCustom; }
    QCursor customCursor() const { return m_custom; }
    void setCustomCursor(const QCursor& cursor);

    // The cursor that the window shows over its surface and its push buttons in the current mode.
    QCursor shownCursor() const;

    // The hover rule: leave the hourglass alone, otherwise custom pointer (set) or default (reset).
    void hoverSet();
    void hoverReset();

    // Wiring of the hover handlers; the control must be a descendant of the window (or the window).
    void addSetPlace(PushButton* button);
    void addResetPlace(QWidget* control);

signals:
    void modeChanged(int mode);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void applyCursor();

    QPointer<QWidget> m_window;
    int m_mode = DefaultPointer;
    QCursor m_custom;
    bool m_hasCustom = false;
};

// The mode of a window's pointer (tests; 0 for a window without one).
int pointerMode(const QWidget* window);

// Reads a Windows cursor file (or icon file) as a cursor with the file's hot spot. Throws
// std::runtime_error when the file cannot be read or is not a cursor or icon that this platform can show.
QCursor loadCursorFile(const QString& path);

// The hand cursor step of a window's load: when "HAND-M.CUR" exists in the side-file folder
// (ui/SideFiles.h), it becomes the window's custom pointer. The test and the load are the two steps
// testLine and loadLine of the window's report; a file that cannot be loaded is reported at loadLine
// and the window keeps no custom pointer.
void handCursorStep(Procedure& procedure, int testLine, int loadLine, WindowPointer& pointer);

} // namespace quarvel::ui
