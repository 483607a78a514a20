// Layout units, the colour step, the application icon, the skin framework and the skin step.
#include "WindowTestSupport.h"
#include "ui/Appearance.h"
#include "ui/SideFiles.h"
#include "ui/SkinFramework.h"

#include <QCheckBox>
#include <QDialog>
#include <QDir>
#include <QGroupBox>
#include <QImageReader>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

using namespace quarvel::ui;
using quarvel::test::ClassicButtonFace;
using quarvel::test::writeFile;

namespace {
// A window designed white with one control of each kind.
struct DesignWindow
{
    QWidget window;
    QGroupBox* frame = new QGroupBox(QStringLiteral("Frame"), &window);
    QLabel* label = new QLabel(QStringLiteral("Label"), frame);
    QCheckBox* check = new QCheckBox(QStringLiteral("Check"), &window);
    QRadioButton* option = new QRadioButton(QStringLiteral("Option"), &window);
    QLineEdit* box = new QLineEdit(&window);
    QListWidget* list = new QListWidget(&window);
    QPushButton* button = new QPushButton(QStringLiteral("Button"), &window);

    DesignWindow()
    {
        makeFixedWindow(window, QSize(300, 200));
        for (QWidget* w : std::initializer_list<QWidget*>{frame, label, check, option})
            setBackColor(w, Qt::white);
    }
};
} // namespace

