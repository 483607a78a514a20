#include "ui/MainWindowPlaceholder.h"

#include "app/Identity.h"
#include "ui/Appearance.h"
#include "ui/EndOfTool.h"
#include "ui/PushButton.h"
#include "ui/WindowPointer.h"

#include <QCloseEvent>
#include <QLabel>

namespace quarvel::ui {

MainWindowPlaceholder::MainWindowPlaceholder(QWidget& connectionWindow, QWidget* parent)
    : QWidget(parent), m_connectionWindow(connectionWindow)
{
    setObjectName(QStringLiteral("MainWindowPlaceholder"));
    makeFixedWindow(*this, twipsSize(8040, 7530));
    SetButtonFaceColors(*this);
    setFont(arialFont(WindowFontSize));
    setWindowTitle(QLatin1String(identity::ProductName));
    setWindowIcon(applicationIcon());

    auto* note =
        new QLabel(QStringLiteral("The table list and the find and replace controls come here."), this);
    note->setGeometry(TwipsRect{120, 120, 7800, 405}.toPixels());
    note->setAlignment(Qt::AlignCenter);

    PushButton5 = new PushButton(QStringLiteral("< Back"), this);
    PushButton5->setObjectName(QStringLiteral("PushButton5"));
    PushButton5->setGeometry(TwipsRect{120, 7020, 7800, 405}.toPixels());
    PushButton5->setFont(arialFont(ButtonFontSize, true));
    connect(PushButton5, &QPushButton::clicked, this, &MainWindowPlaceholder::PushButton5_Click);

    m_pointer = new WindowPointer(this);
    m_pointer->addSetPlace(PushButton5);
    m_pointer->addResetPlace(this);
}

void MainWindowPlaceholder::PushButton5_Click()
{
    m_connectionWindow.show();
    hide();
}

void MainWindowPlaceholder::Form_Unload()
{
    endTool();
}

void MainWindowPlaceholder::closeEvent(QCloseEvent* event)
{
    event->accept();
    Form_Unload();
}

} // namespace quarvel::ui
