// The Main window (Form2) against the real test server: loading, ticks, tabs and texts kept, the set
// buttons, "< Back" and "Next >", and whole runs started from "Start Replacing".
#include "engine/ReplacementLog.h"
#include "settings/SettingsStore.h"
#include "tests/support/ScriptedPrompts.h"
#include "tests/support/TempStore.h"
#include "tests/support/TestDatabase.h"
#include "ui/ConnectionWindow.h"
#include "ui/EndOfTool.h"
#include "ui/MainWindow.h"
#include "ui/PreviewWindow.h"
#include "ui/PushButton.h"
#include "ui/TabControl.h"
#include "ui/ToolWindows.h"
#include "ui/WindowPointer.h"

#include <QAccessible>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QStandardPaths>
#include <QTabBar>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>

#include <functional>

using namespace quarvel;
using namespace quarvel::ui;
using test::ScriptedPrompts;
using test::TestDatabase;

namespace {

const QString Schema = QStringLiteral("main_window_tests");

// Runs an action inside the n-th round of event processing from now: each posted step re-posts itself,
// and Qt delivers an event posted while it delivers events only in the next round. The run processes
// events once per field, so round n is "before field n".
class InRound : public QObject
{
public:
    InRound(int round, std::function<void()> action) : m_left(round), m_action(std::move(action))
    {
        QCoreApplication::postEvent(this, new QEvent(QEvent::User));
    }
    bool event(QEvent* e) override
    {
        if (e->type() != QEvent::User)
            return QObject::event(e);
        if (--m_left == 0)
            m_action();
        else
            QCoreApplication::postEvent(this, new QEvent(QEvent::User));
        return true;
    }

private:
    int m_left;
    std::function<void()> m_action;
};

QStringList listTexts(const QListWidget* list)
{
    QStringList out;
    for (int i = 0; i < list->count(); ++i)
        out << list->item(i)->text();
    return out;
}

QList<bool> ticks(const QListWidget* list)
{
    QList<bool> out;
    for (int i = 0; i < list->count(); ++i)
        out << (list->item(i)->checkState() == Qt::Checked);
    return out;
}

QListWidgetItem* entryNamed(const QListWidget* list, const QString& text)
{
    const auto found = list->findItems(text, Qt::MatchExactly);
    return found.isEmpty() ? nullptr : found.first();
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QUARVEL_REQUIRE_DB();
        // Every run goes to the journal: a test folder of Qt's, not the user's.
        QStandardPaths::setTestModeEnabled(true);
        setEndOfToolAction([this] { ++m_ends; });
        QVERIFY(m_temp.isValid());
        qputenv("TEMP", m_temp.path().toLocal8Bit());
    }

    void init()
    {
        m_store.reset();
        m_ends = 0;
        TestDatabase::freshSchema(Schema);
        TestDatabase::psql("CREATE TABLE main_window_tests.alpha (id int, v text);"
                           "INSERT INTO main_window_tests.alpha VALUES (1, 'old'), (2, 'older');"
                           "CREATE TABLE main_window_tests.beta (w text);"
                           "INSERT INTO main_window_tests.beta VALUES ('old');");
        QFile::remove(engine::logFilePath());
        m_form1 = std::make_unique<Form1>(m_prompts);
        m_form1->Text1->setText(TestDatabase::details().server);
        m_form1->Text2->setText(TestDatabase::details().port);
        m_form1->Text3->setText(TestDatabase::details().user);
        m_form1->Text4->setText(TestDatabase::details().password);
        m_form1->Text5->setText(TestDatabase::details().database);
        m_prompts.clear();
    }

    void cleanup()
    {
        m_form1.reset();
        m_prompts.yesNoAnswers.clear();
        m_prompts.inputAnswers.clear();
        m_prompts.fileAnswers.clear();
        m_prompts.onShown = nullptr;
    }

