// The parts of a value that a change keeps, removes and adds, and how one side of it fits a line.
#include "engine/ChangeDiff.h"

#include <QtTest>

using namespace quarvel::engine;

class TestChangeDiff : public QObject
{
    Q_OBJECT
private slots:
    void segmentsShowWhatWentAndWhatCame_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("after");
        QTest::addColumn<qsizetype>("workLimit");
        QTest::addColumn<QString>("change");
        const QString kept(50, u'k');
        QTest::newRow("insertion") << "abc"
                                   << "abXc" << DiffWorkLimit << "ab{+X+}c";
        QTest::newRow("deletion") << "abXc"
                                  << "abc" << DiffWorkLimit << "ab[-X-]c";
        QTest::newRow("from nothing") << ""
                                      << "x" << DiffWorkLimit << "{+x+}";
        QTest::newRow("replacement holding the find text") << "1ab2"
                                                           << "1xaby2" << DiffWorkLimit << "1{+x+}ab{+y+}2";
        QTest::newRow("letters met by chance stay in the change")
            << "http://old.example"
            << "http://a-much-longer-name.example" << DiffWorkLimit
            << "http://[-old-]{+a-much-longer-name+}.example";
        QTest::newRow("two changes apart")
            << "1" + kept + "2"
            << "3" + kept + "4" << DiffWorkLimit << "[-1-]{+3+}" + kept + "[-2-]{+4+}";
        QTest::newRow("past the work bound")
            << "1" + kept + "2"
            << "3" + kept + "4" << qsizetype(10) << "[-1" + kept + "2-]{+3" + kept + "4+}";
        QTest::newRow("surrogate pair whole")
            << "a\U0001F600b"
            << "a\U0001F601b" << DiffWorkLimit << "a[-\U0001F600-]{+\U0001F601+}b";
        QTest::newRow("surrogate pair after a kept one")
            << "\U0001F600\U0001F600"
            << "\U0001F600\U0001F601" << DiffWorkLimit << "\U0001F600[-\U0001F600-]{+\U0001F601+}";
    }

    void segmentsShowWhatWentAndWhatCame()
    {
        QFETCH(QString, before);
        QFETCH(QString, after);
        QFETCH(qsizetype, workLimit);
        QFETCH(QString, change);
        const ChangeSegments segments = changeSegments(before, after, workLimit);
        QCOMPARE(changeText(segments), change);
        QString oldText;
        QString newText;
        for (const ChangeSegment& s : segments) {
            oldText += s.kind == ChangeSegment::Added ? QString() : s.text;
            newText += s.kind == ChangeSegment::Removed ? QString() : s.text;
        }
        QCOMPARE(oldText, before);
        QCOMPARE(newText, after);
    }

    void aSideFitsALineAroundTheFirstChange_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("after");
        QTest::addColumn<QString>("shownBefore");
        QTest::addColumn<QString>("shownAfter");
        QTest::newRow("short whole") << "ab-x-cd"
                                     << "ab-y-cd"
                                     << "ab-\u00ABx\u00BB-cd"
                                     << "ab-\u00ABy\u00BB-cd";
        QTest::newRow("insertion keeps its place") << "abc"
                                                   << "abXc"
                                                   << "ab\u00AB\u00BBc"
                                                   << "ab\u00ABX\u00BBc";
        QTest::newRow("change far from the start")
            << QString(10000, u'a') + "old" + QString(1000, u'b')
            << QString(10000, u'a') + "new" + QString(1000, u'b') << "...aaaaa\u00ABold\u00BBbbbbbbbbbbbb..."
            << "...aaaaa\u00ABnew\u00BBbbbbbbbbbbbb...";
        QTest::newRow("long change cut at the width") << "a"
                                                      << "b" + QString(50, u'x') << "\u00ABa\u00BB"
                                                      << "\u00ABb" + QString(19, u'x') + "\u00BB...";
        QTest::newRow("cut before a surrogate pair") << "s" << QString(19, u'x') + "\U0001F600"
                                                     << "\u00ABs\u00BB"
                                                     << "\u00AB" + QString(19, u'x') + "\u00BB...";
    }

    void aSideFitsALineAroundTheFirstChange()
    {
        QFETCH(QString, before);
        QFETCH(QString, after);
        QFETCH(QString, shownBefore);
        QFETCH(QString, shownAfter);
        const ChangeSegments change = changeSegments(before, after);
        QCOMPARE(markedText(sideOfChange(change, ChangeSegment::Removed, 5, 20)), shownBefore);
        QCOMPARE(markedText(sideOfChange(change, ChangeSegment::Added, 5, 20)), shownAfter);
    }

    void hugeValuesThatDifferThroughoutAreOneChange()
    {
        const QString old(qsizetype(1) << 20, u'a');
        const QString made(qsizetype(1) << 20, u'b');
        const ChangeSegments change = changeSegments(old, made);
        QCOMPARE(change, (ChangeSegments{{ChangeSegment::Removed, old}, {ChangeSegment::Added, made}}));
    }
};

QTEST_APPLESS_MAIN(TestChangeDiff)
#include "tst_changediff.moc"
