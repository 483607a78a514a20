// The five buttons of the sets tab, driven through scripted prompts: what each asks, shows, changes
// and writes, and where its failures are reported.
#include "core/Procedure.h"
#include "engine/SetFiles.h"
#include "engine/SetsTab.h"
#include "tests/support/ScriptedPrompts.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using namespace quarvel;
using namespace quarvel::engine;
using quarvel::test::ScriptedPrompts;
using quarvel::test::Shown;

namespace {

QByteArray contentOf(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray("<unreadable>");
    return file.readAll();
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

// Lists that behave as the Main window's two combo boxes do in Qt: removing the selected entry selects
// a neighbour, and the window copies the find list's selection to the replacement list at once.
class SyncedComboLists : public PlainSetLists
{
public:
    using PlainSetLists::PlainSetLists;

protected:
    void removeEntry(Which list, int position) override
    {
        const bool wasSelected = selected(list) == position;
        PlainSetLists::removeEntry(list, position);
        if (list == Find && wasSelected) {
            const int next = qMin(position, size(Find) - 1); // -1 once empty
            setSelected(Find, next);
            if (next < size(Replacement))
                setSelected(Replacement, next);
        }
    }
};

// Lists whose append always fails, to see where the failure is reported.
class RefusingLists : public PlainSetLists
{
protected:
    void appendEntries(const QString&, const QString&) override
    {
        throw std::runtime_error("combo box gone");
    }
};

} // namespace

class TestSetsTab : public QObject
{
    Q_OBJECT
private slots:
    void addSetAnswers_data()
    {
        QTest::addColumn<QStringList>("answers"); // empty: Cancel
        QTest::addColumn<QList<Set>>("expected");
        QTest::addColumn<QStringList>("messages");
        const QStringList none;
        const QString refusal = QString::fromLatin1(MissingSeparatorMessage);
        QTest::newRow("third piece dropped") << QStringList{"a::b::c"} << QList<Set>{{"a", "b"}} << none;
        QTest::newRow("empty find text") << QStringList{"::b"} << QList<Set>{{"", "b"}} << none;
        QTest::newRow("empty replacement") << QStringList{"a::"} << QList<Set>{{"a", ""}} << none;
        QTest::newRow("both empty") << QStringList{"::"} << QList<Set>{{"", ""}} << none;
        QTest::newRow("three colons") << QStringList{"a:::b"} << QList<Set>{{"a", ":b"}} << none;
        QTest::newRow("four colons") << QStringList{"a::::b"} << QList<Set>{{"a", ""}} << none;
        QTest::newRow("blanks kept") << QStringList{" a :: b "} << QList<Set>{{" a ", " b "}} << none;
        QTest::newRow("pre-filled answer")
            << QStringList{"findwhat::replacewith"} << QList<Set>{{"findwhat", "replacewith"}} << none;
        QTest::newRow("no separator refused") << QStringList{"abc"} << QList<Set>{} << QStringList{refusal};
        QTest::newRow("single colon refused") << QStringList{"a:b"} << QList<Set>{} << QStringList{refusal};
        QTest::newRow("cancel") << QStringList{} << QList<Set>{} << none;
        QTest::newRow("OK on an empty field") << QStringList{""} << QList<Set>{} << none;
        QTest::newRow("same set twice")
            << QStringList{"x::y", "x::y"} << QList<Set>{{"x", "y"}, {"x", "y"}} << none;
    }

    void addSetAnswers()
    {
        QFETCH(QStringList, answers);
        QFETCH(QList<Set>, expected);
        QFETCH(QStringList, messages);
        ScriptedPrompts prompts;
        PlainSetLists lists;
        SetsTab tab(prompts, lists, {});
        const int clicks = int(qMax<qsizetype>(1, answers.size()));
        for (const QString& answer : answers)
            prompts.inputAnswers.enqueue(answer);
        for (int i = 0; i < clicks; ++i)
            tab.PushButton10_Click();
        QCOMPARE(lists.sets(), expected);
        QCOMPARE(lists.size(SetLists::Replacement), expected.size());
        QCOMPARE(prompts.messages(), messages);
        QVERIFY(prompts.errorReports().isEmpty());
        QCOMPARE(prompts.shown.first().kind, Shown::Input);
        QCOMPARE(prompts.shown.first().text,
                 QString("Enter find and replace set (use :: to separate find text and replace text):"));
        QCOMPARE(prompts.shown.first().prefilled, QString("findwhat::replacewith"));
        QCOMPARE(prompts.shown.size(), clicks + messages.size());
    }

