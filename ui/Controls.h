#pragma once
// What the three windows build their controls and change handlers from: controls placed from a layout
// table in the windows' fonts, a settings writer for change handlers, and centring on the first showing.

#include "ui/Appearance.h"

#include <QString>

class QLabel;
class QLineEdit;
class QWidget;

namespace quarvel {
class Prompts;
}

namespace quarvel::ui {

class PushButton;

// A label on the design's white background, Arial 9 pt (bold where asked).
QLabel* makeLabel(const QString& caption, const TwipsRect& place, QWidget* parent, bool bold);
// A one-line text box without a length limit, Arial 9 pt (bold where asked).
QLineEdit* makeTextBox(const TwipsRect& place, QWidget* parent, bool bold);
// A push button in Arial 11.25 pt bold.
PushButton* makeButton(const QString& caption, const TwipsRect& place, QWidget* parent);

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

} // namespace quarvel::ui
