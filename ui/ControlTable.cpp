#include "ui/ControlTable.h"

#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QTabBar>

#include <algorithm>
#include <limits>

namespace quarvel::ui {

namespace {

template <class... Visitors> struct Overloaded : Visitors...
{
    using Visitors::operator()...;
};
template <class... Visitors> Overloaded(Visitors...) -> Overloaded<Visitors...>;

QFont textFont(TextWeight weight)
{
    return arialFont(WindowFontSize, weight == TextWeight::Bold);
}

// The part of a control that takes the focus and is spoken: a tab control's row of tabs.
QWidget* focusPart(const ControlMember& control)
{
    QWidget* widget = control.widget();
    if (auto* tabs = qobject_cast<TabControl*>(widget))
        return tabs->tabBar();
    return widget;
}

} // namespace

QWidget* ControlMember::widget() const
{
    return visit([](auto** member) -> QWidget* { return *member; });
}

QWidget* ControlParent::widget(QWidget& window) const
{
    QWidget* parent = &window;
    if (m_frame)
        parent = *m_frame;
    else if (m_tabs)
        parent = *m_tabs ? (*m_tabs)->page(m_page) : nullptr;
    if (!parent)
        throw std::logic_error("A control's frame or tab page is not built before it.");
    return parent;
}

namespace detail {

void makeControl(QWidget& window, TextWeight weight, const ControlMember& control, const char* name,
                 const TwipsRect& place, const char* caption, const std::vector<const char*>& pages,
                 const ControlParent& parent, const char* spokenName)
{
    if (!name)
        throw std::logic_error("A control in the table has no name.");
    if (control.widget())
        throw std::logic_error(std::string(name) + " is built by two rows.");
    QWidget* on = parent.widget(window);
    const QString text = QString::fromUtf8(caption);
    QWidget* made = control.visit(Overloaded{
        [&](QLabel** label) -> QWidget* {
            *label = new QLabel(text, on);
            (*label)->setFont(textFont(weight));
            setBackColor(*label, colorFromValue(WhiteValue));
            return *label;
        },
        [&](QLineEdit** box) -> QWidget* {
            *box = new QLineEdit(on);
            (*box)->setFont(textFont(weight));
            (*box)->setMaxLength(std::numeric_limits<int>::max());
            return *box;
        },
        [&](PushButton** button) -> QWidget* {
            *button = new PushButton(text, on);
            (*button)->setFont(arialFont(ButtonFontSize, true));
            return *button;
        },
        [&](QGroupBox** frame) -> QWidget* {
            *frame = new QGroupBox(text, on);
            (*frame)->setFont(textFont(weight));
            setBackColor(*frame, colorFromValue(WhiteValue));
            return *frame;
        },
        [&](QComboBox** combo) -> QWidget* { return *combo = new QComboBox(on); },
        [&](QListWidget** list) -> QWidget* { return *list = new QListWidget(on); },
        [&](TabControl** tabs) -> QWidget* { return *tabs = new TabControl(on); },
    });
    made->setObjectName(QLatin1String(name));
    // Placed before the tabs are added: a tab's page takes the size of the whole control.
    made->setGeometry(place.toPixels());
    if (auto* tabs = qobject_cast<TabControl*>(made))
        for (const char* page : pages)
            tabs->addTab(QString::fromUtf8(page));
    if (spokenName)
        focusPart(control)->setAccessibleName(QString::fromUtf8(spokenName));
}

void setBuddy(const ControlMember& label, const ControlMember& buddy)
{
    auto* named = qobject_cast<QLabel*>(label.widget());
    if (!named)
        throw std::logic_error("Only a label names another control.");
    named->setBuddy(buddy.widget());
}

void chainTabStops(std::vector<std::pair<int, ControlMember>> stops)
{
    std::stable_sort(stops.begin(), stops.end(),
                     [](const auto& left, const auto& right) { return left.first < right.first; });
    for (std::size_t i = 1; i < stops.size(); ++i) {
        if (stops[i - 1].first == stops[i].first)
            throw std::logic_error(stops[i - 1].second.widget()->objectName().toStdString() + " and " +
                                   stops[i].second.widget()->objectName().toStdString() +
                                   " share tab index " + std::to_string(stops[i].first) + ".");
        QWidget::setTabOrder(focusPart(stops[i - 1].second), focusPart(stops[i].second));
    }
}

} // namespace detail

} // namespace quarvel::ui