    void addSetAppendsAfterExistingSetsAndKeepsTheSelection()
    {
        ScriptedPrompts prompts;
        PlainSetLists lists({{"a", "1"}, {"b", "2"}});
        lists.select(0);
        SetsTab tab(prompts, lists, {});
        prompts.inputAnswers.enqueue("c::3");
        tab.PushButton10_Click();
        QCOMPARE(lists.sets(), (QList<Set>{{"a", "1"}, {"b", "2"}, {"c", "3"}}));
        QCOMPARE(lists.selected(SetLists::Find), 0);
        QCOMPARE(lists.selected(SetLists::Replacement), 0);
    }

    void addSetAtTheLimitSaysSoWithoutAsking()
    {
        ScriptedPrompts prompts;
        PlainSetLists lists;
        for (int k = 0; k < MaxSets; ++k)
            lists.append(QString::number(k), QString());
        SetsTab tab(prompts, lists, {});
        prompts.inputAnswers.enqueue("one::more");
        tab.PushButton10_Click();
        QCOMPARE(lists.count(), MaxSets);
        QCOMPARE(lists.size(SetLists::Replacement), MaxSets);
        QCOMPARE(prompts.shown.size(), 1);
        QCOMPARE(prompts.shown.first().kind, Shown::Message);
        QCOMPARE(prompts.shown.first().text,
                 QStringLiteral("The set lists are full: they hold at most 32,767 sets. Remove or clear sets "
                                "before adding more."));
    }

    void addSetOneBelowTheLimitStillAdds()
    {
        ScriptedPrompts prompts;
        PlainSetLists lists;
        for (int k = 0; k < MaxSets - 1; ++k)
            lists.append(QString::number(k), QString());
        SetsTab tab(prompts, lists, {});
        prompts.inputAnswers.enqueue("last::one");
        tab.PushButton10_Click();
        QCOMPARE(lists.count(), MaxSets);
        QCOMPARE(lists.at(MaxSets - 1), (Set{"last", "one"}));
        QVERIFY(prompts.messages().isEmpty());
    }

    void addSetWithAPastedLineBreakIsReportedAndAddsNothing()
    {
        ScriptedPrompts prompts;
        PlainSetLists lists;
        SetsTab tab(prompts, lists, {});
        prompts.inputAnswers.enqueue("a::b\nc");
        tab.PushButton10_Click();
        QCOMPARE(lists.count(), 0);
        QCOMPARE(lists.size(SetLists::Replacement), 0);
        QCOMPARE(prompts.errorReports(), QStringList{errorReportText("A set cannot hold a line break.",
                                                                     "Form2.PushButton10_Click", 108)});
    }

    void addSetFailureIsReportedAtLine108()
    {
        ScriptedPrompts prompts;
        RefusingLists lists;
        SetsTab tab(prompts, lists, {});
        prompts.inputAnswers.enqueue("a::b");
        tab.PushButton10_Click();
        QCOMPARE(prompts.errorReports(),
                 QStringList{errorReportText("combo box gone", "Form2.PushButton10_Click", 108)});
    }

    void removeWithoutSelectionChangesNothingAndShowsNothing()
    {
        ScriptedPrompts prompts;
        PlainSetLists lists({{"a", "1"}, {"b", "2"}});
        SetsTab tab(prompts, lists, {});
        tab.PushButton13_Click();
        QCOMPARE(lists.sets(), (QList<Set>{{"a", "1"}, {"b", "2"}}));
        QVERIFY(prompts.shown.isEmpty());
    }

