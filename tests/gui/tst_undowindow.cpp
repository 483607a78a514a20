// The Undo a Run window, opened from the Main window against the real test server: runs made by "Start
// Replacing" are undone from the keyboard back to the very bytes the table held, a run made on another
// database is refused, one that cannot connect says why, and Escape stops an undo between its chunks.
#include "engine/Journal.h"
#include "tests/support/ScriptedPrompts.h"
#include "tests/support/TempStore.h"
#include "tests/support/TestDatabase.h"
#include "ui/ConnectionWindow.h"
#include "ui/MainWindow.h"
#include "ui/PushButton.h"
#include "ui/UndoWindow.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpression>
#include <QStandardPaths>
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

const QString Table = QStringLiteral("undo_window_tests.t");

// The table as psql prints it, nulls told apart from empty texts.
QString rows()
{
    return TestDatabase::psql("SELECT id, v, v IS NULL FROM undo_window_tests.t ORDER BY id");
}

QStringList column(const QTreeWidget* list, int c)
{
    QStringList out;
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        out << list->topLevelItem(i)->text(c);
    return out;
}

constexpr int StateColumn = 4;

} // namespace

class TestUndoWindow : public QObject
{
    Q_OBJECT
private:
    // "Start Replacing" in the Main window with one pair, over the test's table only; what it showed, and
    // nothing shown afterwards.
    QStringList startReplacing(const QString& find, const QString& replacement)
    {
        for (int i = 0; i < m_window->List1->count(); ++i)
            m_window->List1->item(i)->setCheckState(
                m_window->List1->item(i)->text() == Table ? Qt::Checked : Qt::Unchecked);
        m_window->Text1->setText(find);
        m_window->Text2->setText(replacement);
        m_prompts.clear();
        m_window->PushButton1->click();
        QStringList shown = m_prompts.messages();
        m_prompts.clear();
        return shown;
    }

    // Opens the undo window by the keyboard from the Main window; check runs while it is open.
    void openUndoWindow(const std::function<void(UndoWindow&)>& check)
    {
        bool opened = false;
        m_window->setShowUndo([&](UndoWindow& undo) {
            opened = true;
            QVERIFY(undo.isModal());
            QTRY_COMPARE(QApplication::focusWidget(), undo.RunList);
            check(undo);
        });
        QTest::keyClick(m_window->UndoButton, Qt::Key_Space);
        QVERIFY(opened);
    }

private slots:
    void initTestCase()
    {
        QUARVEL_REQUIRE_DB();
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(m_temp.isValid());
        qputenv("TEMP", m_temp.path().toLocal8Bit());
    }

    void init()
    {
        QFile::remove(engine::Journal::defaultPath());
        QVERIFY(!QFile::exists(engine::Journal::defaultPath()));
        TestDatabase::freshSchema(QStringLiteral("undo_window_tests"));
        TestDatabase::psql("CREATE TABLE undo_window_tests.t (id int PRIMARY KEY, v text);"
                           "INSERT INTO undo_window_tests.t VALUES (1, ' old '), (2, 'older'), "
                           "(3, E'gold\\tmine\\u00e9 '), (4, NULL), (5, 'kept'), (6, '');");
        m_form1 = std::make_unique<Form1>(m_prompts);
        m_form1->Text1->setText(TestDatabase::details().server);
        m_form1->Text2->setText(TestDatabase::details().port);
        m_form1->Text3->setText(TestDatabase::details().user);
        m_form1->Text4->setText(TestDatabase::details().password);
        m_form1->Text5->setText(TestDatabase::details().database);
        m_window = std::make_unique<Form2>(m_prompts, *m_form1);
        m_window->Form_Load();
        m_window->show();
        QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
        m_prompts.clear();
    }

    void cleanup()
    {
        m_window.reset();
        m_form1.reset();
        m_prompts.yesNoAnswers.clear();
        m_prompts.onShown = nullptr;
    }