    void firstLoadTicksEveryTableOnTheFirstTabWithEmptyBoxes()
    {
        Form2 window(m_prompts, *m_form1);
        window.Form_Load();
        QCOMPARE(m_prompts.shown.size(), 0);
        QVERIFY(entryNamed(window.List1, "main_window_tests.alpha"));
        QVERIFY(entryNamed(window.List1, "main_window_tests.beta"));
        QVERIFY(!ticks(window.List1).contains(false));
        QCOMPARE(window.TabControl1->selectedIndex(), 0);
        QCOMPARE(window.Text1->text(), QString());
        QCOMPARE(window.Text2->text(), QString());
        QCOMPARE(window.windowTitle(), QString("Quarvel"));
        // Only the selected tab's controls show.
        window.show();
        QVERIFY(window.Text1->isVisible());
        QVERIFY(!window.Combo1->isVisible());
        window.TabControl1->setSelectedIndex(1);
        QVERIFY(!window.Text1->isVisible());
        QVERIFY(window.Combo1->isVisible() && window.PushButton10->isVisible());
    }

    void catalogueFailureIsReportedAndLoadingGoesOn()
    {
        settings::SaveSetting(settings::Key::Text1, "kept");
        m_form1->Text2->setText("1"); // nothing listens there
        Form2 window(m_prompts, *m_form1);
        window.Form_Load();
        const QStringList reports = m_prompts.errorReports();
        QCOMPARE(reports.size(), 1);
        QVERIFY2(reports[0].contains("in Morvane2021/08/31.Form2.Form_Load at line 112"),
                 qPrintable(reports[0]));
        QCOMPARE(window.List1->count(), 0);
        QCOMPARE(window.Text1->text(), QString("kept"));
    }

    void selectAndDeselectAll()
    {
        Form2 window(m_prompts, *m_form1);
        window.Form_Load();
        window.PushButton9->click();
        QVERIFY(!ticks(window.List1).contains(true));
        window.PushButton8->click();
        QVERIFY(!ticks(window.List1).contains(false));

        Form2 empty(m_prompts, *m_form1);
        empty.PushButton8->click();
        empty.PushButton9->click();
        QCOMPARE(m_prompts.shown.size(), 0);
    }

    void spaceTogglesTheTickOfTheCurrentEntry()
    {
        Form2 window(m_prompts, *m_form1);
        window.Form_Load();
        window.show();
        QListWidgetItem* alpha = entryNamed(window.List1, "main_window_tests.alpha");
        window.List1->setFocus();
        window.List1->setCurrentItem(alpha);
        QTest::keyClick(window.List1, Qt::Key_Space);
        QCOMPARE(alpha->checkState(), Qt::Unchecked);
        QTest::keyClick(window.List1, Qt::Key_Space);
        QCOMPARE(alpha->checkState(), Qt::Checked);
    }

    void tabAndTextsAreStoredAndRestored()
    {
        {
            Form2 window(m_prompts, *m_form1);
            window.Form_Load();
            QTest::keyClicks(window.Text1, "fi");
            QCOMPARE(settings::GetSetting(settings::Key::Text1), QString("fi"));
            window.Text2->setText("re");
            window.TabControl1->setSelectedIndex(1);
            QCOMPARE(settings::GetSetting(settings::Key::TabControl1), QString("1"));
        }
        Form2 again(m_prompts, *m_form1);
        again.Form_Load();
        QCOMPARE(again.TabControl1->selectedIndex(), 1);
        QCOMPARE(again.Text1->text(), QString("fi"));
        QCOMPARE(again.Text2->text(), QString("re"));
        QCOMPARE(m_prompts.errorReports(), QStringList());
    }

    void storedTabThatNamesNoTabIsReported()
    {
        settings::SaveSetting(settings::Key::TabControl1, "7");
        Form2 window(m_prompts, *m_form1);
        window.Form_Load();
        QCOMPARE(m_prompts.errorReports().size(), 1);
        QVERIFY(m_prompts.errorReports()[0].contains("at line 120"));
        QCOMPARE(window.TabControl1->selectedIndex(), 0);
    }

