// The Load Sets dialog (Form3): its boxes, its three refusals, loading, "...", "?", look and pointer.
#include "CursorFiles.h"
#include "WindowTestSupport.h"
#include "core/Procedure.h"
#include "engine/SetFiles.h"
#include "engine/SetLists.h"
#include "settings/SettingsStore.h"
#include "tests/support/ScriptedPrompts.h"
#include "tests/support/TempStore.h"
#include "ui/Appearance.h"
#include "ui/LoadSetsDialog.h"
#include "ui/PushButton.h"
#include "ui/WindowPointer.h"

#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>

#if defined(Q_OS_UNIX)
#include <sys/stat.h>
#endif

using namespace quarvel;
using namespace quarvel::ui;
using engine::PlainSetLists;
using engine::Set;
using test::ClassicButtonFace;
using test::moveOver;
using test::ScriptedPrompts;

namespace {
const QString Absent = QStringLiteral("<never written>");
const QString NoSeparator = QStringLiteral("You must enter separating character(s).");
const QString LoadLocation = QStringLiteral("Form3.PushButton1_Click");

QString storedSeparator()
{
    return settings::GetSetting(QLatin1String(settings::Key::Form2_Text2), Absent);
}

// The dialog as the Main window's "Load Sets" leaves it after Form_Load, shown (not modal, so that the
// test can press its buttons).
std::unique_ptr<Form3> openDialog(ScriptedPrompts& prompts, PlainSetLists& lists)
{
    auto dialog = std::make_unique<Form3>(prompts, lists);
    dialog->Form_Load();
    dialog->show();
    return dialog;
}

// What one modal opening through Form3::showModal left behind.
struct Opening
{
    bool seen = false;      // the dialog was found open and modal
    bool stillOpen = false; // the action did not close it (it was then closed by the test)
    bool destroyed = false; // gone once showModal returned
    QWidget* parent = nullptr;
    QPoint frameCentre;
};

// Opens the dialog the way the Main window does and runs `act` on it while it is open.
Opening openModally(ScriptedPrompts& prompts, PlainSetLists& lists, QWidget& mainWindow,
                    const std::function<void(Form3&)>& act)
{
    Opening opening;
    QPointer<Form3> seen;
    QTimer::singleShot(0, &mainWindow, [&] {
        seen = mainWindow.findChild<Form3*>();
        if (!seen) {
            // Not over the Main window: close whatever is modal rather than wait for ever.
            if (QWidget* modal = QApplication::activeModalWidget())
                modal->close();
            return;
        }
        opening.seen = seen->isVisible() && seen->isModal() && QApplication::activeModalWidget() == seen;
        opening.parent = seen->parentWidget();
        opening.frameCentre = seen->frameGeometry().center();
        act(*seen);
        if (seen && seen->isVisible()) {
            opening.stillOpen = true;
            seen->reject();
        }
    });
    Form3::showModal(prompts, lists, &mainWindow);
    opening.destroyed = opening.seen && seen.isNull();
    return opening;
}

QString separatorAdviceAsWritten()
{
    return QStringLiteral("If the text file you are loading looks like this:\r\n"
                          "\r\n"
                          "hi::hello\r\n"
                          "peter::pete\r\n"
                          "\r\n"
                          "then use :: as a Separator\r\n"
                          "\r\n"
                          "If the text file you are loading looks like this:\r\n"
                          "\r\n"
                          "hi,hello\r\n"
                          "peter,pete\r\n"
                          "\r\n"
                          "then use , as a Separator\r\n"
                          "\r\n"
                          "NOTE: The 'Save Sets' feature in this software always saves in this format:\r\n"
                          "\r\n"
                          "hi::hello\r\n"
                          "peter::pete");
}
} // namespace

class TestLoadSetsDialog : public QObject
{
    Q_OBJECT

    test::TempStore m_store;
    test::WindowSandbox m_sandbox;
    QTemporaryDir m_files;

