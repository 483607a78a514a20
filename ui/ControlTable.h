#pragma once
// The table a window is built from: one row per control, giving the member that keeps it, its object
// name, place, caption, parent, tab stop, the control a label names, and the window procedure its change
// or click runs. buildControls makes the controls in the order of the rows: later rows lie above
// earlier ones, and the keyboard reaches controls without a tab stop in that order.

#include "ui/Appearance.h"
#include "ui/PushButton.h"
#include "ui/TabControl.h"

#include <QComboBox>
#include <QLineEdit>
#include <QWidget>

#include <concepts>
#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

class QGroupBox;
class QLabel;
class QListWidget;

namespace quarvel::ui {

// A window's member that keeps one control. Its type says which kind of control the row makes, so the
// kind cannot disagree with the member the tests and the procedures reach the control through.
class ControlMember
{
public:
    // Implicit, so that a row names the member as the window declares it: .control = Text1.
    ControlMember(QLabel*& label) : m_member(&label) {}
    ControlMember(QLineEdit*& textBox) : m_member(&textBox) {}
    ControlMember(PushButton*& button) : m_member(&button) {}
    ControlMember(QGroupBox*& frame) : m_member(&frame) {}
    ControlMember(QComboBox*& combo) : m_member(&combo) {}
    ControlMember(QListWidget*& list) : m_member(&list) {}
    ControlMember(TabControl*& tabs) : m_member(&tabs) {}

    // The control the member holds: null until its row is built.
    QWidget* widget() const;

    // Calls visitor with the member's address, typed (QLabel**, QLineEdit**, ...).
    template <class Visitor> decltype(auto) visit(Visitor&& visitor) const
    {
        return std::visit(std::forward<Visitor>(visitor), m_member);
    }

private:
    std::variant<QLabel**, QLineEdit**, PushButton**, QGroupBox**, QComboBox**, QListWidget**, TabControl**>
        m_member;
};

// Where a control sits: on the window, in a frame, or on one page of a tab control. The frame or tab
// control is named by its member and must have a row earlier in the table.
class ControlParent
{
public:
    ControlParent() = default;
    ControlParent(QGroupBox*& frame) : m_frame(&frame) {}
    ControlParent(TabControl*& tabs, int page) : m_tabs(&tabs), m_page(page) {}

    // Throws std::logic_error when the frame or the page is not built yet.
    QWidget* widget(QWidget& window) const;

private:
    QGroupBox* const* m_frame = nullptr;
    TabControl* const* m_tabs = nullptr;
    int m_page = 0;
};

// Labels, text boxes and frames show the window's text in bold or not; push buttons always in bold.
enum class TextWeight { Plain, Bold };

// A row without a tab stop: labels, frames, and controls that the keyboard reaches in creation order.
inline constexpr int NoTab = -1;

template <class Window> struct ControlRow
{
    ControlMember control;
    const char* name;
    TwipsRect place; // relative to the parent
    const char* caption = "";
    std::vector<const char*> pages = {}; // a tab control's tabs
    ControlParent parent = {};
    // Tab stops run from the lowest index to the highest; two rows may not share one.
    int tab = NoTab;
    // For a label: the control it names for assistive tools.
    std::optional<ControlMember> buddy = {};
    // What assistive tools say for the control (for a tab control, for its row of tabs). A symbol
    // button needs one; so does a control without a label.
    const char* spokenName = nullptr;
    // Runs on the control's click (push button), text change (text box), selection change (combo box)
    // or tab change (tab control). Other kinds have no handler.
    void (Window::*handler)() = nullptr;
};

namespace detail {

// Makes the row's control, keeps it in its member, places it and gives it its name, caption, font and
// spoken name. Labels and frames sit on the design's white background, text boxes take text of any
// length, push buttons show Arial 11.25 pt bold; combo boxes, lists and tab controls keep the window's
// font. Throws std::logic_error for a row without a name, a member that already holds a control
// (two rows, one member) or a parent that is not built yet.
void makeControl(QWidget& window, TextWeight weight, const ControlMember& control, const char* name,
                 const TwipsRect& place, const char* caption, const std::vector<const char*>& pages,
                 const ControlParent& parent, const char* spokenName);
void setBuddy(const ControlMember& label, const ControlMember& buddy);
// Chains the focus of the rows with a tab stop, lowest index first. Throws std::logic_error when two
// rows share an index.
void chainTabStops(std::vector<std::pair<int, ControlMember>> stops);

template <class Window> void connectHandler(Window& window, const ControlRow<Window>& row)
{
    row.control.visit([&]<class Control>(Control** member) {
        if constexpr (std::same_as<Control, PushButton>)
            QObject::connect(*member, &QPushButton::clicked, &window, row.handler);
        else if constexpr (std::same_as<Control, QLineEdit>)
            QObject::connect(*member, &QLineEdit::textChanged, &window, row.handler);
        else if constexpr (std::same_as<Control, QComboBox>)
            QObject::connect(*member, &QComboBox::currentIndexChanged, &window, row.handler);
        else if constexpr (std::same_as<Control, TabControl>)
            QObject::connect(*member, &TabControl::selectedChanged, &window, row.handler);
        else
            throw std::logic_error(std::string(row.name) + " has no signal for a handler.");
    });
}

} // namespace detail

// Builds the window's controls from its table: makes them in the order of the rows, names them, sets
// the labels' buddies, chains the tab stops and connects the handlers. Throws std::logic_error for a
// table that contradicts itself (see ControlRow and detail::makeControl); such a table is a bug.
template <class Window, std::size_t Rows>
void buildControls(Window& window, TextWeight weight, const ControlRow<Window> (&rows)[Rows])
{
    for (const ControlRow<Window>& row : rows)
        detail::makeControl(window, weight, row.control, row.name, row.place, row.caption, row.pages,
                            row.parent, row.spokenName);
    std::vector<std::pair<int, ControlMember>> stops;
    for (const ControlRow<Window>& row : rows) {
        if (row.buddy)
            detail::setBuddy(row.control, *row.buddy);
        if (row.tab != NoTab)
            stops.emplace_back(row.tab, row.control);
        if (row.handler)
            detail::connectHandler(window, row);
    }
    detail::chainTabStops(std::move(stops));
}

} // namespace quarvel::ui
