// Pointer modes and the hover rule on a window of every kind of place, and the cursor files.
#include "CursorFiles.h"
#include "WindowTestSupport.h"
#include "tests/support/ScriptedPrompts.h"
#include "ui/PushButton.h"
#include "ui/SideFiles.h"
#include "ui/WindowPointer.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QtTest>

using namespace quarvel;
using namespace quarvel::ui;
using quarvel::test::moveOver;

namespace {
// Notes that the real pointer has reached a control, so that a test waits for that rather than for a while.
class EnterWatcher : public QObject
{
public:
    explicit EnterWatcher(QWidget* control) { control->installEventFilter(this); }
    bool entered = false;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Enter)
            entered = true;
        return QObject::eventFilter(watched, event);
    }
};

// A window with a push button (set), a text box and a list (reset), and a label and a tab control
// without mouse-move handling; the window surface resets.
struct HoverWindow
{
    QWidget window;
    PushButton* button = new PushButton(QStringLiteral("Start"), &window);
    QLineEdit* box = new QLineEdit(&window);
    QListWidget* list = new QListWidget(&window);
    QLabel* label = new QLabel(QStringLiteral("Tables:"), &window);
    QTabWidget* tabs = new QTabWidget(&window);
    WindowPointer* pointer = new WindowPointer(&window);

    HoverWindow()
    {
        window.resize(400, 300);
        button->setGeometry(10, 10, 120, 30);
        box->setGeometry(10, 50, 120, 24);
        list->setGeometry(150, 10, 200, 100);
        label->setGeometry(10, 120, 120, 20);
        tabs->setGeometry(10, 150, 300, 120);
        tabs->addTab(new QWidget, QStringLiteral("One"));
        pointer->addSetPlace(button);
        pointer->addResetPlace(&window);
        pointer->addResetPlace(box);
        pointer->addResetPlace(list);
    }

    QWidget* place(const QString& name)
    {
        if (name == "button")
            return button;
        if (name == "box")
            return box;
        if (name == "list")
            return list->viewport();
        if (name == "label")
            return label;
        if (name == "tabs")
            return tabs;
        return &window;
    }
};
} // namespace

class TestPointer : public QObject
{
    Q_OBJECT
private slots:
    void newWindowStartsWithDefaultPointer()
    {
        HoverWindow w;
        QCOMPARE(w.pointer->mode(), int(DefaultPointer));
        QCOMPARE(pointerMode(&w.window), 0);
        QCOMPARE(WindowPointer::of(&w.window), w.pointer);
        QVERIFY(!w.pointer->hasCustomCursor());
        QCOMPARE(w.window.cursor().shape(), Qt::ArrowCursor);
    }

    void hoverFromMode_data()
    {
        QTest::addColumn<int>("from");
        QTest::addColumn<QString>("place");
        QTest::addColumn<int>("to");
        const QStringList sets = {"button"};
        const QStringList resets = {"window", "box", "list"};
        const QStringList nothing = {"label", "tabs"};
        for (int from : {0, 99, 11}) {
            for (const QString& place : sets)
                QTest::addRow("%d over %s", from, qPrintable(place))
                    << from << place << (from == 11 ? 11 : 99);
            for (const QString& place : resets)
                QTest::addRow("%d over %s", from, qPrintable(place))
                    << from << place << (from == 11 ? 11 : 0);
            for (const QString& place : nothing)
                QTest::addRow("%d over %s", from, qPrintable(place)) << from << place << from;
        }
    }

    void hoverFromMode()
    {
        QFETCH(int, from);
        QFETCH(QString, place);
        QFETCH(int, to);
        HoverWindow w;
        w.pointer->setMode(from);
        moveOver(w.place(place));
        QCOMPARE(w.pointer->mode(), to);
    }

    void handComesBackAfterTheHourglassEnds()
    {
        HoverWindow w;
        w.pointer->setMode(Hourglass);
        for (const char* place : {"button", "list", "window", "box"})
            moveOver(w.place(place));
        QCOMPARE(w.pointer->mode(), 11);
        w.pointer->setMode(DefaultPointer);
        moveOver(w.button);
        QCOMPARE(w.pointer->mode(), 99);
    }

    void handStaysWhenMovingOntoControlsWithoutHandling()
    {
        HoverWindow w;
        moveOver(w.button);
        moveOver(w.label);
        moveOver(w.tabs);
        moveOver(w.tabs->widget(0));
        QCOMPARE(w.pointer->mode(), 99);
        moveOver(&w.window);
        QCOMPARE(w.pointer->mode(), 0);
    }

