#pragma once
// The two top-level windows of a running tool, wired to each other: the Connection window (`Form1`)
// and the Main window, which is created on its first showing and then stays loaded. main() makes one;
// tests make their own.

#include <QWidget>

#include <memory>

namespace quarvel {
class Prompts;
}

namespace quarvel::ui {

class Form1;
class Form2;

class ToolWindows
{
public:
    explicit ToolWindows(Prompts& prompts);
    ~ToolWindows();
    ToolWindows(const ToolWindows&) = delete;
    ToolWindows& operator=(const ToolWindows&) = delete;

    // The start-up: loads the Connection window, whose load shows the Main window when the stored
    // details connect.
    void start();

    Form1& connectionWindow() const { return *m_connectionWindow; }
    // The Main window, or nullptr until it was first shown.
    Form2* mainWindow() const { return m_mainWindow.get(); }

private:
    QWidget* showMainWindow();

    Prompts& m_prompts;
    std::unique_ptr<Form1> m_connectionWindow;
    std::unique_ptr<Form2> m_mainWindow;
};

} // namespace quarvel::ui