    void helpShowsItsMessage()
    {
        Form2 window(m_prompts, *m_form1);
        window.PushButton3->click();
        window.PushButton3->click();
        QCOMPARE(m_prompts.messages(),
                 QStringList(2, "This program can not find and replace in a field with a Text data type."));
    }

    void setButtonsAndTheTwoListsInStep()
    {
        Form2 window(m_prompts, *m_form1);
        m_prompts.inputAnswers.append(QStringList{"a::b", "c::d", "e::"});
        for (int i = 0; i < 3; ++i)
            window.PushButton10->click();
        QCOMPARE(window.Combo1->count(), 3);
        QCOMPARE(window.Combo2->itemText(2), QString());
        // Adding selects nothing; choosing in one list chooses the same place in the other.
        QCOMPARE(window.Combo1->currentIndex(), -1);
        QCOMPARE(window.Combo2->currentIndex(), -1);
        window.Combo1->setCurrentIndex(1);
        QCOMPARE(window.Combo2->currentIndex(), 1);
        window.Combo2->setCurrentIndex(2);
        QCOMPARE(window.Combo1->currentIndex(), 2);
        window.Combo1->setCurrentIndex(1);
        window.PushButton13->click();
        QCOMPARE(window.setLists().sets(), (QList<engine::Set>{{"a", "b"}, {"e", ""}}));
        QCOMPARE(window.Combo1->currentIndex(), -1);
        window.PushButton13->click(); // nothing selected: nothing happens
        QCOMPARE(window.setLists().count(), 2);
        window.PushButton11->click();
        QCOMPARE(window.Combo1->count() + window.Combo2->count(), 0);
        QCOMPARE(m_prompts.errorReports(), QStringList());
    }