    void removeTakesTheSelectedSetFromBothLists_data()
    {
        QTest::addColumn<int>("position");
        QTest::addColumn<QList<Set>>("expected");
        QTest::newRow("first") << 0 << QList<Set>{{"b", "2"}, {"c", "3"}};
        QTest::newRow("middle") << 1 << QList<Set>{{"a", "1"}, {"c", "3"}};
        QTest::newRow("last") << 2 << QList<Set>{{"a", "1"}, {"b", "2"}};
    }

    void removeTakesTheSelectedSetFromBothLists()
    {
        QFETCH(int, position);
        QFETCH(QList<Set>, expected);
        for (bool comboLike : {false, true}) {
            ScriptedPrompts prompts;
            const QList<Set> start{{"a", "1"}, {"b", "2"}, {"c", "3"}};
            PlainSetLists plain(start);
            SyncedComboLists combos(start);
            SetLists& lists = comboLike ? static_cast<SetLists&>(combos) : plain;
            plain.select(position);
            combos.select(position);
            SetsTab tab(prompts, lists, {});
            tab.PushButton13_Click();
            QCOMPARE(lists.sets(), expected);
            QCOMPARE(lists.size(SetLists::Replacement), 2);
            QVERIFY(prompts.shown.isEmpty());
        }
    }

    void removeTestsEachListOnItsOwn()
    {
        ScriptedPrompts prompts;
        PlainSetLists lists({{"a", "1"}, {"b", "2"}});
        lists.setSelected(SetLists::Replacement, 1);
        SetsTab tab(prompts, lists, {});
        tab.PushButton13_Click();
        QCOMPARE(lists.list(SetLists::Find), (QStringList{"a", "b"}));
        QCOMPARE(lists.list(SetLists::Replacement), QStringList{"1"});
    }

    void clearEmptiesBothListsWithoutAsking()
    {
        ScriptedPrompts prompts;
        PlainSetLists lists({{"a", "1"}, {"b", "2"}});
        lists.select(1);
        SetsTab tab(prompts, lists, {});
        tab.PushButton11_Click();
        QCOMPARE(lists.size(SetLists::Find), 0);
        QCOMPARE(lists.size(SetLists::Replacement), 0);
        QCOMPARE(lists.selected(SetLists::Find), -1);
        QVERIFY(prompts.shown.isEmpty());
    }

    void loadSetsShowsTheDialogOnce()
    {
        ScriptedPrompts prompts;
        PlainSetLists lists;
        int shown = 0;
        SetsTab tab(prompts, lists, [&] {
            ++shown;
            lists.append("from", "dialog");
        });
        tab.PushButton12_Click();
        QCOMPARE(shown, 1);
        QCOMPARE(lists.sets(), (QList<Set>{{"from", "dialog"}}));
        QVERIFY(prompts.shown.isEmpty());
    }

    void loadSetsFailureIsReportedAtLine100()
    {
        ScriptedPrompts prompts;
        PlainSetLists lists;
        SetsTab tab(prompts, lists, [] { throw std::runtime_error("dialog broke"); });
        tab.PushButton12_Click();
        QCOMPARE(prompts.errorReports(),
                 QStringList{errorReportText("dialog broke", "Form2.PushButton12_Click", 100)});
    }

    void saveAsksWithTheFixedDialogRequest()
    {
        ScriptedPrompts prompts;
        PlainSetLists lists({{"a", "b"}});
        SetsTab tab(prompts, lists, {});
        tab.PushButton14_Click();
        QCOMPARE(prompts.shown.size(), 1);
        const Shown& dialog = prompts.shown.first();
        QCOMPARE(dialog.kind, Shown::SaveDialog);
        QCOMPARE(dialog.dialog.fileName, QString());
        QCOMPARE(dialog.dialog.flags, 2621953);
        QCOMPARE(dialog.dialog.title, QString("Save"));
        QCOMPARE(dialog.dialog.filter, QString("Text Files (*.txt)|*.txt|All Files (*.*)|*.*|"));
    }

