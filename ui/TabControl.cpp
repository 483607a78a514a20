#include "ui/TabControl.h"

#include <QResizeEvent>
#include <QTabBar>

#include <stdexcept>

namespace quarvel::ui {

TabControl::TabControl(QWidget* parent) : QWidget(parent), m_bar(new QTabBar(this))
{
    m_bar->setDrawBase(true);
    m_bar->setExpanding(false);
    connect(m_bar, &QTabBar::currentChanged, this, [this](int index) {
        showSelectedPage();
        emit selectedChanged(index);
    });
}

QWidget* TabControl::addTab(const QString& caption)
{
    auto* page = new QWidget(this);
    page->setGeometry(rect());
    m_pages.append(page);
    m_bar->addTab(caption);
    // The tabs stay above the pages: the pages' top rows hold no controls.
    m_bar->raise();
    showSelectedPage();
    return page;
}

int TabControl::count() const
{
    return m_bar->count();
}

int TabControl::selectedIndex() const
{
    return m_bar->currentIndex();
}

void TabControl::setSelectedIndex(int index)
{
    if (index < 0 || index >= m_bar->count())
        throw std::invalid_argument("Invalid property value: there is no tab " + std::to_string(index) + ".");
    m_bar->setCurrentIndex(index);
}

void TabControl::setSelectedIndex(const QString& text)
{
    bool ok = false;
    const int index = text.trimmed().toInt(&ok);
    if (!ok)
        throw std::invalid_argument("Type mismatch: \"" + text.toStdString() + "\" is not a tab index.");
    setSelectedIndex(index);
}

void TabControl::resizeEvent(QResizeEvent* event)
{
    m_bar->setGeometry(0, 0, event->size().width(), m_bar->sizeHint().height());
    for (QWidget* page : m_pages)
        page->setGeometry(0, 0, event->size().width(), event->size().height());
    QWidget::resizeEvent(event);
}

void TabControl::showSelectedPage()
{
    for (qsizetype i = 0; i < m_pages.size(); ++i)
        m_pages[i]->setVisible(i == m_bar->currentIndex());
    m_bar->raise();
}

} // namespace quarvel::ui
