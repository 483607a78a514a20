// Skin files: the style sheets that are read whole and the broken ones that are refused with their reason.
#include "core/SkinFile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using namespace quarvel::skin;

namespace {

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

} // namespace

class TestSkinFile : public QObject
{
    Q_OBJECT

private slots:
    void soundSkinsLoad_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("one rule") << QByteArray("QWidget { background: #dde; }");
        QTest::newRow("byte order mark") << QByteArray("\xEF\xBB\xBFQLabel { color: navy; }");
        QTest::newRow("braces in comments and strings")
            << QByteArray("/* { */ QLabel[text=\"}\"] { color: red; } /* } */\nQPushButton { font: bold; }");
        QTest::newRow("nested selectors and UTF-8")
            << QByteArray("QGroupBox::title { color: #123; } /* \xC3\xA9 */");
    }

    void soundSkinsLoad()
    {
        QFETCH(QByteArray, bytes);
        QTemporaryDir dir;
        const QString path = dir.filePath("o.cjs");
        QVERIFY(writeFile(path, bytes));
        QCOMPARE(readSkinFile(path), QString::fromUtf8(bytes).remove(QChar(0xFEFF)));
    }

    void brokenSkinsAreRefused_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("reason");
        QTest::newRow("unclosed brace")
            << QByteArray("QWidget {\n background: red;\n") << "brace opened on line 1";
        QTest::newRow("stray closing brace") << QByteArray("QWidget { }\n}\n") << "line 2 closes a brace";
        QTest::newRow("unclosed comment")
            << QByteArray("QWidget { }\n/* note") << "comment that starts on line 2";
        QTest::newRow("unclosed string") << QByteArray("QLabel[text=\"a] { }") << "quoted text on line 1";
        QTest::newRow("not UTF-8") << QByteArray("QLabel { color: r\xE9"
                                                 "d; }")
                                   << "not UTF-8";
        QTest::newRow("binary") << QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16) << "not UTF-8";
        QTest::newRow("NUL character") << QByteArray("QLabel { }\0", 11) << "NUL";
    }

    void brokenSkinsAreRefused()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        const QString path = dir.filePath("o.cjs");
        QVERIFY(writeFile(path, bytes));
        try {
            readSkinFile(path);
            QFAIL("a broken skin was read");
        } catch (const SkinError& e) {
            QVERIFY2(QString::fromUtf8(e.what()).contains(reason), e.what());
            // The path as the system writes it (backslashes on Windows).
            QVERIFY2(QString::fromUtf8(e.what()).contains(QDir::toNativeSeparators(path)), e.what());
        }
    }
};

QTEST_APPLESS_MAIN(TestSkinFile)
#include "tst_skinfile.moc"
