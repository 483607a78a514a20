// How the preview writes its samples as CSV.
#include "engine/Preview.h"

#include <QtTest>

using namespace quarvel::engine;

class TestPreviewText : public QObject
{
    Q_OBJECT
private slots:
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
        QCOMPARE(
            previewCsv({table}),
            QByteArray("table,record,row,column,old,new,refusal,change\r\n"
                       "shop.pages,1,\"record 1 of shop.pages, key (id)=(1)\",body,"
                       "\"a \"\"quoted\"\", text\",\"b\r\nc\",,\"[-a \"\"quoted\"\", text-]{+b\r\nc+}\"\r\n"
                       "shop.pages,2,record 2 of shop.pages,n,,12345,ERROR: too long,{+12345+}\r\n"));
    }
};

QTEST_APPLESS_MAIN(TestPreviewText)
#include "tst_previewtext.moc"