    void buttonMoveDoesNotReachTheWindow()
    {
        // The window surface is a reset place: a move over a button must not end up there as well.
        HoverWindow w;
        QSignalSpy modes(w.pointer, &WindowPointer::modeChanged);
        moveOver(w.button);
        QCOMPARE(modes.count(), 1);
        QCOMPARE(modes.first().first().toInt(), 99);
    }

    void pushButtonRaisesClickAndMouseMove()
    {
        PushButton button(QStringLiteral("Go"));
        button.resize(80, 30);
        QSignalSpy clicks(&button, &QPushButton::clicked);
        QSignalSpy moves(&button, &PushButton::mouseMoved);
        moveOver(&button);
        QTest::mouseClick(&button, Qt::LeftButton);
        QCOMPARE(moves.count(), 1);
        QCOMPARE(moves.first().at(2).toInt(), 40);
        QCOMPARE(moves.first().at(3).toInt(), 15);
        QCOMPARE(clicks.count(), 1);
    }

    void realPointerMovesDriveTheMode()
    {
        HoverWindow w;
        w.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w.window));
        QTest::mouseMove(w.button);
        QTRY_COMPARE(w.pointer->mode(), 99);
        QTest::mouseMove(&w.window, QPoint(380, 280));
        QTRY_COMPARE(w.pointer->mode(), 0);
        QTest::mouseMove(w.button);
        QTRY_COMPARE(w.pointer->mode(), 99);
        // Waits for the pointer to reach the label, not for a while: only then does an unchanged mode
        // show that a control without mouse-move handling keeps the pointer.
        EnterWatcher labelEntered(w.label);
        QTest::mouseMove(w.label);
        QTRY_VERIFY(labelEntered.entered);
        QCOMPARE(w.pointer->mode(), 99);
        QTest::mouseMove(w.list->viewport());
        QTRY_COMPARE(w.pointer->mode(), 0);
    }

    void modeDecidesTheWindowCursor()
    {
        HoverWindow w;
        w.pointer->setMode(CustomPointer);
        QCOMPARE(w.window.cursor().shape(), Qt::PointingHandCursor);
        w.pointer->setMode(Hourglass);
        QCOMPARE(w.window.cursor().shape(), Qt::WaitCursor);
        w.pointer->setMode(DefaultPointer);
        QCOMPARE(w.window.cursor().shape(), Qt::ArrowCursor);
        // Push buttons show what the window shows.
        w.pointer->setMode(Hourglass);
        QCOMPARE(w.button->cursor().shape(), Qt::WaitCursor);
    }

    void customCursorIsShownInMode99()
    {
        HoverWindow w;
        QPixmap image(16, 16);
        image.fill(Qt::red);
        w.pointer->setMode(CustomPointer);
        w.pointer->setCustomCursor(QCursor(image, 3, 4));
        QCOMPARE(w.window.cursor().shape(), Qt::BitmapCursor);
        QCOMPARE(w.window.cursor().hotSpot(), QPoint(3, 4));
        w.pointer->setMode(DefaultPointer);
        QCOMPARE(w.window.cursor().shape(), Qt::ArrowCursor);
    }

    void unknownModeIsRefused()
    {
        HoverWindow w;
        QVERIFY_THROWS_EXCEPTION(std::invalid_argument, w.pointer->setMode(1));
        QCOMPARE(w.pointer->mode(), 0);
    }

    void cursorFileKeepsItsHotSpot_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<QPoint>("hotSpot");
        QTest::newRow("tip top left") << 32 << QPoint(0, 0);
        QTest::newRow("inside") << 32 << QPoint(5, 7);
        QTest::newRow("bottom right") << 32 << QPoint(31, 31);
        QTest::newRow("small cursor") << 16 << QPoint(8, 2);
        QTest::newRow("beyond the image is held at its edge") << 16 << QPoint(40, 3);
    }

    void cursorFileKeepsItsHotSpot()
    {
        QFETCH(int, size);
        QFETCH(QPoint, hotSpot);
        QTemporaryDir dir;
        const QString path = dir.filePath("HAND-M.CUR");
        QVERIFY(test::writeFile(path, test::cursorFileBytes(size, hotSpot.x(), hotSpot.y())));
        const QCursor cursor = loadCursorFile(path);
        QCOMPARE(cursor.pixmap().size(), QSize(size, size));
        QCOMPARE(cursor.hotSpot(), QPoint(qMin(hotSpot.x(), size - 1), qMin(hotSpot.y(), size - 1)));
        // The image came through: the diagonal is opaque, the rest transparent.
        const QImage image = cursor.pixmap().toImage();
        QCOMPARE(qAlpha(image.pixel(2, 2)), 255);
        QCOMPARE(qAlpha(image.pixel(3, 2)), 0);
    }

    void shippedHandCursorPointsWithTheFingerTip()
    {
        const QCursor cursor = loadCursorFile(QStringLiteral(QUARVEL_RESOURCES "/HAND-M.CUR"));
        QCOMPARE(cursor.pixmap().size(), QSize(32, 32));
        QCOMPARE(cursor.hotSpot(), QPoint(10, 0));
        QCOMPARE(qAlpha(cursor.pixmap().toImage().pixel(10, 0)), 255);
    }

    void iconFilePointsWithItsCentre()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("HAND-M.CUR");
        QVERIFY(test::writeFile(path, test::cursorFileBytes(32, 0, 0, 1)));
        QCOMPARE(loadCursorFile(path).hotSpot(), QPoint(16, 16));
    }

    void fileThatIsNotACursorIsRefused_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        const QByteArray good = test::cursorFileBytes(32, 1, 1);
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("text") << QByteArray("This is not a cursor, it is a note about one.\r\n");
        QTest::newRow("bitmap file") << QByteArray("BM") + good.mid(2);
        QTest::newRow("unknown type 3") << QByteArray(good).replace(2, 1, "\x03");
        QTest::newRow("no images") << QByteArray(good).replace(4, 2, QByteArray(2, '\0'));
        QTest::newRow("header only") << good.left(22);
        QTest::newRow("image cut short") << good.left(60);
    }

    void fileThatIsNotACursorIsRefused()
    {
        QFETCH(QByteArray, bytes);
        QTemporaryDir dir;
        const QString path = dir.filePath("HAND-M.CUR");
        QVERIFY(test::writeFile(path, bytes));
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, loadCursorFile(path));
    }

    void missingOrUnreadableFileIsRefused()
    {
        QTemporaryDir dir;
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, loadCursorFile(dir.filePath("HAND-M.CUR")));
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, loadCursorFile(dir.path()));
    }

    void handCursorStepLoadsReportsOrSkips_data()
    {
        QTest::addColumn<QByteArray>("bytes"); // empty: no file at all
        QTest::addColumn<bool>("loaded");
        QTest::addColumn<int>("reportedLine");
        QTest::newRow("no file") << QByteArray() << false << 0;
        QTest::newRow("cursor") << test::cursorFileBytes(32, 6, 9) << true << 0;
        QTest::newRow("not a cursor") << QByteArray("GIF89a...") << false << 108;
    }

    void handCursorStepLoadsReportsOrSkips()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, loaded);
        QFETCH(int, reportedLine);
        QTemporaryDir dir;
        setSideFileFolder(dir.path());
        if (!bytes.isEmpty())
            QVERIFY(test::writeFile(dir.filePath("HAND-M.CUR"), bytes));
        test::ScriptedPrompts prompts;
        Procedure p(prompts, QStringLiteral("Form2.Form_Load"));
        HoverWindow w;
        handCursorStep(p, 106, 108, *w.pointer);
        setSideFileFolder(QString());

        QCOMPARE(w.pointer->hasCustomCursor(), loaded);
        if (loaded)
            QCOMPARE(w.pointer->customCursor().hotSpot(), QPoint(6, 9));
        if (reportedLine == 0) {
            QVERIFY(prompts.shown.isEmpty());
        } else {
            QCOMPARE(prompts.errorReports().size(), 1);
            QVERIFY(prompts.errorReports().first().contains(
                QStringLiteral("in Morvane2021/08/31.Form2.Form_Load at line %1\r\n").arg(reportedLine)));
            QVERIFY(prompts.errorReports().first().startsWith(QStringLiteral("The cursor file ")));
        }
    }

    void sideFilesComeFromTheChosenFolder()
    {
        setSideFileFolder(QStringLiteral("/tmp/somewhere"));
        // In the system's own separators, as the program names them in its messages.
        QCOMPARE(handCursorPath(), QDir::toNativeSeparators(QStringLiteral("/tmp/somewhere/HAND-M.CUR")));
        QCOMPARE(skinFilePath(), QDir::toNativeSeparators(QStringLiteral("/tmp/somewhere/x/o.cjs")));
        setSideFileFolder(QString());
        QCOMPARE(sideFileFolder(), QCoreApplication::applicationDirPath());
    }
};

QTEST_MAIN(TestPointer)
#include "tst_pointer.moc"
