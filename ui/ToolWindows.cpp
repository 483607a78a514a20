#include "ui/ToolWindows.h"

#include "ui/ConnectionWindow.h"
#include "ui/LoadSetsDialog.h"
#include "ui/MainWindow.h"

namespace quarvel::ui {

ToolWindows::ToolWindows(Prompts& prompts)
    : m_prompts(prompts), m_connectionWindow(std::make_unique<Form1>(prompts))
{
    m_connectionWindow->setMainWindowShower([this] { return showMainWindow(); });
}

ToolWindows::~ToolWindows()
{
    // The Main window refers to the Connection window: it goes first.
    m_mainWindow.reset();
}

void ToolWindows::start()
{
    m_connectionWindow->load();
}

QWidget* ToolWindows::showMainWindow()
{
    // Loaded on its first showing only; afterwards it is shown as it was left.
    if (!m_mainWindow) {
        m_mainWindow = std::make_unique<Form2>(m_prompts, *m_connectionWindow);
        m_mainWindow->setLoadSetsDialog(&Form3::showModal);
        m_mainWindow->Form_Load();
    }
    m_mainWindow->show();
    m_mainWindow->raise();
    m_mainWindow->activateWindow();
    return m_mainWindow.get();
}

} // namespace quarvel::ui