    QString fileWith(const QString& name, const QByteArray& bytes)
    {
        QString path = m_files.filePath(name);
        if (!test::writeFile(path, bytes))
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }

private slots:
    void initTestCase() { m_sandbox.install(); }

    void init()
    {
        m_store.reset();
        test::clearFolder(m_files.path());
        m_sandbox.reset();
    }

    void cleanupTestCase() { m_sandbox.uninstall(); }

    // ---- Opening

    void firstOpeningShowsTheDefaultSeparatorAndAnEmptyFileBox()
    {
        ScriptedPrompts prompts;
        PlainSetLists lists;
        auto dialog = openDialog(prompts, lists);
        QCOMPARE(dialog->Text2->text(), QStringLiteral("::"));
        QCOMPARE(dialog->Text1->text(), QString());
        // Restoring the box ran its change handler, which stored the default.
        QCOMPARE(storedSeparator(), QStringLiteral("::"));
        QCOMPARE(dialog->windowTitle(), QStringLiteral("Load Sets"));
        QCOMPARE(dialog->windowIcon().availableSizes().size(), 4);
        QVERIFY(prompts.shown.isEmpty());
        QCOMPARE(lists.count(), 0);

        dialog->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(dialog.get()));
        QTRY_COMPARE(QApplication::focusWidget(), dialog->Text1);
    }

    void separatorIsKeptForTheNextOpening_data()
    {
        QTest::addColumn<QString>("separator");
        QTest::newRow("semicolon") << ";";
        QTest::newRow("empty") << "";
        QTest::newRow("blanks kept") << " - ";
        QTest::newRow("beyond latin 1") << "\u2192";
    }

    void separatorIsKeptForTheNextOpening()
    {
        QFETCH(QString, separator);
        ScriptedPrompts prompts;
        PlainSetLists lists;
        QWidget mainWindow;
        mainWindow.show();
        const Opening first = openModally(prompts, lists, mainWindow, [&](Form3& dialog) {
            dialog.Text2->setText(separator);
            dialog.PushButton2->click();
        });
        QVERIFY(first.seen);
        QVERIFY(!first.stillOpen);
        QVERIFY(first.destroyed);
        QCOMPARE(storedSeparator(), separator);

        QString shown = Absent;
        QString fileBox = Absent;
        const Opening second = openModally(prompts, lists, mainWindow, [&](Form3& dialog) {
            shown = dialog.Text2->text();
            fileBox = dialog.Text1->text();
            dialog.PushButton2->click();
        });
        QVERIFY(second.seen);
        QVERIFY(second.destroyed);
        QCOMPARE(shown, separator);
        QCOMPARE(fileBox, QString()); // the file box is never restored
        QVERIFY(prompts.shown.isEmpty());
        QCOMPARE(lists.count(), 0);
    }

    void everyKeystrokeOfTheSeparatorIsStored()
    {
        ScriptedPrompts prompts;
        PlainSetLists lists;
        auto dialog = openDialog(prompts, lists);
        dialog->Text2->clear();
        QCOMPARE(storedSeparator(), QString());
        QString typed;
        for (const QChar c : QStringLiteral("| ;")) {
            QTest::keyClick(dialog->Text2, c.toLatin1());
            typed += c;
            QCOMPARE(storedSeparator(), typed);
        }
        QTest::keyClick(dialog->Text2, Qt::Key_Backspace);
        QCOMPARE(storedSeparator(), typed.chopped(1));
        QVERIFY(prompts.shown.isEmpty());
    }

    // A folder that cannot exist stands for a store that cannot be written; the registry store of
    // Windows has no such place a test could point it at.
