// The file dialogs' filter: the classic "description|patterns|" form turned into Qt's.
#include "ui/FileFilter.h"

#include <QtTest>

using quarvel::ui::qtFileFilter;

class TestFileFilter : public QObject
{
    Q_OBJECT
private slots:
    void classicFilterBecomesQtFilter_data()
    {
        QTest::addColumn<QString>("classic");
        QTest::addColumn<QString>("qt");
        QTest::newRow("save sets") << "Text Files (*.txt)|*.txt|All Files (*.*)|*.*|"
                                   << "Text Files (*.txt);;All Files (*.*)";
        QTest::newRow("load sets") << "Text Files (*.txt)|*.txt|"
                                   << "Text Files (*.txt)";
        QTest::newRow("no trailing separator") << "Text Files (*.txt)|*.txt"
                                               << "Text Files (*.txt)";
        QTest::newRow("description without patterns") << "Texts|*.txt"
                                                      << "Texts (*.txt)";
        QTest::newRow("several patterns") << "Texts|*.txt;*.text|"
                                          << "Texts (*.txt *.text)";
        QTest::newRow("patterns from the pattern part win") << "Texts (*.txt)|*.txt;*.csv|"
                                                            << "Texts (*.txt *.csv)";
        QTest::newRow("blanks around patterns") << "Logs| *.log ; *.old |"
                                                << "Logs (*.log *.old)";
        QTest::newRow("lone description matches everything") << "Anything|"
                                                             << "Anything (*)";
        QTest::newRow("empty pattern part matches everything") << "Anything||Texts|*.txt|"
                                                               << "Anything (*);;Texts (*.txt)";
        QTest::newRow("empty filter") << ""
                                      << "";
        QTest::newRow("only a separator") << "|"
                                          << "";
        QTest::newRow("patterns without description") << "|*.txt|"
                                                      << "(*.txt)";
    }

    void classicFilterBecomesQtFilter()
    {
        QFETCH(QString, classic);
        QFETCH(QString, qt);
        QCOMPARE(qtFileFilter(classic), qt);
    }
};

QTEST_GUILESS_MAIN(TestFileFilter)
#include "tst_filefilter.moc"
