#pragma once
// A stand-in for the Main window (`Form2`) until the real one is built: caption "Quarvel", the Main
// window's size, "< Back" to the Connection window, and the end of the tool when it is closed.

#include <QWidget>

namespace quarvel::ui {

class PushButton;
class WindowPointer;

class MainWindowPlaceholder : public QWidget
{
    Q_OBJECT
public:
    // connectionWindow: the window that "< Back" shows again.
    explicit MainWindowPlaceholder(QWidget& connectionWindow, QWidget* parent = nullptr);

    void Form_Unload();
    void PushButton5_Click(); // "< Back"

    PushButton* PushButton5 = nullptr;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QWidget& m_connectionWindow;
    WindowPointer* m_pointer = nullptr;
};

} // namespace quarvel::ui