    void saveWritesTheExactBytes()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("sets.txt");
        ScriptedPrompts prompts;
        PlainSetLists lists({{"a", "b"}, {"c", ""}});
        SetsTab tab(prompts, lists, {});
        prompts.fileAnswers.enqueue(path);
        tab.PushButton14_Click();
        QCOMPARE(contentOf(path), QByteArray("a::b\r\nc::\r\n"));
        QCOMPARE(prompts.shown.size(), 1); // the dialog; no question, nothing after a save
    }

    void saveOfNoSetsWritesAnEmptyFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("empty.txt");
        ScriptedPrompts prompts;
        PlainSetLists lists;
        SetsTab tab(prompts, lists, {});
        prompts.fileAnswers.enqueue(path);
        tab.PushButton14_Click();
        QVERIFY(QFile::exists(path));
        QCOMPARE(QFileInfo(path).size(), 0);
        QCOMPARE(prompts.shown.size(), 1);
    }

    void saveOntoAnExistingFileAnsweredNoLeavesItAlone()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("old.txt");
        writeFile(path, "old content\r\n");
        ScriptedPrompts prompts;
        PlainSetLists lists({{"new", "sets"}});
        SetsTab tab(prompts, lists, {});
        prompts.fileAnswers.enqueue(path);
        prompts.yesNoAnswers.enqueue(false);
        tab.PushButton14_Click();
        QCOMPARE(contentOf(path), QByteArray("old content\r\n"));
        QCOMPARE(prompts.shown.size(), 2);
        QCOMPARE(prompts.shown.at(1).kind, Shown::YesNo);
        QCOMPARE(prompts.shown.at(1).text, "Are you sure you wish to overwrite " + path + " ?");
    }

    void saveOntoAnExistingFileAnsweredYesReplacesIt()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("old.txt");
        writeFile(path, "a much longer old content that must not survive\r\n");
        ScriptedPrompts prompts;
        PlainSetLists lists({{"new", "sets"}});
        SetsTab tab(prompts, lists, {});
        prompts.fileAnswers.enqueue(path);
        prompts.yesNoAnswers.enqueue(true);
        tab.PushButton14_Click();
        QCOMPARE(contentOf(path), QByteArray("new::sets\r\n"));
        QCOMPARE(prompts.shown.size(), 2);
    }

    void saveOfNoSetsOntoAnExistingFileEmptiesItAfterTheQuestion()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("old.txt");
        writeFile(path, "x::y\r\n");
        ScriptedPrompts prompts;
        PlainSetLists lists;
        SetsTab tab(prompts, lists, {});
        prompts.fileAnswers.enqueue(path);
        prompts.yesNoAnswers.enqueue(true);
        tab.PushButton14_Click();
        QCOMPARE(QFileInfo(path).size(), 0);
        QCOMPARE(prompts.shown.at(1).kind, Shown::YesNo);
    }

    void saveOfASetThatWouldNotLoadBackWritesNothingAndAsksNothing_data()
    {
        QTest::addColumn<QByteArray>("existing"); // empty: no file yet
        QTest::newRow("new file") << QByteArray();
        QTest::newRow("existing file") << QByteArray("old::content\r\n");
    }

    void saveOfASetThatWouldNotLoadBackWritesNothingAndAsksNothing()
    {
        QFETCH(QByteArray, existing);
        QTemporaryDir dir;
        const QString path = dir.filePath("sets.txt");
        if (!existing.isEmpty())
            writeFile(path, existing);
        ScriptedPrompts prompts;
        // As loaded from "old-ip=>fe80::1" and "std::string=>String" with the separator "=>".
        PlainSetLists lists({{"a", "b"}, {"old-ip", "fe80::1"}, {"std::string", "String"}});
        SetsTab tab(prompts, lists, {});
        prompts.fileAnswers.enqueue(path);
        prompts.yesNoAnswers.enqueue(true);
        tab.PushButton14_Click();
        QCOMPARE(prompts.shown.size(), 2);
        QCOMPARE(prompts.shown.at(0).kind, Shown::SaveDialog);
        QCOMPARE(prompts.shown.at(1).kind, Shown::Message);
        QCOMPARE(prompts.shown.at(1).text,
                 QString::fromUtf8("Set 2 (\"old-ip\" \xe2\x86\x92 \"fe80::1\") would load back from a set "
                                   "file as (\"old-ip\" \xe2\x86\x92 \"fe80\"), because \"::\" separates "
                                   "the find text from the replacement text there. Nothing was saved."));
        if (existing.isEmpty())
            QVERIFY(!QFile::exists(path));
        else
            QCOMPARE(contentOf(path), existing);
        QCOMPARE(lists.count(), 3);
    }

    void cancelledSaveDialogWritesNothingAndShowsNothingMore()
    {
        QTemporaryDir dir;
        ScriptedPrompts prompts;
        PlainSetLists lists({{"a", "b"}});
        SetsTab tab(prompts, lists, {});
        tab.PushButton14_Click(); // no answer queued: cancelled
        QCOMPARE(prompts.shown.size(), 1);
        QCOMPARE(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
    }

    void aNameWithoutExtensionGetsNone()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("sets");
        ScriptedPrompts prompts;
        PlainSetLists lists({{"a", "b"}});
        SetsTab tab(prompts, lists, {});
        prompts.fileAnswers.enqueue(path);
        tab.PushButton14_Click();
        QCOMPARE(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList{"sets"});
    }

    void saveIntoAMissingFolderIsReportedAtLine114()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("no-such-folder/sets.txt");
        ScriptedPrompts prompts;
        PlainSetLists lists({{"a", "b"}});
        SetsTab tab(prompts, lists, {});
        prompts.fileAnswers.enqueue(path);
        tab.PushButton14_Click();
        const QStringList reports = prompts.errorReports();
        QCOMPARE(reports.size(), 1);
        QVERIFY2(reports.first().startsWith("Cannot write the set file " + path + ": "),
                 qPrintable(reports.first()));
        QVERIFY(reports.first().contains(
            "\r\nin Morvane2021/08/31.Form2.PushButton14_Click at line 114\r\n\r\n"));
        QVERIFY(!QFile::exists(path));
    }

    void saveOntoAFolderAnsweredYesIsReportedAtLine114()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("folder");
        QVERIFY(QDir(dir.path()).mkdir("folder"));
        ScriptedPrompts prompts;
        PlainSetLists lists({{"a", "b"}});
        SetsTab tab(prompts, lists, {});
        prompts.fileAnswers.enqueue(path);
        prompts.yesNoAnswers.enqueue(true);
        tab.PushButton14_Click();
        QCOMPARE(prompts.shown.at(1).kind, Shown::YesNo);
        QCOMPARE(prompts.errorReports().size(), 1);
        QVERIFY(prompts.errorReports().first().contains("Form2.PushButton14_Click at line 114"));
        QVERIFY(QFileInfo(path).isDir());
    }

    void savedSetsLoadBackTheSame()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("round.txt");
        const QList<Set> sets{{"a", "b"},
                              {" blanks ", ""},
                              {"", "empty find"},
                              {"a", "b"},
                              {QString::fromUtf8("caf\xc3\xa9"), QString::fromUtf8("\xe2\x82\xac 5")}};
        ScriptedPrompts prompts;
        PlainSetLists lists(sets);
        SetsTab tab(prompts, lists, {});
        prompts.fileAnswers.enqueue(path);
        tab.PushButton14_Click();
        QVERIFY(!contentOf(path).startsWith("\xff\xfe"));

        PlainSetLists loaded;
        Procedure p(prompts, "Form3.PushButton1_Click");
        LoadSetsFromText(p, loaded, ReadTextFile(path), "::");
        QCOMPARE(loaded.sets(), sets);
        QVERIFY(prompts.errorReports().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestSetsTab)
#include "tst_sets_tab.moc"