    void runsAreUndoneFromTheKeyboardToTheBytesTheTableHeld()
    {
        const QString before = rows();
        QCOMPARE(startReplacing("old", "new"), QStringList{"Done."});
        const QString afterFirst = rows();
        QCOMPARE(afterFirst, QString("1|new|f\n2|newer|f\n3|gnew\tmine\u00e9|f\n4||t\n5|kept|f\n6||f"));
        QCOMPARE(startReplacing("new", "NEW"), QStringList{"Done."});
        QCOMPARE(rows(), QString("1|NEW|f\n2|NEWer|f\n3|gNEW\tmine\u00e9|f\n4||t\n5|kept|f\n6||f"));

        const db::ConnectionDetails d = TestDatabase::details();
        const QString place = QStringLiteral("%1@%2:%3/%4").arg(d.user, d.server, d.port, d.database);
        openUndoWindow([&](UndoWindow& undo) {
            QCOMPARE(column(undo.RunList, 1), QStringList(2, place));
            QCOMPARE(column(undo.RunList, 3), QStringList(2, "3"));
            QCOMPARE(column(undo.RunList, StateColumn), QStringList(2, "finished"));
            QCOMPARE(undo.RunList->topLevelItem(0)->toolTip(2), Table);

            // The newest run first: the second, which undone leaves the first run's texts.
            QTest::keyClick(undo.RunList, Qt::Key_End);
            QTest::keyClick(undo.RunList, Qt::Key_Home);
            const QString when = undo.RunList->currentItem()->text(0);
            QVERIFY2(QRegularExpression("^\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d$").match(when).hasMatch(),
                     qPrintable(when));
            m_prompts.yesNoAnswers.enqueue(true);
            QTest::keyClick(undo.RunList, Qt::Key_Return);
            QCOMPARE(m_prompts.shown.size(), 1);
            QCOMPARE(m_prompts.shown[0].kind, test::Shown::YesNo);
            QCOMPARE(
                m_prompts.shown[0].text,
                "Undo run 2 of " + when +
                    "?\n\nIt would put back 3 records and keep none.\n\nEach field goes back to its old "
                    "text only where it still holds what the run stored; the count is of now, and the undo "
                    "looks again as it goes.");
            QCOMPARE(rows(), afterFirst);
            QCOMPARE(undo.Status->text(),
                     QString("Restored: 3. Kept because changed since the run: 0. No longer there: 0."));
            QCOMPARE(undo.Details->count(), 0);
            QCOMPARE(column(undo.RunList, StateColumn),
                     (QStringList{"undo of run 2", "undone by run 3", "finished"}));

            // Then the first run, the oldest: the table as it was before either.
            QTest::keyClick(undo.RunList, Qt::Key_End);
            m_prompts.yesNoAnswers.enqueue(true);
            QTest::keyClick(undo.RunList, Qt::Key_Return);
            QCOMPARE(rows(), before);
            QCOMPARE(undo.Status->text(),
                     QString("Restored: 3. Kept because changed since the run: 0. No longer there: 0."));
            QCOMPARE(column(undo.RunList, StateColumn).first(), QString("undo of run 1"));
            QCOMPARE(column(undo.RunList, StateColumn).last(), QString("undone by run 4"));
            QCOMPARE(m_prompts.errorReports(), QStringList());

            QTest::keyClick(undo.RunList, Qt::Key_Escape);
            QVERIFY(!undo.isVisible());
        });
    }

    void questionStatesWhatTheUndoWouldPutBackAndKeep()
    {
        QCOMPARE(startReplacing("old", "new"), QStringList{"Done."});
        TestDatabase::psql("UPDATE undo_window_tests.t SET v = 'mine' WHERE id = 2");
        const QString edited = rows();
        const QString csvPath = m_temp.filePath("not-put-back.csv");
        openUndoWindow([&](UndoWindow& undo) {
            const QString details = undo.RunDetails->toPlainText();
            QVERIFY2(details.contains("\u00ABold\u00BB \u2192 \u00ABnew\u00BB") &&
                         details.contains("finished") && details.contains("1: " + Table) &&
                         details.contains("record walk"),
                     qPrintable(details));
            m_prompts.yesNoAnswers.enqueue(false);
            QTest::keyClick(undo.RunList, Qt::Key_Return);
            QCOMPARE(m_prompts.shown.size(), 1);
            QVERIFY2(m_prompts.shown[0].text.contains(
                         "It would put back 2 records and keep 1 record changed since the run."),
                     qPrintable(m_prompts.shown[0].text));
            // Asking wrote nothing: no undo on record, the table as it was.
            QCOMPARE(undo.RunList->topLevelItemCount(), 1);
            QCOMPARE(rows(), edited);

            m_prompts.yesNoAnswers.enqueue(true);
            m_prompts.fileAnswers.enqueue(csvPath);
            QTest::keyClick(undo.RunList, Qt::Key_Return);
            QVERIFY(undo.SaveButton->isEnabled());
            undo.SaveButton->click();
        });
        QFile csv(csvPath);
        QVERIFY(csv.open(QIODevice::ReadOnly));
        QCOMPARE(csv.readAll(),
                 QByteArray("table,record,key,reason\r\n"
                            "undo_window_tests.t,2,(id)=(2),\"changed since the run, kept: v\"\r\n"));
    }

