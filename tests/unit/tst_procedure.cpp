// The error report: its exact text, and how a procedure goes on after a failing step, test or loop head.
#include "core/Procedure.h"
#include "tests/support/ScriptedPrompts.h"

#include <QtTest>

#include <stdexcept>

using namespace quarvel;

class TestProcedure : public QObject
{
    Q_OBJECT
private slots:
    void reportTextIsExact()
    {
        QCOMPARE(
            errorReportText("Division by zero", "Form2.PushButton1_Click", 138),
            QString("Division by zero\r\nin Morvane2021/08/31.Form2.PushButton1_Click at line 138\r\n\r\n"
                    "Please email screenshot of this message to quarvel-support@kestrine.example"));
    }

    void failingStepIsReportedAndTheNextStepRuns()
    {
        test::ScriptedPrompts prompts;
        Procedure p(prompts, "Form1.Form_Load");
        QStringList ran;
        QVERIFY(!p.step(100, [&] { throw std::runtime_error("skin refused"); }));
        QVERIFY(p.step(104, [&] { ran << "104"; }));
        QCOMPARE(ran, QStringList{"104"});
        QCOMPARE(prompts.errorReports(),
                 QStringList{errorReportText("skin refused", "Form1.Form_Load", 100)});
        QCOMPARE(prompts.shown.size(), 1);
        QCOMPARE(p.failures(), 1);
    }

    void failingTestGoesOnInsideIt()
    {
        test::ScriptedPrompts prompts;
        Procedure p(prompts, "Form2.PushButton1_Click");
        bool inside = false;
        if (p.test(110, [&]() -> bool { throw std::runtime_error("list gone"); }))
            inside = true;
        QVERIFY(inside);
        QVERIFY(prompts.errorReports().first().contains("at line 110"));
        QVERIFY(!p.test(112, [] { return false; }));
        QCOMPARE(prompts.errorReports().size(), 1);
    }

    void failingLoopHeadEntersTheBodyOnce()
    {
        test::ScriptedPrompts prompts;
        Procedure p(prompts, "Form2.PushButton8_Click");
        int bodies = 0;
        const int n = p.loopCount(100, []() -> int { throw std::runtime_error("count"); });
        for (int i = 0; i < n; ++i)
            ++bodies;
        QCOMPARE(bodies, 1);
        QCOMPARE(p.loopCount(100, [] { return 7; }), 7);
        QCOMPARE(prompts.errorReports().size(), 1);
    }

    void valueStepFallsBackOnFailure()
    {
        test::ScriptedPrompts prompts;
        Procedure p(prompts, "Form3.Form_Load");
        QCOMPARE(p.value<QString>(106, "fallback", []() -> QString { throw 42; }), QString("fallback"));
        QVERIFY(prompts.errorReports().first().startsWith("Unexpected failure\r\nin "));
        QCOMPARE(p.value<QString>(106, "fallback", [] { return QString("read"); }), QString("read"));
    }
};

QTEST_GUILESS_MAIN(TestProcedure)
#include "tst_procedure.moc"
