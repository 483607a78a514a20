#pragma once
// What the window tests share: the classic button face, the world a window reaches outside itself (side
// files, the end of the tool), pointer moves, the hover rule's rows and what a user's tools read off a
// control (its label, its accessible name).

#include "ui/EndOfTool.h"
#include "ui/SideFiles.h"

#include <QAccessible>
#include <QApplication>
#include <QByteArray>
#include <QColor>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMouseEvent>
#include <QPalette>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>

namespace quarvel::test {

// A button face that differs from white, whatever the platform's scheme.
inline const QColor ClassicButtonFace(0xD4, 0xD0, 0xC8);

inline void useClassicButtonFace()
{
    QPalette palette = QApplication::palette();
    palette.setColor(QPalette::Button, ClassicButtonFace);
    QApplication::setPalette(palette);
}

// Writes the file whole, making its folder first.
inline bool writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Empties the folder, hidden entries included; a link is removed, never followed.
inline void clearFolder(const QString& folder)
{
    QDir dir(folder);
    for (const QFileInfo& info :
         dir.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System)) {
        if (info.isDir() && !info.isSymLink())
            QDir(info.filePath()).removeRecursively();
        else
            QFile::remove(info.filePath());
    }
}

// The windows' outside world during a test class: the classic button face, side files (hand cursor,
// skin) from a folder of the test's own, and the end of the tool counted instead of ending the test.
// Call install() from initTestCase, reset() from init and uninstall() from cleanupTestCase.
struct WindowSandbox
{
    QTemporaryDir sideFiles;
    int ends = 0;

    void install()
    {
        useClassicButtonFace();
        ui::setSideFileFolder(sideFiles.path());
        ui::setEndOfToolAction([this] { ++ends; });
    }

    void reset()
    {
        clearFolder(sideFiles.path());
        ends = 0;
    }

    void uninstall()
    {
        ui::setEndOfToolAction({});
        ui::setSideFileFolder(QString());
    }
};

// A mouse move without a button held, delivered as the application delivers it (tracking and
// propagation rules included).
inline void moveOver(QWidget* widget)
{
    const QPointF local(widget->width() / 2.0, widget->height() / 2.0);
    QMouseEvent move(QEvent::MouseMove, local, widget->mapToGlobal(local), Qt::NoButton, Qt::NoButton,
                     Qt::NoModifier);
    QApplication::sendEvent(widget, &move);
}

// Rows "control", "from", "to" of the hover rule: over a control that sets, any mode but 11 becomes 99;
// over one that resets, any mode but 11 becomes 0; over any other control the mode stays.
inline void addHoverRows(const QStringList& sets, const QStringList& resets, const QStringList& none)
{
    QTest::addColumn<QString>("control");
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("to");
    for (int from : {0, 99, 11}) {
        for (const QString& c : sets)
            QTest::addRow("%s from %d", qPrintable(c), from) << c << from << (from == 11 ? 11 : 99);
        for (const QString& c : resets)
            QTest::addRow("%s from %d", qPrintable(c), from) << c << from << (from == 11 ? 11 : 0);
        for (const QString& c : none)
            QTest::addRow("%s from %d", qPrintable(c), from) << c << from << from;
    }
}

// The report text of a hand cursor file that is there but is not a cursor.
inline QString notACursorFile(const QString& path)
{
    return QStringLiteral("The cursor file %1 cannot be used: it is not a cursor file")
        .arg(QDir::toNativeSeparators(path));
}

// The label of the window whose buddy the control is (null when none is).
inline QLabel* labelOf(const QWidget& window, const QWidget* control)
{
    QLabel* label = nullptr;
    for (QLabel* l : window.findChildren<QLabel*>())
        if (l->buddy() == control)
            label = l;
    return label;
}

// The name that assistive tools read for the control; null when they cannot reach it at all.
inline QString accessibleName(QWidget* control)
{
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(control);
    return accessible ? accessible->text(QAccessible::Name) : QString();
}

} // namespace quarvel::test