#ifndef Q_OS_WIN
    void storeThatCannotBeWrittenIsReportedOnce()
    {
        ScriptedPrompts prompts;
        PlainSetLists lists;
        auto dialog = openDialog(prompts, lists);
        // A folder that cannot exist: the store cannot be written there.
        settings::useStoreFolder(QStringLiteral("/dev/null/quarvel"));
        dialog->Text2->setText(QStringLiteral(";"));
        dialog->Text2->setText(QStringLiteral(","));
        settings::useStoreFolder(m_store.folder());
        QCOMPARE(prompts.shown.size(), 1);
        const QString report = prompts.errorReports().value(0);
        QVERIFY2(report.contains(QStringLiteral("in Morvane2021/08/31.Form3.Text2_Change at line 0\r\n")),
                 qPrintable(report));
        QCOMPARE(dialog->Text2->text(), QStringLiteral(","));
    }
#endif

    void handCursorFile_data()
    {
        QTest::addColumn<QByteArray>("bytes"); // empty: no file
        QTest::addColumn<bool>("loaded");
        QTest::newRow("missing") << QByteArray() << false;
        QTest::newRow("cursor") << test::cursorFileBytes(32, 5, 6) << true;
        QTest::newRow("not a cursor") << QByteArray("plain text") << false;
    }

    void handCursorFile()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, loaded);
        const QString path = m_sandbox.sideFiles.filePath("HAND-M.CUR");
        if (!bytes.isEmpty())
            QVERIFY(test::writeFile(path, bytes));
        settings::SaveSetting(QLatin1String(settings::Key::Form2_Text2), QStringLiteral(";"));
        ScriptedPrompts prompts;
        PlainSetLists lists;
        auto dialog = openDialog(prompts, lists);
        QCOMPARE(dialog->pointer().hasCustomCursor(), loaded);
        if (loaded)
            QCOMPARE(dialog->pointer().customCursor().hotSpot(), QPoint(5, 6));
        if (!bytes.isEmpty() && !loaded) {
            QCOMPARE(prompts.errorReports(),
                     QStringList{errorReportText(test::notACursorFile(path), "Form3.Form_Load", 106)});
        } else {
            QVERIFY(prompts.shown.isEmpty());
        }
        // The load went on to the separator either way.
        QCOMPARE(dialog->Text2->text(), QStringLiteral(";"));
    }

    // ---- "Load": the refusals

    void emptySeparatorIsRefused()
    {
        const QString path = fileWith("sets.txt", "hi::hello\r\n");
        ScriptedPrompts prompts;
        PlainSetLists lists;
        auto dialog = openDialog(prompts, lists);
        dialog->Text1->setText(path);
        dialog->Text2->clear();
        dialog->PushButton1->click();
        QCOMPARE(prompts.messages(), QStringList{NoSeparator});
        QCOMPARE(prompts.shown.size(), 1);
        QCOMPARE(lists.count(), 0);
        QVERIFY(dialog->isVisible());
        QCOMPARE(dialog->Text1->text(), path);
        QCOMPARE(dialog->Text2->text(), QString());
    }

    void emptySeparatorIsRefusedBeforeTheFileBoxIsLookedAt()
    {
        ScriptedPrompts prompts;
        PlainSetLists lists;
        auto dialog = openDialog(prompts, lists);
        dialog->Text1->setText(m_files.filePath("missing.txt"));
        dialog->Text2->clear();
        dialog->PushButton1->click();
        QCOMPARE(prompts.messages(), QStringList{NoSeparator});
    }

    void blankFileBoxDoesNothing_data()
    {
        QTest::addColumn<QString>("fileBox");
        QTest::newRow("empty") << "";
        QTest::newRow("blanks") << "    ";
    }

    void blankFileBoxDoesNothing()
    {
        QFETCH(QString, fileBox);
        ScriptedPrompts prompts;
        PlainSetLists lists{{"a", "b"}};
        auto dialog = openDialog(prompts, lists);
        dialog->Text1->setText(fileBox);
        dialog->PushButton1->click();
        QVERIFY(prompts.shown.isEmpty());
        QVERIFY(dialog->isVisible());
        QCOMPARE(lists.sets(), (QList<Set>{{"a", "b"}}));
        QCOMPARE(dialog->Text1->text(), fileBox);
        QCOMPARE(dialog->Text2->text(), QStringLiteral("::"));
    }

    void pathThatNamesNoFileIsNotFound_data()
    {
        QTest::addColumn<QString>("fileBox"); // "%1": the folder of an existing file "sets.txt"
        QTest::newRow("no such file") << "%1/missing.txt";
        QTest::newRow("no such folder") << "%1/nowhere/sets.txt";
        QTest::newRow("leading blank") << " %1/sets.txt";
#ifndef Q_OS_WIN
        // (Windows drops the blanks at the end of a name, so there this names sets.txt itself.)
        QTest::newRow("trailing blank") << "%1/sets.txt ";
#endif
        QTest::newRow("a folder") << "%1";
        QTest::newRow("a folder with separator") << "%1/";
        QTest::newRow("tab only") << "\t";
        QTest::newRow("relative name") << "sets.txt";
    }

    void pathThatNamesNoFileIsNotFound()
    {
        QFETCH(QString, fileBox);
        fileWith("sets.txt", "hi::hello\r\n");
        const QString text = fileBox.contains(QLatin1String("%1")) ? fileBox.arg(m_files.path()) : fileBox;
        ScriptedPrompts prompts;
        PlainSetLists lists;
        auto dialog = openDialog(prompts, lists);
        dialog->Text1->setText(text);
        dialog->PushButton1->click();
        QCOMPARE(prompts.messages(), QStringList{text + QStringLiteral(" not found.")});
        QCOMPARE(prompts.shown.size(), 1);
        QVERIFY(dialog->isVisible());
        QCOMPARE(lists.count(), 0);
        QCOMPARE(dialog->Text1->text(), text);
    }

    // ---- "Load": loading

    void loadAppendsTheSetsAfterThoseHeldAndCloses()
    {
        const QString path = fileWith("comma.txt", "hi,hello\r\npeter,pete\r\n");
        ScriptedPrompts prompts;
        PlainSetLists lists{{"a", "b"}};
        auto dialog = openDialog(prompts, lists);
        dialog->Text1->setText(path);
        dialog->Text2->setText(QStringLiteral(","));
        dialog->PushButton1->click();
        QCOMPARE(lists.sets(), (QList<Set>{{"a", "b"}, {"hi", "hello"}, {"peter", "pete"}}));
        QVERIFY(!dialog->isVisible());
        QCOMPARE(dialog->result(), int(QDialog::Accepted));
        QVERIFY(prompts.shown.isEmpty());
        QCOMPARE(storedSeparator(), QStringLiteral(","));
    }

    void loadUsesTheSeparatorUntrimmed()
    {
        const QString path = fileWith("spaced.txt", "a - b\r\nc-d\r\n e - f - g\r\n");
        ScriptedPrompts prompts;
        PlainSetLists lists;
        auto dialog = openDialog(prompts, lists);
        dialog->Text1->setText(path);
        dialog->Text2->setText(QStringLiteral(" - "));
        dialog->PushButton1->click();
        QCOMPARE(lists.sets(), (QList<Set>{{"a", "b"}, {" e", "f"}}));
        QVERIFY(!dialog->isVisible());
    }

    void fileWithoutTheSeparatorAddsNothingAndCloses()
    {
        const QString path = fileWith("colons.txt", "hi::hello\r\npeter::pete\r\n");
        ScriptedPrompts prompts;
        PlainSetLists lists;
        auto dialog = openDialog(prompts, lists);
        dialog->Text1->setText(path);
        dialog->Text2->setText(QStringLiteral(","));
        dialog->PushButton1->click();
        QCOMPARE(lists.count(), 0);
        QVERIFY(!dialog->isVisible());
        QVERIFY(prompts.shown.isEmpty());
    }

    void emptyFileAddsNothingAndCloses_data()
    {
        QTest::addColumn<QString>("separator");
        QTest::newRow("default") << "::";
        QTest::newRow("comma") << ",";
        QTest::newRow("blank") << " ";
    }

    void emptyFileAddsNothingAndCloses()
    {
        QFETCH(QString, separator);
        const QString path = fileWith("empty.txt", QByteArray());
        ScriptedPrompts prompts;
        PlainSetLists lists{{"x", "y"}};
        auto dialog = openDialog(prompts, lists);
        dialog->Text1->setText(path);
        dialog->Text2->setText(separator);
        dialog->PushButton1->click();
        QCOMPARE(lists.sets(), (QList<Set>{{"x", "y"}}));
        QVERIFY(!dialog->isVisible());
        QVERIFY(prompts.shown.isEmpty());
    }

    void loadingTwiceAppendsTwice()
    {
        const QString path = fileWith("sets.txt", "hi::hello\r\npeter::pete\r\n");
        ScriptedPrompts prompts;
        PlainSetLists lists;
        QWidget mainWindow;
        mainWindow.show();
        for (int i = 0; i < 2; ++i) {
            const Opening opening = openModally(prompts, lists, mainWindow, [&](Form3& dialog) {
                dialog.Text1->setText(path);
                dialog.PushButton1->click();
            });
            QVERIFY(opening.seen);
            QVERIFY(!opening.stillOpen);
            QVERIFY(opening.destroyed);
        }
        QCOMPARE(lists.sets(),
                 (QList<Set>{{"hi", "hello"}, {"peter", "pete"}, {"hi", "hello"}, {"peter", "pete"}}));
        QVERIFY(prompts.shown.isEmpty());
    }

    void unreadableFileIsReportedAndTheDialogCloses_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("named pipe") << "fifo";
        QTest::newRow("larger than a set file may be") << "large";
        QTest::newRow("UTF-16 without its mark") << "nul";
    }

    void unreadableFileIsReportedAndTheDialogCloses()
    {
        QFETCH(QString, kind);
        QString path;
        if (kind == "fifo") {
#if defined(Q_OS_UNIX)
            path = m_files.filePath("pipe.txt");
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
#else
            QSKIP("Named pipes are a Unix thing");
#endif
        } else if (kind == "nul") {
            path = fileWith("utf16.txt", QByteArray("h\0i\0:\0:\0y\0o\0\r\0\n\0", 16));
        } else {
            path = m_files.filePath("huge.txt");
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            // Sparse: no disk space is taken for the hole.
            QVERIFY(file.resize(engine::MaxSetFileBytes + 1));
        }
        ScriptedPrompts prompts;
        PlainSetLists lists{{"a", "b"}};
        auto dialog = openDialog(prompts, lists);
        dialog->Text1->setText(path);
        dialog->PushButton1->click();
        const QStringList reports = prompts.errorReports();
        QCOMPARE(prompts.shown.size(), 1);
        QCOMPARE(reports.size(), 1);
        QVERIFY2(reports[0].startsWith(QStringLiteral("Cannot read ") + path), qPrintable(reports[0]));
        QVERIFY2(reports[0].endsWith(errorReportText(QString(), LoadLocation, 106)), qPrintable(reports[0]));
        QCOMPARE(lists.sets(), (QList<Set>{{"a", "b"}}));
        QVERIFY(!dialog->isVisible());
    }

    void loadThatWouldOverfillTheListsAddsNothingAndCloses()
    {
        const QString path = fileWith("two.txt", "a::b\r\nc::d\r\n");
        PlainSetLists lists;
        for (int i = 0; i < engine::MaxSets - 1; ++i)
            lists.append(QString::number(i), QString());
        ScriptedPrompts prompts;
        auto dialog = openDialog(prompts, lists);
        dialog->Text1->setText(path);
        dialog->PushButton1->click();
        QCOMPARE(prompts.messages(), QStringList{engine::tooManySetsMessage(2, engine::MaxSets - 1)});
        QCOMPARE(lists.count(), engine::MaxSets - 1);
        QVERIFY(!dialog->isVisible());
    }

    // ---- The other buttons

    void cancelClosesWithoutLoading()
    {
        const QString path = fileWith("sets.txt", "hi::hello\r\n");
        ScriptedPrompts prompts;
        PlainSetLists lists;
        auto dialog = openDialog(prompts, lists);
        dialog->Text1->setText(path);
        dialog->PushButton2->click();
        QVERIFY(!dialog->isVisible());
        QCOMPARE(lists.count(), 0);
        QVERIFY(prompts.shown.isEmpty());
    }

    void closeBoxClosesTheDialogOnly()
    {
        const QString path = fileWith("sets.txt", "hi::hello\r\n");
        ScriptedPrompts prompts;
        PlainSetLists lists;
        QWidget mainWindow;
        mainWindow.show();
        const Opening opening = openModally(prompts, lists, mainWindow, [&](Form3& dialog) {
            dialog.Text1->setText(path);
            QVERIFY(dialog.close());
        });
        QVERIFY(opening.seen);
        QVERIFY(!opening.stillOpen);
        QVERIFY(opening.destroyed);
        QCOMPARE(m_sandbox.ends, 0);
        QVERIFY(mainWindow.isVisible());
        QCOMPARE(lists.count(), 0);
        QVERIFY(prompts.shown.isEmpty());
    }

    void openingIsModalOverTheMainWindowAndCentred()
    {
        ScriptedPrompts prompts;
        PlainSetLists lists;
        QWidget mainWindow;
        mainWindow.setGeometry(0, 0, 300, 200);
        mainWindow.show();
        const Opening opening =
            openModally(prompts, lists, mainWindow, [&](Form3& dialog) { dialog.PushButton2->click(); });
        QVERIFY(opening.seen);
        QCOMPARE(opening.parent, &mainWindow);
        const QPoint centre = mainWindow.screen()->availableGeometry().center();
        QVERIFY2(
            qAbs(opening.frameCentre.x() - centre.x()) <= 1 &&
                qAbs(opening.frameCentre.y() - centre.y()) <= 1,
            qPrintable(QStringLiteral("%1,%2").arg(opening.frameCentre.x()).arg(opening.frameCentre.y())));
    }

    void browseCancelledKeepsTheFileBox()
    {
        ScriptedPrompts prompts;
        PlainSetLists lists;
        auto dialog = openDialog(prompts, lists);
        dialog->Text1->setText(QStringLiteral("typed before"));
        dialog->PushButton16->click();
        QCOMPARE(prompts.shown.size(), 1);
        const test::Shown& shown = prompts.shown[0];
        QCOMPARE(shown.kind, test::Shown::OpenDialog);
        QCOMPARE(shown.dialog.title, QStringLiteral("Select Text File"));
        QCOMPARE(shown.dialog.filter, QStringLiteral("Text Files (*.txt)|*.txt|"));
        QCOMPARE(shown.dialog.fileName, QString());
        QCOMPARE(shown.dialog.flags, 0);
        QCOMPARE(dialog->Text1->text(), QStringLiteral("typed before"));
        QVERIFY(dialog->isVisible());
    }

    void browseAnsweredFillsTheFileBox()
    {
        // A name that does not exist is taken as it is: "Load" judges it.
        const QString chosen = m_files.filePath("not yet there.txt");
        ScriptedPrompts prompts;
        prompts.fileAnswers << chosen;
        PlainSetLists lists;
        auto dialog = openDialog(prompts, lists);
        dialog->Text1->setText(QStringLiteral("typed before"));
        dialog->PushButton16->click();
        QCOMPARE(dialog->Text1->text(), chosen);
        QCOMPARE(prompts.shown.size(), 1);
        QCOMPARE(prompts.shown[0].kind, test::Shown::OpenDialog);
        QCOMPARE(prompts.shown[0].dialog.fileName, QString());
        QCOMPARE(prompts.shown[0].dialog.flags, 0);
        QVERIFY(dialog->isVisible());
        QCOMPARE(lists.count(), 0);
    }

    void separatorAdviceIsShownExactly()
    {
        ScriptedPrompts prompts;
        PlainSetLists lists;
        auto dialog = openDialog(prompts, lists);
        dialog->PushButton3->click();
        QCOMPARE(prompts.messages(), QStringList{separatorAdviceAsWritten()});
        QCOMPARE(prompts.shown.size(), 1);
        const QString advice = prompts.messages().value(0);
        QCOMPARE(advice.split(QStringLiteral("\r\n")).size(), 18);
        QVERIFY(!advice.contains(QRegularExpression(QStringLiteral("\r(?!\n)|(?<!\r)\n"))));
        QVERIFY(dialog->isVisible());
        QCOMPARE(lists.count(), 0);
    }

    // ---- Keyboard, pointer, look

    void focusGoesThroughBoxesThenLoadCancelAndTheSymbols()
    {
        ScriptedPrompts prompts;
        PlainSetLists lists;
        auto dialog = openDialog(prompts, lists);
        dialog->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(dialog.get()));
        QTRY_COMPARE(QApplication::focusWidget(), dialog->Text1);
        const QList<QWidget*> order = {dialog->Text2,        dialog->PushButton1, dialog->PushButton2,
                                       dialog->PushButton16, dialog->PushButton3, dialog->Text1};
        for (QWidget* next : order) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), next);
        }
        QCOMPARE(dialog->Label1[0]->focusPolicy(), Qt::NoFocus);
        QCOMPARE(dialog->Label1[1]->focusPolicy(), Qt::NoFocus);
        QVERIFY(prompts.shown.isEmpty());
    }

    void hoverOverTheDialog_data()
    {
        const QStringList sets = {"PushButton1", "PushButton2", "PushButton3", "PushButton16"};
        const QStringList resets = {"Form3"};
        const QStringList none = {"Label1_0", "Label1_1", "Text1", "Text2"};
        test::addHoverRows(sets, resets, none);
    }

    void hoverOverTheDialog()
    {
        QFETCH(QString, control);
        QFETCH(int, from);
        QFETCH(int, to);
        ScriptedPrompts prompts;
        PlainSetLists lists;
        auto dialog = openDialog(prompts, lists);
        QWidget* target = control == "Form3" ? dialog.get() : dialog->findChild<QWidget*>(control);
        QVERIFY(target);
        dialog->pointer().setMode(from);
        moveOver(target);
        QCOMPARE(dialog->pointer().mode(), to);
    }

    void controlsSitWhereTheLayoutPutsThem()
    {
        ScriptedPrompts prompts;
        PlainSetLists lists;
        Form3 dialog(prompts, lists);
        QCOMPARE(dialog.size(), QSize(536, 107));
        QCOMPARE(dialog.minimumSize(), dialog.maximumSize());
        QCOMPARE(dialog.windowFlags() & Qt::WindowType_Mask, Qt::Dialog);
        QVERIFY(!(dialog.windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(!(dialog.windowFlags() & Qt::WindowMinimizeButtonHint));
        QVERIFY(!(dialog.windowFlags() & Qt::WindowContextHelpButtonHint));
        QVERIFY(dialog.windowFlags() & Qt::WindowCloseButtonHint);
        struct Expected
        {
            QWidget* control;
            QRect pixels;
            QString caption;
        };
        const QList<Expected> expected = {
            {dialog.Label1[0], {8, 12, 70, 15}, "File To Load:"},
            {dialog.Text1, {88, 8, 392, 23}, ""},
            {dialog.PushButton16, {488, 8, 40, 23}, "..."},
            {dialog.Label1[1], {8, 44, 60, 15}, "Separator:"},
            {dialog.Text2, {88, 40, 392, 23}, ""},
            {dialog.PushButton3, {488, 40, 40, 23}, "?"},
            {dialog.PushButton1, {8, 72, 256, 27}, "Load"},
            {dialog.PushButton2, {272, 72, 256, 27}, "Cancel"},
        };
        for (const Expected& e : expected) {
            QCOMPARE(e.control->parentWidget(), &dialog);
            if (e.control == dialog.Label1[0]) {
                // The caption may grow into the gap before the file box, never over it.
                QCOMPARE(e.control->pos(), e.pixels.topLeft());
                QCOMPARE(e.control->height(), e.pixels.height());
                QVERIFY(e.control->width() >= e.pixels.width());
                QVERIFY(e.control->width() >= dialog.Label1[0]->sizeHint().width() ||
                        e.control->geometry().right() == dialog.Text1->x() - 3);
                QVERIFY(e.control->geometry().right() < dialog.Text1->x());
            } else {
                QCOMPARE(e.control->geometry(), e.pixels);
            }
            if (auto* label = qobject_cast<QLabel*>(e.control))
                QCOMPARE(label->text(), e.caption);
            else if (auto* button = qobject_cast<QPushButton*>(e.control))
                QCOMPARE(button->text(), e.caption);
            else
                QCOMPARE(qobject_cast<QLineEdit*>(e.control)->text(), e.caption);
            const QFont font = e.control->font();
            QCOMPARE(font.family(), QStringLiteral("Arial"));
            QVERIFY(font.bold());
            QCOMPARE(font.pointSizeF(), qobject_cast<QPushButton*>(e.control) ? 11.25 : 9.0);
        }
    }

    void loadGivesTheDialogAndItsLabelsTheButtonFace()
    {
        ScriptedPrompts prompts;
        PlainSetLists lists;
        Form3 dialog(prompts, lists);
        QCOMPARE(backColor(&dialog), QColor(Qt::white));
        QCOMPARE(backColor(dialog.Label1[0]), QColor(Qt::white));
        // A text box paints its own base colour, which the colour step leaves alone.
        const QColor boxColour = dialog.Text1->palette().color(QPalette::Base);
        dialog.Form_Load();
        QCOMPARE(backColor(&dialog), ClassicButtonFace);
        QCOMPARE(backColor(dialog.Label1[0]), ClassicButtonFace);
        QCOMPARE(backColor(dialog.Label1[1]), ClassicButtonFace);
        QCOMPARE(dialog.Text1->palette().color(QPalette::Base), boxColour);
        QCOMPARE(dialog.Text2->palette().color(QPalette::Base), boxColour);
        QVERIFY(prompts.shown.isEmpty());
    }

    void labelsNameTheirBoxes_data()
    {
        QTest::addColumn<QString>("box");
        QTest::addColumn<QString>("name");
        QTest::newRow("file") << "Text1"
                              << "File To Load:";
        QTest::newRow("separator") << "Text2"
                                   << "Separator:";
    }

    void labelsNameTheirBoxes()
    {
        QFETCH(QString, box);
        QFETCH(QString, name);
        ScriptedPrompts prompts;
        PlainSetLists lists;
        Form3 dialog(prompts, lists);
        auto* edit = dialog.findChild<QLineEdit*>(box);
        QVERIFY(edit);
        const QLabel* label = test::labelOf(dialog, edit);
        QVERIFY(label);
        QCOMPARE(label->text(), name);
        QCOMPARE(test::accessibleName(edit), name);
    }

    void symbolButtonsSayWhatTheyDo_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("name");
        QTest::newRow("...") << "PushButton16"
                             << "Browse for the file to load";
        QTest::newRow("?") << "PushButton3"
                           << "How to choose the separator";
    }

    void symbolButtonsSayWhatTheyDo()
    {
        QFETCH(QString, button);
        QFETCH(QString, name);
        ScriptedPrompts prompts;
        PlainSetLists lists;
        Form3 dialog(prompts, lists);
        auto* control = dialog.findChild<QPushButton*>(button);
        QVERIFY(control);
        QCOMPARE(test::accessibleName(control), name);
    }
};

QTEST_MAIN(TestLoadSetsDialog)
#include "tst_loadsetsdialog.moc"