    void saveSetsWritesTheFileThroughTheSaveDialog()
    {
        Form2 window(m_prompts, *m_form1);
        m_prompts.inputAnswers.append(QStringList{"a::b", "c::"});
        window.PushButton10->click();
        window.PushButton10->click();
        const QString path = m_temp.filePath("saved.txt");
        m_prompts.fileAnswers.append(QStringList{path});
        window.PushButton14->click();
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("a::b\r\nc::\r\n"));
        const test::Shown& dialog = m_prompts.shown.last();
        QCOMPARE(dialog.kind, test::Shown::SaveDialog);
        QCOMPARE(dialog.dialog.flags, 2621953);
        QCOMPARE(dialog.dialog.filter, QString("Text Files (*.txt)|*.txt|All Files (*.*)|*.*|"));
    }

    void loadSetsOpensTheDialogWithTheSetLists()
    {
        Form2 window(m_prompts, *m_form1);
        int opened = 0;
        window.setLoadSetsDialog([&](Prompts&, engine::SetLists& lists, QWidget* parent) {
            ++opened;
            QCOMPARE(parent, &window);
            lists.append("from", "dialog");
        });
        window.PushButton12->click();
        QCOMPARE(opened, 1);
        QCOMPARE(window.Combo1->itemText(0), QString("from"));
        QCOMPARE(window.Combo2->itemText(0), QString("dialog"));
    }

    void startReplacingRunsToDoneAndChangesTheDatabase()
    {
        Form2 window(m_prompts, *m_form1);
        window.Form_Load();
        window.PushButton9->click();
        entryNamed(window.List1, "main_window_tests.alpha")->setCheckState(Qt::Checked);
        window.Text1->setText("old");
        window.Text2->setText("new");
        QList<int> modes;
        connect(&window.pointer(), &WindowPointer::modeChanged, this, [&](int mode) { modes << mode; });
        QString during;
        InRound looking(2, [&] { during = window.StatusLine->text(); });
        window.PushButton1->click();
        QVERIFY2(during.startsWith("Table ") && during.contains("(main_window_tests.alpha): record 1 of 2"),
                 qPrintable(during));
        QCOMPARE(m_prompts.messages(), QStringList{"Done."});
        QCOMPARE(m_prompts.errorReports(), QStringList());
        QCOMPARE(modes, (QList<int>{11, 0}));
        QCOMPARE(TestDatabase::psql("SELECT string_agg(v, ',' ORDER BY id) FROM main_window_tests.alpha"),
                 QString("new,newer"));
        QCOMPARE(TestDatabase::psql("SELECT w FROM main_window_tests.beta"), QString("old"));
        QFile log(engine::logFilePath());
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = log.readAll().split('\n');
        QCOMPARE(lines.size(), 3); // two lines and the empty piece after the last CR LF
        QVERIFY(lines[0].endsWith(
            "] - old was replace to new at table (main_window_tests.alpha) and column (v)\r"));
        QCOMPARE(window.StatusLine->text(), QString("Finished."));
    }

    void changeOfTheFindTextDuringARunCountsFromTheNextField()
    {
        TestDatabase::psql("CREATE TABLE main_window_tests.f (id int, a text, b text);"
                           "INSERT INTO main_window_tests.f VALUES (1, 'old', 'old'), (2, 'old', 'new');");
        Form2 window(m_prompts, *m_form1);
        window.Form_Load();
        window.PushButton9->click();
        entryNamed(window.List1, "main_window_tests.f")->setCheckState(Qt::Checked);
        window.Text1->setText("old");
        window.Text2->setText("mid");
        // Before the third field of the first record (b), the user types a new pair.
        InRound typing(3, [&] {
            window.Text1->setText("new");
            window.Text2->setText("NEW");
        });
        window.PushButton1->click();
        QCOMPARE(
            TestDatabase::psql("SELECT string_agg(a || '/' || b, ',' ORDER BY id) FROM main_window_tests.f"),
            QString("mid/old,old/NEW"));
    }

    void startAndBackArePassedOverDuringARun()
    {
        Form2 window(m_prompts, *m_form1);
        window.Form_Load();
        window.show();
        m_form1->hide();
        window.Text1->setText("old");
        window.Text2->setText("oldold");
        InRound pressing(2, [&] {
            window.PushButton1->click();
            window.PushButton5->click();
            QCOMPARE(pointerMode(&window), 11);
        });
        window.PushButton1->click();
        QCOMPARE(m_prompts.messages(), QStringList{"Done."});
        QVERIFY(window.isVisible());
        QVERIFY(!m_form1->isVisible());
        // One pass only: a second run would have doubled the text again.
        QCOMPARE(TestDatabase::psql("SELECT string_agg(v, ',' ORDER BY id) FROM main_window_tests.alpha"),
                 QString("oldold,oldolder"));
    }

    void backThenNextKeepsEverythingWithoutReadingTheCatalogueAgain()
    {
        test::storeConnectionDetails(TestDatabase::details());
        ToolWindows windows(m_prompts);
        windows.start();
        Form2* window = windows.mainWindow();
        QVERIFY(window && window->isVisible());
        entryNamed(window->List1, "main_window_tests.beta")->setCheckState(Qt::Unchecked);
        window->Text1->setText("find");
        window->Text2->setText("replace");
        m_prompts.inputAnswers.append(QStringList{"x::y"});
        window->PushButton10->click();
        window->TabControl1->setSelectedIndex(1);
        const QStringList names = listTexts(window->List1);
        const QList<bool> ticked = ticks(window->List1);
        TestDatabase::psql("CREATE TABLE main_window_tests.gamma (g text);");

        window->PushButton5->click();
        QVERIFY(windows.connectionWindow().isVisible());
        QVERIFY(!window->isVisible());
        windows.connectionWindow().PushButton3->click();
        QCOMPARE(windows.mainWindow(), window);
        QVERIFY(window->isVisible());
        QCOMPARE(listTexts(window->List1), names);
        QCOMPARE(ticks(window->List1), ticked);
        QCOMPARE(window->Text1->text(), QString("find"));
        QCOMPARE(window->Text2->text(), QString("replace"));
        QCOMPARE(window->setLists().sets(), (QList<engine::Set>{{"x", "y"}}));
        QCOMPARE(window->TabControl1->selectedIndex(), 1);

        // "Load Sets" opens the real Load Sets dialog, modal over the Main window.
        QString opened;
        QTimer::singleShot(0, [&] {
            if (QWidget* dialog = QApplication::activeModalWidget()) {
                opened = dialog->windowTitle();
                dialog->close();
            }
        });
        window->PushButton12->click();
        QCOMPARE(opened, QString("Load Sets"));
        QCOMPARE(m_prompts.errorReports(), QStringList());
    }

    void hoverRulesOfTheMainWindow()
    {
        Form2 window(m_prompts, *m_form1);
        window.show();
        for (PushButton* button : {window.PushButton1, window.PushButton3, window.PushButton5,
                                   window.PushButton8, window.PushButton9}) {
            QTest::mouseMove(&window, QPoint(1, 1));
            QCOMPARE(pointerMode(&window), 0);
            QTest::mouseMove(button, QPoint(5, 5));
            QCOMPARE(pointerMode(&window), 99);
        }
        // A text box has no hover handling: the hand stays.
        QTest::mouseMove(window.Text1, QPoint(5, 5));
        QCOMPARE(pointerMode(&window), 99);
        QTest::mouseMove(window.List1->viewport(), QPoint(5, 5));
        QCOMPARE(pointerMode(&window), 0);
        window.pointer().setMode(11);
        QTest::mouseMove(window.PushButton1, QPoint(5, 5));
        QCOMPARE(pointerMode(&window), 11);
    }

    void tabbingGoesThroughTheControlsOfTheSelectedTab_data()
    {
        // Object names in focus order after "Help"; "TabControl1" stands for its row of tabs.
        QTest::addColumn<int>("tab");
        QTest::addColumn<QStringList>("order");
        const QStringList top = {"List1", "PushButton8", "PushButton9", "TabControl1"};
        const QStringList bottom = {"PushButton1", "PushButton5", "PreviewButton", "UndoButton",
                                    "PushButton3"};
        QTest::newRow("find and replace") << 0 << top + QStringList{"Text1", "Text2"} + bottom;
        QTest::newRow("sets") << 1
                              << top + QStringList{"Combo1",       "Combo2",       "PushButton10",
                                                   "PushButton12", "PushButton14", "PushButton13",
                                                   "PushButton11"} +
                                     bottom;
    }

    void tabbingGoesThroughTheControlsOfTheSelectedTab()
    {
        QFETCH(int, tab);
        QFETCH(QStringList, order);
        Form2 window(m_prompts, *m_form1);
        window.TabControl1->setSelectedIndex(tab);
        window.show();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        window.PushButton3->setFocus();
        QTRY_COMPARE(QApplication::focusWidget(), window.PushButton3);
        for (const QString& name : order) {
            QWidget* next =
                name == "TabControl1" ? window.TabControl1->tabBar() : window.findChild<QWidget*>(name);
            QVERIFY2(next, qPrintable(name));
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            const QWidget* focused = QApplication::focusWidget();
            QVERIFY2(focused == next, qPrintable(name + " expected, focus on " +
                                                 (focused ? focused->objectName() : QString("nothing"))));
        }
    }

    void previewShowsWhatStartReplacingWouldDoAndChangesNothing()
    {
        Form2 window(m_prompts, *m_form1);
        window.Form_Load();
        // Only alpha: other tests' tables may share the database.
        for (int i = 0; i < window.List1->count(); ++i)
            window.List1->item(i)->setCheckState(
                window.List1->item(i)->text() == "main_window_tests.alpha" ? Qt::Checked : Qt::Unchecked);
        window.Text1->setText("old");
        window.Text2->setText("new");
        const QString csvPath = m_temp.filePath("preview.csv");
        m_prompts.fileAnswers.enqueue(csvPath);
        QStringList counts;
        QStringList samples;
        window.setShowPreview([&](PreviewWindow& preview) {
            QVERIFY(preview.isModal());
            for (int i = 0; i < preview.Counts->topLevelItemCount(); ++i) {
                const QTreeWidgetItem* table = preview.Counts->topLevelItem(i);
                counts << table->text(0) + ": " + table->text(1);
                for (int c = 0; c < table->childCount(); ++c)
                    counts << table->child(c)->text(0) + ": " + table->child(c)->text(1) + "/" +
                                  table->child(c)->text(2);
            }
            for (int r = 0; r < preview.Samples->rowCount(); ++r)
                samples << preview.Samples->item(r, 2)->text() + " -> " + preview.Samples->item(r, 3)->text();
            QVERIFY(preview.SaveButton->isEnabled());
            QCOMPARE(preview.Status->text(), QString("2 of 2 records would change in 1 table."));
            // Every header readable whole at the opening size.
            for (int c = 0; c < preview.Counts->columnCount(); ++c)
                QVERIFY(preview.Counts->columnWidth(c) >= preview.Counts->header()->sectionSizeHint(c));
            // A screen reader hears the counts themselves, not a name put in their place.
            QCOMPARE(QAccessible::queryAccessibleInterface(preview.Status)->text(QAccessible::Name),
                     preview.Status->text());
            preview.SaveButton->click();
        });
        window.PreviewButton->click();

        if (engine::logFilePath().isEmpty() || QFile::exists(engine::logFilePath()))
            QFAIL("the preview wrote to the log");
        QCOMPARE(counts, (QStringList{"main_window_tests.alpha: 2", "v: 2/0"}));
        QCOMPARE(samples, (QStringList{"\u00ABold\u00BB -> \u00ABnew\u00BB",
                                       "\u00ABold\u00BBer -> \u00ABnew\u00BBer"}));
        QCOMPARE(TestDatabase::psql("SELECT string_agg(v, ',' ORDER BY id) FROM main_window_tests.alpha"),
                 QStringLiteral("old,older"));
        QFile csv(csvPath);
        QVERIFY(csv.open(QIODevice::ReadOnly));
        QCOMPARE(csv.readAll(), QByteArray("table,record,row,column,old,new,refusal,change\r\n"
                                           "main_window_tests.alpha,1,\"record at (0,1) in "
                                           "main_window_tests.alpha\",v,old,new,,[-old-]{+new+}\r\n"
                                           "main_window_tests.alpha,2,\"record at (0,2) in "
                                           "main_window_tests.alpha\",v,older,newer,,[-old-]{+new+}"
                                           "er\r\n"));
        // Nothing but the file dialog of "Save as CSV...".
        QCOMPARE(m_prompts.shown.size(), 1);
        QCOMPARE(m_prompts.shown.first().kind, test::Shown::SaveDialog);
        QCOMPARE(m_prompts.shown.first().dialog.title, QStringLiteral("Save as CSV"));
    }

    void previewDetailShowsTheSelectedSampleWhole()
    {
        const QString head(300, u'h');
        const QString tail(300, u't');
        TestDatabase::psql(
            QStringLiteral("UPDATE main_window_tests.alpha SET v = '%1' || v || '%2' WHERE id = 2")
                .arg(head, tail));
        Form2 window(m_prompts, *m_form1);
        window.Form_Load();
        for (int i = 0; i < window.List1->count(); ++i)
            window.List1->item(i)->setCheckState(
                window.List1->item(i)->text() == "main_window_tests.alpha" ? Qt::Checked : Qt::Unchecked);
        window.Text1->setText("old");
        window.Text2->setText("new");
        QString row;
        QString first;
        QString second;
        window.setShowPreview([&](PreviewWindow& preview) {
            first = preview.Detail->toPlainText();
            preview.Samples->setCurrentCell(1, 0);
            row = preview.Samples->item(1, 2)->text();
            second = preview.Detail->toPlainText();
        });
        window.PreviewButton->click();
        QVERIFY2(first.contains("\u00ABold\u00BB") && !first.contains(head), qPrintable(first));
        // The row starts a little before the change; the pane holds both values whole.
        QVERIFY2(row.startsWith("...hhh") && row.contains("\u00ABold\u00BB") && row.size() < head.size(),
                 qPrintable(row));
        QVERIFY2(second.contains(head + "\u00ABold\u00BB" + "er" + tail), qPrintable(second));
        QVERIFY2(second.contains(head + "\u00ABnew\u00BB" + "er" + tail), qPrintable(second));
    }

    void previewCancelStopsTheWalk_data()
    {
        QTest::addColumn<bool>("escape");
        QTest::newRow("Cancel") << false;
        QTest::newRow("Escape") << true;
    }

    void previewCancelStopsTheWalk()
    {
        QFETCH(bool, escape);
        Form2 window(m_prompts, *m_form1);
        window.Form_Load();
        window.Text1->setText("old");
        // Pressed while the preview reads: the walk ends before its first record, the window stays.
        QTimer::singleShot(0, &window, [&window, escape] {
            if (auto* preview = window.findChild<PreviewWindow*>()) {
                if (escape)
                    QTest::keyClick(preview, Qt::Key_Escape);
                else
                    preview->CancelButton->click();
            }
        });
        bool cancelled = false;
        long long records = -1;
        window.setShowPreview([&](PreviewWindow& preview) {
            cancelled = preview.isCancelled();
            records = 0;
            for (const engine::PreviewTable& table : preview.result())
                records += table.records;
            QVERIFY(preview.Status->text().startsWith("Cancelled: "));
            QVERIFY(!preview.CancelButton->isEnabled());
            QVERIFY(preview.isVisible());
        });
        window.PreviewButton->click();
        QVERIFY(cancelled);
        QCOMPARE(records, 0);
    }

    void everyInputIsNamedForAssistiveTools()
    {
        Form2 window(m_prompts, *m_form1);
        const QList<QWidget*> inputs = {window.List1, window.Text1, window.Text2, window.Combo1,
                                        window.Combo2};
        for (QWidget* input : inputs) {
            bool labelled = false;
            for (const QLabel* label : window.findChildren<QLabel*>())
                labelled = labelled || label->buddy() == input;
            QVERIFY2(labelled, qPrintable(input->objectName()));
            QVERIFY2(!input->accessibleName().isEmpty(), qPrintable(input->objectName()));
        }
        for (const PushButton* button : window.findChildren<PushButton*>())
            QVERIFY2(!button->text().isEmpty() || !button->accessibleName().isEmpty(),
                     qPrintable(button->objectName()));
        QVERIFY(!window.StatusLine->accessibleName().isEmpty());
    }

    void closingTheMainWindowEndsTheTool()
    {
        Form2 window(m_prompts, *m_form1);
        window.show();
        window.close();
        QCOMPARE(m_ends, 1);
    }

    // Every line the log holds is a change the table holds: the records logged in the batch not yet
    // stored are stored before the tool ends.
    void closingDuringARunStoresWhatWasLoggedThenEnds()
    {
        TestDatabase::psql(
            "CREATE TABLE main_window_tests.big (id int, v text);"
            "INSERT INTO main_window_tests.big SELECT g, 'old' FROM generate_series(1, 2500) g;");
        Form2 window(m_prompts, *m_form1);
        window.Form_Load();
        window.show();
        window.PushButton9->click();
        entryNamed(window.List1, "main_window_tests.big")->setCheckState(Qt::Checked);
        window.Text1->setText("old");
        window.Text2->setText("new");
        InRound closing(1500, [&] {
            window.close();
            QCOMPARE(m_ends, 0);
        });
        window.PushButton1->click();
        QCOMPARE(m_ends, 1);
        QCOMPARE(m_prompts.messages(), QStringList()); // no "Done." left to answer after the window
        QFile log(engine::logFilePath());
        QVERIFY(log.open(QIODevice::ReadOnly));
        const qsizetype logged = log.readAll().count("\r\n");
        const long long stored =
            TestDatabase::psql("SELECT count(*) FROM main_window_tests.big WHERE v = 'new'").toLongLong();
        QVERIFY2(logged > 0 && logged < 2500, qPrintable(QString::number(logged)));
        QCOMPARE(stored, logged);
    }

private:
    test::TempStore m_store;
    QTemporaryDir m_temp;
    ScriptedPrompts m_prompts;
    std::unique_ptr<Form1> m_form1;
    int m_ends = 0;
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
