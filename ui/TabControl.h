#pragma once
// The tab control of the Main window: a row of tabs over a page area, where each tab's controls are
// placed relative to the whole control (tabs included) and only the selected tab's controls show.

#include <QList>
#include <QWidget>

class QTabBar;

namespace quarvel::ui {

class TabControl : public QWidget
{
    Q_OBJECT
public:
    explicit TabControl(QWidget* parent = nullptr);

    // Adds a tab and answers the widget that holds its controls (the size of the whole control).
    QWidget* addTab(const QString& caption);

    int count() const;
    int selectedIndex() const;
    // Throws std::invalid_argument for an index that names no tab.
    void setSelectedIndex(int index);
    // The stored text of a selected index ("0", "1"); throws std::invalid_argument for any other text.
    void setSelectedIndex(const QString& text);

    QTabBar* tabBar() const { return m_bar; }
    QWidget* page(int index) const { return m_pages.value(index); }

signals:
    // The selected tab changed, by the user or by the program.
    void selectedChanged(int index);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void showSelectedPage();

    QTabBar* m_bar = nullptr;
    QList<QWidget*> m_pages;
};

} // namespace quarvel::ui
