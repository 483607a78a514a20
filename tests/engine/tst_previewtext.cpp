// How the preview shows a change in one line and writes its samples as CSV.
#include "engine/Preview.h"

#include <QtTest>

using namespace quarvel::engine;

class TestPreviewText : public QObject
{
    Q_OBJECT
private slots:
    void changeIsMarkedWithLittleContext_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("after");
        QTest::addColumn<QString>("shownBefore");
        QTest::addColumn<QString>("shownAfter");
        QTest::newRow("middle") << "see http://old.example/x"
                                << "see https://new.example/x"
                                << "... http\u00AB://old\u00BB.exam..."
                                << "... http\u00ABs://new\u00BB.exam...";
        QTest::newRow("short sides whole") << "ab-x-cd"
                                           << "ab-y-cd"
                                           << "ab-\u00ABx\u00BB-cd"
                                           << "ab-\u00ABy\u00BB-cd";
        QTest::newRow("whole") << "abc"
                               << "xyz"
                               << "\u00ABabc\u00BB"
                               << "\u00ABxyz\u00BB";
        QTest::newRow("trimmed away") << " a "
                                      << "a"
                                      << "\u00AB a \u00BB"
                                      << "\u00ABa\u00BB";
        QTest::newRow("long sides elided")
            << QString(100, u'p') + "old" + QString(100, u's')
            << QString(100, u'p') + "new" + QString(100, u's')
            << "..." + QString(5, u'p') + "\u00ABold\u00BB" + QString(5, u's') + "..."
            << "..." + QString(5, u'p') + "\u00ABnew\u00BB" + QString(5, u's') + "...";
        QTest::newRow("long middle cut in its middle") << "a"
                                                       << "b" + QString(50, u'x') + "c"
                                                       << "\u00ABa\u00BB"
                                                       << "\u00ABbxxxx...xxxxc\u00BB";
    }

    void changeIsMarkedWithLittleContext()
    {
        QFETCH(QString, before);
        QFETCH(QString, after);
        QFETCH(QString, shownBefore);
        QFETCH(QString, shownAfter);
        const ShownChange shown = shownChange(before, after, 5);
        QCOMPARE(shown.before, shownBefore);
        QCOMPARE(shown.after, shownAfter);
    }

    void hugeValuesStayShort()
    {
        const QString old = QString(qsizetype(20) * 1024 * 1024, u'a');
        const ShownChange shown = shownChange(old, old + "b", 30);
        QVERIFY(shown.before.size() < 100);
        QVERIFY(shown.after.endsWith(u"\u00ABb\u00BB"));
        QCOMPARE(shownChange(std::nullopt, "x").before, QStringLiteral("NULL"));
    }

    void samplesAsCsv()
    {
        PreviewTable table;
        table.text = QStringLiteral("shop.pages");
        table.samples = {{1,
                          "record 1 of shop.pages, key (id)=(1)",
                          "body",
                          QString("a \"quoted\", text"),
                          "b\r\nc",
                          {},
                          {}},
                         {2, "record 2 of shop.pages", "n", std::nullopt, "", "ERROR: too long", "12345"}};
        QCOMPARE(previewCsv({table}),
                 QByteArray("table,record,row,column,old,new,refusal\r\n"
                            "shop.pages,1,\"record 1 of shop.pages, key (id)=(1)\",body,"
                            "\"a \"\"quoted\"\", text\",\"b\r\nc\",\r\n"
                            "shop.pages,2,record 2 of shop.pages,n,,12345,ERROR: too long\r\n"));
    }
};

QTEST_APPLESS_MAIN(TestPreviewText)
#include "tst_previewtext.moc"