class TestAppearance : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { quarvel::test::useClassicButtonFace(); }

    void twipsBecomePixels_data()
    {
        QTest::addColumn<int>("twipValue");
        QTest::addColumn<int>("pixels");
        QTest::newRow("one pixel") << 15 << 1;
        QTest::newRow("client width") << 8040 << 536;
        QTest::newRow("frame height 188.67") << 2830 << 189;
        QTest::newRow("button height 26.67") << 400 << 27;
        QTest::newRow("405 is 27") << 405 << 27;
        QTest::newRow("just under half") << 7 << 0;
        QTest::newRow("just over half") << 8 << 1;
        QTest::newRow("zero") << 0 << 0;
    }

    void twipsBecomePixels()
    {
        QFETCH(int, twipValue);
        QFETCH(int, pixels);
        QCOMPARE(twips(twipValue), pixels);
        QCOMPARE((TwipsRect{twipValue, 0, twipValue, 15}.toPixels()), QRect(pixels, 0, pixels, 1));
    }

    void storedColourValues()
    {
        QCOMPARE(colorFromValue(WhiteValue), QColor(Qt::white));
        QCOMPARE(colorFromValue(ButtonFaceValue), ClassicButtonFace);
        QCOMPARE(colorFromValue(0x000000FF), QColor(255, 0, 0)); // 0x00BBGGRR
        QCOMPARE(buttonFaceColor(), ClassicButtonFace);
    }

    void arialFontsWithTheirSizes()
    {
        const QFont label = arialFont(WindowFontSize, true);
        QCOMPARE(label.family(), QStringLiteral("Arial"));
        QCOMPARE(label.pointSizeF(), 9.0);
        QVERIFY(label.bold());
        const QFont button = arialFont(ButtonFontSize, true);
        QCOMPARE(button.pointSizeF(), 11.25);
        // Arial itself or its stand-in is what is drawn.
        const QString drawn = QFontInfo(label).family();
        QVERIFY2(drawn == "Arial" || drawn == "Liberation Sans", qPrintable(drawn));
    }

    void fixedWindowHasNoMaximizeButton()
    {
        QWidget window;
        makeFixedWindow(window, QSize(536, 242));
        QCOMPARE(window.minimumSize(), QSize(536, 242));
        QCOMPARE(window.maximumSize(), QSize(536, 242));
        QVERIFY(!(window.windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(window.windowFlags() & Qt::WindowMinimizeButtonHint);
        QVERIFY(window.windowFlags() & Qt::WindowCloseButtonHint);
        QCOMPARE(backColor(&window), QColor(Qt::white));
        QDialog dialog;
        makeFixedWindow(dialog, QSize(536, 107), false);
        QVERIFY(!(dialog.windowFlags() & Qt::WindowMinimizeButtonHint));
        QVERIFY(!(dialog.windowFlags() & Qt::WindowMaximizeButtonHint));
        QCOMPARE(dialog.windowType(), Qt::Dialog);
        QCOMPARE(window.windowType(), Qt::Window);
    }

    void windowIsCentredOnItsScreen()
    {
        QWidget window;
        makeFixedWindow(window, QSize(536, 242));
        centreOnScreen(window);
        const QRect area = window.screen()->availableGeometry();
        QCOMPARE(window.frameGeometry().center().x() / 2, area.center().x() / 2);
        QCOMPARE(window.frameGeometry().center().y() / 2, area.center().y() / 2);
    }

    void colourStepRecoloursOnlyItsKinds()
    {
        DesignWindow w;
        const QColor boxBase = w.box->palette().color(QPalette::Base);
        const QColor buttonFace = w.button->palette().color(QPalette::Button);
        SetButtonFaceColors(w.window);
        for (QWidget* recoloured :
             std::initializer_list<QWidget*>{&w.window, w.frame, w.label, w.check, w.option})
            QCOMPARE(backColor(recoloured), ClassicButtonFace);
        QVERIFY(!w.box->autoFillBackground());
        QVERIFY(!w.list->autoFillBackground());
        QVERIFY(!w.button->autoFillBackground());
        QCOMPARE(w.box->palette().color(QPalette::Base), boxBase);
        QCOMPARE(w.button->palette().color(QPalette::Button), buttonFace);
        QVERIFY(w.window.styleSheet().isEmpty());
    }

    void applicationIconHoldsFourImagesInOrder()
    {
        QFile file(applicationIconPath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        const auto u16 = [&](int at) { return qFromLittleEndian<quint16>(bytes.constData() + at); };
        const auto u32 = [&](int at) { return qFromLittleEndian<quint32>(bytes.constData() + at); };
        QCOMPARE(u16(0), quint16(0));
        QCOMPARE(u16(2), quint16(1)); // an icon
        QCOMPARE(u16(4), quint16(4));
        const int sizes[] = {32, 256, 128, 48};
        const int depths[] = {24, 32, 32, 32};
        for (int i = 0; i < 4; ++i) {
            const int entry = 6 + 16 * i;
            const int shownSize = quint8(bytes[entry]) == 0 ? 256 : quint8(bytes[entry]);
            QCOMPARE(shownSize, sizes[i]);
            QCOMPARE(int(u16(entry + 6)), depths[i]);
            // The image itself says the same.
            const int image = int(u32(entry + 12));
            QCOMPARE(int(u32(image + 4)), sizes[i]);
            QCOMPARE(int(u16(image + 14)), depths[i]);
        }

        QImageReader reader(applicationIconPath());
        QCOMPARE(reader.imageCount(), 4);
        for (int i = 0; i < 4; ++i) {
            QVERIFY(reader.jumpToImage(i));
            const QImage image = reader.read();
            QCOMPARE(image.size(), QSize(sizes[i], sizes[i]));
        }
        const QList<QSize> available = applicationIcon().availableSizes();
        for (int size : sizes)
            QVERIFY(available.contains(QSize(size, size)));
    }

    void sampleSkinLoads()
    {
        SkinFramework skin;
        skin.loadSkin(QStringLiteral(QUARVEL_RESOURCES "/skin/o.cjs"), QString());
        QVERIFY(skin.styleSheet().contains(QStringLiteral("QWidget#Form1")));
    }

    void unreadableSkinOrNamedSchemaIsRefused()
    {
        QTemporaryDir dir;
        SkinFramework skin;
        QVERIFY_THROWS_EXCEPTION(SkinError, skin.loadSkin(dir.filePath("missing.cjs"), QString()));
        QVERIFY(writeFile(dir.filePath("o.cjs"), "QWidget { }"));
        QVERIFY_THROWS_EXCEPTION(SkinError, skin.loadSkin(dir.filePath("o.cjs"), QStringLiteral("Blue")));
        QVERIFY_THROWS_EXCEPTION(SkinError, skin.applyWindow(nullptr));
        QWidget window;
        QVERIFY_THROWS_EXCEPTION(SkinError, skin.applyWindow(&window)); // nothing loaded
    }

    void skinIsAppliedOnlyWithOptionBit0()
    {
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath("o.cjs"), "QWidget { background: #abcdef; }"));
        SkinFramework skin;
        skin.loadSkin(dir.filePath("o.cjs"), QString());
        QWidget window;
        window.resize(200, 100);
        skin.applyWindow(&window);
        QVERIFY(window.styleSheet().isEmpty());
        skin.setApplyOptions(skin.applyOptions() | SkinFramework::ApplyStyle);
        skin.setKeepWindowSize(true);
        skin.applyWindow(&window);
        QCOMPARE(window.styleSheet(), QStringLiteral("QWidget { background: #abcdef; }"));
        QCOMPARE(window.minimumSize(), QSize(200, 100));
        QCOMPARE(window.maximumSize(), QSize(200, 100));
        QCOMPARE(skin.appliedWindow(), &window);
    }

    void skinStepWithoutSkinFileChangesNothing_data()
    {
        QTest::addColumn<QString>("made"); // what x/o.cjs is in the folder
        QTest::newRow("no folder x") << "";
        QTest::newRow("folder x without o.cjs") << "x/other.cjs";
        QTest::newRow("o.cjs is a folder") << "x/o.cjs/";
        QTest::newRow("other case") << "x/O.CJS";
    }

    void skinStepWithoutSkinFileChangesNothing()
    {
        QFETCH(QString, made);
        QTemporaryDir dir;
        if (made.endsWith('/'))
            QVERIFY(QDir(dir.path()).mkpath(made));
        else if (!made.isEmpty())
            QVERIFY(writeFile(dir.filePath(made), "QWidget { background: red; }"));
        setSideFileFolder(dir.path());
        DesignWindow w;
        SkinFramework skin;
        ApplySkin(w.window, skin);
        setSideFileFolder(QString());
        QCOMPARE(backColor(&w.window), QColor(Qt::white));
        QCOMPARE(backColor(w.frame), QColor(Qt::white));
        QCOMPARE(backColor(w.label), QColor(Qt::white));
        QVERIFY(w.window.styleSheet().isEmpty());
        QVERIFY(!skin.isLoaded());
    }

    void skinStepWithSkinFileColoursAndApplies()
    {
        QTemporaryDir dir;
        const QByteArray sheet = "QGroupBox { border: 2px solid #345; }\nQLabel { color: #345; }\n";
        QVERIFY(writeFile(dir.filePath("x/o.cjs"), sheet));
        setSideFileFolder(dir.path());
        DesignWindow w;
        SkinFramework skin;
        ApplySkin(w.window, skin);
        setSideFileFolder(QString());
        for (QWidget* recoloured :
             std::initializer_list<QWidget*>{&w.window, w.frame, w.label, w.check, w.option})
            QCOMPARE(backColor(recoloured), ClassicButtonFace);
        QCOMPARE(w.window.styleSheet(), QString::fromUtf8(sheet));
        QVERIFY(skin.applyOptions() & SkinFramework::ApplyStyle);
        QVERIFY(skin.keepWindowSize());
        QVERIFY(skin.repaintNow());
        QCOMPARE(w.window.size(), QSize(300, 200));
        // The rules reach the controls.
        QCOMPARE(w.label->palette().color(QPalette::WindowText), QColor(0x33, 0x44, 0x55));
    }

    void skinStepWithBrokenFileFailsAfterTheColours()
    {
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath("x/o.cjs"), "QLabel { color: red;"));
        setSideFileFolder(dir.path());
        DesignWindow w;
        SkinFramework skin;
        QVERIFY_THROWS_EXCEPTION(SkinError, ApplySkin(w.window, skin));
        setSideFileFolder(QString());
        QCOMPARE(backColor(&w.window), ClassicButtonFace);
        QVERIFY(w.window.styleSheet().isEmpty());
        QCOMPARE(skin.applyOptions(), 0);
    }
};

QTEST_MAIN(TestAppearance)
#include "tst_appearance.moc"
