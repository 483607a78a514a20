#pragma once
// What the windows share besides the control tables (ui/ControlTable.h): a settings writer for change
// handlers, centring on the first showing, the pointer over the buttons, and for the windows laid out
// by Qt's layouts their named buttons and status line.

#include <QString>

#include <initializer_list>
#include <utility>

class QLabel;
class QPushButton;
class QWidget;

namespace quarvel {
class Prompts;
}

namespace quarvel::ui {

class PushButton;
class WindowPointer;

// Saves the settings of one window's change handlers. The handlers carry no error report of their own,
// but a store that cannot be written must not pass unnoticed either: the first failure is reported
// (named "<window>.<procedure>", line 0), later ones are not, so typing does not raise a box per key.
class SettingWriter
{
public:
    SettingWriter(Prompts& prompts, QString window) : m_prompts(prompts), m_window(std::move(window)) {}
    void save(const char* key, const QString& value, const char* procedure) noexcept;

private:
    Prompts& m_prompts;
    QString m_window;
    bool m_reported = false;
};

// Centres the window on its first showing by the program; the user may move it afterwards.
void centreOnFirstShowing(QWidget& window);

// The window's pointer modes, owned by the window: the buttons show the hand, the window's surface the
// default pointer; other controls leave the pointer as it is unless the window adds them.
WindowPointer* pointerOverButtons(QWidget& window, std::initializer_list<PushButton*> buttons);

// A plain push button with its object name, by which the tests find it.
QPushButton* namedButton(const QString& caption, const char* name, QWidget* parent);

// The status line "Status": wrapped, its text selectable from the keyboard. It has no accessible name,
// so that a screen reader reads the text itself.
QLabel* statusLine(QWidget* parent);

} // namespace quarvel::ui
