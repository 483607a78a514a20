// The set lists' promises: equal length, append order, texts kept exactly, duplicates allowed, at
// most 32,767 sets, no line break inside an entry, and combo-box-like selections.
#include "engine/SetLists.h"

#include <QtTest>

using namespace quarvel::engine;

namespace {

void fill(SetLists& lists, int count)
{
    for (int k = 0; k < count; ++k)
        lists.append(QString::number(k), QStringLiteral("r") + QString::number(k));
}

} // namespace

class TestSetLists : public QObject
{
    Q_OBJECT
private slots:
    void appendedSetsKeepOrderBlanksAndDuplicates()
    {
        PlainSetLists lists;
        lists.append(" a ", "B ");
        lists.append("", "");
        lists.append(" a ", "B ");
        QCOMPARE(lists.count(), 3);
        QCOMPARE(lists.size(SetLists::Replacement), 3);
        QCOMPARE(lists.sets(), (QList<Set>{{" a ", "B "}, {"", ""}, {" a ", "B "}}));
        QCOMPARE(lists.at(2), (Set{" a ", "B "}));
    }

    void readingOutsideTheListsThrows()
    {
        PlainSetLists lists({{"a", "b"}});
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, lists.at(1));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, lists.at(-1));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, lists.entry(SetLists::Find, 5));
    }

    void readingASetMissingFromTheReplacementListThrows()
    {
        // Between the two steps of "Remove Selected Set" the lists may differ; a reader must not run
        // past the shorter one.
        PlainSetLists lists({{"a", "b"}, {"c", "d"}});
        lists.removeAt(SetLists::Replacement, 1);
        QCOMPARE(lists.count(), 2);
        QCOMPARE(lists.at(0), (Set{"a", "b"}));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, lists.at(1));
    }

    void theListsHoldExactly32767Sets()
    {
        PlainSetLists lists;
        fill(lists, MaxSets);
        QCOMPARE(lists.count(), 32767);
        QCOMPARE(lists.at(32766), (Set{"32766", "r32766"}));
    }

    void appendingBeyondTheLimitIsRefusedAndAppendsNothing()
    {
        PlainSetLists lists;
        fill(lists, MaxSets);
        try {
            lists.append("one", "more");
            QFAIL("no refusal");
        } catch (const SetListsFull& e) {
            QCOMPARE(QString::fromUtf8(e.what()),
                     QStringLiteral("The set lists are full: they hold at most 32,767 sets. Remove or clear "
                                    "sets before adding more."));
        }
        QCOMPARE(lists.size(SetLists::Find), MaxSets);
        QCOMPARE(lists.size(SetLists::Replacement), MaxSets);
        QCOMPARE(lists.at(MaxSets - 1), (Set{"32766", "r32766"}));
    }

    void afterRemovingOneAtTheLimitASetFitsAgain()
    {
        PlainSetLists lists;
        fill(lists, MaxSets);
        lists.removeAt(SetLists::Find, 0);
        lists.removeAt(SetLists::Replacement, 0);
        lists.append("last", "one");
        QCOMPARE(lists.count(), MaxSets);
        QCOMPARE(lists.at(MaxSets - 1), (Set{"last", "one"}));
    }

    void aTextWithALineBreakIsRefused_data()
    {
        QTest::addColumn<QString>("find");
        QTest::addColumn<QString>("replacement");
        QTest::newRow("line feed in find") << "a\nb"
                                           << "c";
        QTest::newRow("carriage return in replacement") << "a"
                                                        << "c\r";
        QTest::newRow("CR LF in both") << "\r\n"
                                       << "\r\n";
    }

    void aTextWithALineBreakIsRefused()
    {
        QFETCH(QString, find);
        QFETCH(QString, replacement);
        PlainSetLists lists({{"x", "y"}});
        QVERIFY_THROWS_EXCEPTION(std::invalid_argument, lists.append(find, replacement));
        QCOMPARE(lists.sets(), (QList<Set>{{"x", "y"}}));
        QCOMPARE(lists.size(SetLists::Replacement), 1);
    }

    void removingTheSelectedEntryLeavesNoSelection()
    {
        PlainSetLists lists({{"a", "1"}, {"b", "2"}, {"c", "3"}});
        lists.select(1);
        lists.removeAt(SetLists::Find, 1);
        QCOMPARE(lists.selected(SetLists::Find), -1);
        QCOMPARE(lists.selected(SetLists::Replacement), 1);
        QCOMPARE(lists.list(SetLists::Find), (QStringList{"a", "c"}));
    }

    void removingAnEarlierEntryKeepsTheSameEntrySelected()
    {
        PlainSetLists lists({{"a", "1"}, {"b", "2"}, {"c", "3"}});
        lists.select(2);
        lists.removeAt(SetLists::Find, 0);
        QCOMPARE(lists.selected(SetLists::Find), 1);
        QCOMPARE(lists.entry(SetLists::Find, lists.selected(SetLists::Find)), QString("c"));
    }

    void removingOutsideAListThrowsAndChangesNothing()
    {
        PlainSetLists lists({{"a", "1"}});
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, lists.removeAt(SetLists::Find, 1));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, lists.removeAt(SetLists::Replacement, -1));
        QCOMPARE(lists.sets(), (QList<Set>{{"a", "1"}}));
    }

    void selectingOutsideAListThrows()
    {
        PlainSetLists lists({{"a", "1"}});
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, lists.select(1));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, lists.setSelected(SetLists::Find, -2));
        lists.select(-1);
        QCOMPARE(lists.selected(SetLists::Find), -1);
    }

    void clearingEmptiesOneListAndItsSelection()
    {
        PlainSetLists lists({{"a", "1"}, {"b", "2"}});
        lists.select(0);
        lists.clear(SetLists::Find);
        QCOMPARE(lists.size(SetLists::Find), 0);
        QCOMPARE(lists.selected(SetLists::Find), -1);
        QCOMPARE(lists.size(SetLists::Replacement), 2);
        QCOMPARE(lists.selected(SetLists::Replacement), 0);
    }
};

QTEST_GUILESS_MAIN(TestSetLists)
#include "tst_sets_lists.moc"
