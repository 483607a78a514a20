#pragma once
// What the three windows share in looks: layout units, fonts, the two design colours, the colour step
// (SetButtonFaceColors), the application icon, fixed-size centred windows.

#include <QColor>
#include <QFont>
#include <QIcon>
#include <QRect>
#include <QSize>

class QWidget;

namespace quarvel::ui {

// ---- Layout units. Window layouts are given in twips (1/1440 inch): 15 twips make one pixel at 96
// dots per inch. The result is in Qt's device-independent pixels, which Qt scales on denser screens.
constexpr int twips(int value)
{
    return (value >= 0 ? value + 7 : value - 7) / 15;
}

// Left, top, width, height in twips, as the layout tables give them.
struct TwipsRect
{
    int left;
    int top;
    int width;
    int height;
    QRect toPixels() const { return QRect(twips(left), twips(top), twips(width), twips(height)); }
};

inline QSize twipsSize(int width, int height)
{
    return QSize(twips(width), twips(height));
}

// ---- Fonts. Designed in Arial; where Arial is missing its metric twin Liberation Sans stands in.
QFont arialFont(qreal pointSize, bool bold = false);
inline constexpr qreal WindowFontSize = 9.0;   // windows, labels, boxes, frames
inline constexpr qreal ButtonFontSize = 11.25; // push buttons

// ---- Colours. Stored colour values as the windows were designed with them.
inline constexpr quint32 ButtonFaceValue = 0x8000000F; // system colour "button face"
inline constexpr quint32 WhiteValue = 0x00FFFFFF;

// The system colour button face: the Button colour of the application's palette, which follows the
// desktop's colour scheme.
QColor buttonFaceColor();
// A stored colour value as a colour: a system colour (high bit set) or 0x00BBGGRR.
QColor colorFromValue(quint32 value);

// The background colour of a window or control, painted by the control itself.
void setBackColor(QWidget* widget, const QColor& color);
QColor backColor(const QWidget* widget);

// True for the kinds of control that the colour step recolours: option buttons, check boxes, frames
// and labels.
bool takesButtonFace(const QWidget* control);

// The colour step: the window and its option buttons, check boxes, frames and labels take the button
// face colour; other controls keep theirs.
void SetButtonFaceColors(QWidget& window);

// ---- Application icon: one icon, four images (32x32 at 24 bits; 256x256, 128x128, 48x48 at 32 bits).
QIcon applicationIcon();
// The resource path of the icon file, for code that reads its images.
QString applicationIconPath();

// ---- Windows.
// A window with a fixed single border: fixed client size, close and minimize buttons, no maximize
// button (and without a minimize button when asked). A QDialog stays a dialog. The design background is
// white.
void makeFixedWindow(QWidget& window, QSize clientSize, bool minimizeButton = true);
// Places the window in the centre of the screen it is on (its frame included when it has one).
void centreOnScreen(QWidget& window);

} // namespace quarvel::ui