    void runMadeOnAnotherDatabaseIsRefusedAndNothingChanges()
    {
        QCOMPARE(startReplacing("old", "new"), QStringList{"Done."});
        const QString after = rows();
        m_form1->Text5->setText("elsewhere");
        openUndoWindow([&](UndoWindow& undo) {
            m_prompts.yesNoAnswers.enqueue(true);
            QTest::keyClick(undo.RunList, Qt::Key_Return);
        });
        const db::ConnectionDetails d = TestDatabase::details();
        QCOMPARE(m_prompts.messages(),
                 QStringList{
                     QStringLiteral("Run 1 was made on the database \"%1\" on %2, port %3. Connect to that "
                                    "database first; now the connection is to \"elsewhere\" on %2, port %3.")
                         .arg(d.database, d.server, d.port)});
        QCOMPARE(m_prompts.shown.size(), 1);
        QCOMPARE(rows(), after);
    }

    void undoThatCannotConnectSaysWhyAndLeavesEverything()
    {
        QCOMPARE(startReplacing("old", "new"), QStringList{"Done."});
        const QString after = rows();
        m_form1->Text4->setText("not the password");
        openUndoWindow([&](UndoWindow& undo) {
            m_prompts.yesNoAnswers.enqueue(true);
            QTest::keyClick(undo.RunList, Qt::Key_Return);
            // The count before the question cannot connect either: nothing is asked.
            QCOMPARE(m_prompts.shown.size(), 1);
            QCOMPARE(m_prompts.shown[0].kind, test::Shown::Message);
            QVERIFY2(m_prompts.shown[0].text.startsWith("Run 1 was not undone: ") &&
                         m_prompts.shown[0].text.contains("password authentication failed"),
                     qPrintable(m_prompts.shown[0].text));
            QCOMPARE(undo.Status->text(), QString());
            QCOMPARE(column(undo.RunList, StateColumn), QStringList{"finished"});
        });
        QCOMPARE(rows(), after);
    }

    void aRunsSelectionIsShownWithIt()
    {
        {
            engine::Journal journal(engine::Journal::defaultPath());
            engine::RunChoice choice;
            choice.patterns.excludedColumns = QStringList{"guid"};
            choice.columns = {{Table, {"id"}}};
            journal.endRun(journal.beginRun(engine::runPlaceOf(TestDatabase::connectionString()), {Table},
                                            {{"a", "b"}}, 0, engine::ServerEngine, choice));
        }
        openUndoWindow([&](UndoWindow& undo) {
            const QString details = undo.RunDetails->toPlainText();
            QVERIFY2(details.contains("--exclude-column 'guid'; columns searched: " + Table + " (id)"),
                     qPrintable(details));
        });
    }

    void emptyJournalSaysSoAndOffersNoUndo()
    {
        openUndoWindow([&](UndoWindow& undo) {
            QCOMPARE(undo.RunList->topLevelItemCount(), 0);
            QCOMPARE(undo.Status->text(), QString("No run has been journaled yet."));
            QVERIFY(!undo.UndoButton->isEnabled());
            QTest::keyClick(undo.RunList, Qt::Key_Return);
            QCOMPARE(m_prompts.shown.size(), 0);
        });
    }

    void escapeStopsTheUndoBetweenChunksAndKeepsTheWindow()
    {
        TestDatabase::psql(
            "INSERT INTO undo_window_tests.t SELECT g, 'old' FROM generate_series(101, 1300) g;");
        QCOMPARE(startReplacing("old", "new"), QStringList{"Done."});
        openUndoWindow([&](UndoWindow& undo) {
            // Pressed while the undo works: it ends after the chunk at hand, of 500 rows.
            QWidget* focused = nullptr;
            QString progress;
            m_prompts.onShown = [&](const test::Shown&) {
                QTimer::singleShot(0, &undo, [&] {
                    progress = undo.Status->text();
                    focused = QApplication::focusWidget();
                    QTest::keyClick(focused, Qt::Key_Escape);
                });
            };
            m_prompts.yesNoAnswers.enqueue(true);
            QTest::keyClick(undo.RunList, Qt::Key_Return);
            QCOMPARE(focused, undo.CancelButton);
            QCOMPARE(progress, "Record 500 of " + QLocale().toString(1203));
            QVERIFY(undo.isVisible());
            QCOMPARE(TestDatabase::psql("SELECT count(*) FROM undo_window_tests.t WHERE v LIKE '%old%'"),
                     QString("500"));
            QCOMPARE(undo.Status->text(),
                     QString("Restored: 500. Kept because changed since the run: 0. No longer there: 0."));
            QCOMPARE(
                undo.Details->item(undo.Details->count() - 1)->text(),
                QString("Stopped before the end: 500 of 1203 records were looked at. The rest are still as "
                        "the run left them."));
            QVERIFY(!undo.CancelButton->isEnabled());
            QCOMPARE(QApplication::focusWidget(), undo.RunList);
        });
    }

private:
    test::TempStore m_store;
    QTemporaryDir m_temp;
    ScriptedPrompts m_prompts;
    std::unique_ptr<Form1> m_form1;
    std::unique_ptr<Form2> m_window;
};

QTEST_MAIN(TestUndoWindow)
#include "tst_undowindow.moc"
