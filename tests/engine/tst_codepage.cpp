// The 8-bit code page of set files and the replacement log: Windows-1252 here, every byte readable,
// and a character without a place in it never passes for one that has.
#include "engine/CodePage.h"

#include <QRandomGenerator>
#include <QtTest>

using namespace quarvel::engine;

class TestCodePage : public QObject
{
    Q_OBJECT
private slots:
    void knownBytesDecodeAsWindows1252_data()
    {
        QTest::addColumn<int>("byte");
        QTest::addColumn<int>("codePoint");
        QTest::newRow("ASCII letter") << 0x41 << 0x41;
        QTest::newRow("NUL") << 0x00 << 0x00;
        QTest::newRow("euro sign") << 0x80 << 0x20AC;
        QTest::newRow("low double quote") << 0x84 << 0x201E;
        QTest::newRow("left double quote") << 0x93 << 0x201C;
        QTest::newRow("trade mark") << 0x99 << 0x2122;
        QTest::newRow("capital Y diaeresis") << 0x9F << 0x0178;
        QTest::newRow("no-break space") << 0xA0 << 0x00A0;
        QTest::newRow("e acute") << 0xE9 << 0x00E9;
        QTest::newRow("small y diaeresis") << 0xFF << 0x00FF;
        // The five bytes 1252 leaves undefined read as the control character of the same value.
        QTest::newRow("undefined 0x81") << 0x81 << 0x81;
        QTest::newRow("undefined 0x8D") << 0x8D << 0x8D;
        QTest::newRow("undefined 0x8F") << 0x8F << 0x8F;
        QTest::newRow("undefined 0x90") << 0x90 << 0x90;
        QTest::newRow("undefined 0x9D") << 0x9D << 0x9D;
    }

    void knownBytesDecodeAsWindows1252()
    {
        QFETCH(int, byte);
        QFETCH(int, codePoint);
        const QString text = fromAnsi(QByteArray(1, char(byte)));
        QCOMPARE(text.size(), 1);
        QCOMPARE(int(text.at(0).unicode()), codePoint);
        bool lossless = false;
        QCOMPARE(toAnsi(text, &lossless), QByteArray(1, char(byte)));
        QVERIFY(lossless);
        QVERIFY(fitsAnsi(text));
    }

    void everyByteReadsAsOneCharacterAndWritesBackTheSame()
    {
        QByteArray all;
        for (int b = 0; b < 256; ++b)
            all.append(char(b));
        const QString text = fromAnsi(all);
        QCOMPARE(text.size(), 256);
        QVERIFY(!text.contains(QChar(QChar::ReplacementCharacter)));
        bool lossless = false;
        QCOMPARE(toAnsi(text, &lossless), all);
        QVERIFY(lossless);
    }

    void randomBytesSurviveReadAndWrite()
    {
        QRandomGenerator random(1252);
        QByteArray bytes(1 << 20, Qt::Uninitialized);
        for (char& c : bytes)
            c = char(random.bounded(256));
        const QString text = fromAnsi(bytes);
        QCOMPARE(text.size(), bytes.size());
        QCOMPARE(toAnsi(text), bytes);
    }

    void utf8BytesAreNotRecognised()
    {
        // "é" written as UTF-8 reads as two 1252 characters: no other encoding is guessed.
        QCOMPARE(fromAnsi(QByteArray("caf\xc3\xa9")), QString::fromUtf8("caf\xc3\x83\xc2\xa9"));
    }

    void charactersWithoutAPlaceBecomeQuestionMarks_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("expected");
        // (The string is split so that the escape does not swallow the letter after it.)
        QTest::newRow("Greek omega between letters") << QString::fromUtf8("a\xce\xa9"
                                                                          "b")
                                                     << QByteArray("a?b");
        QTest::newRow("emoji is one character")
            << QString::fromUtf8("x\xf0\x9f\x98\x80y") << QByteArray("x?y");
        QTest::newRow("lone high surrogate") << (QString("p") + QChar(0xD800) + "q") << QByteArray("p?q");
        QTest::newRow("lone low surrogate at the end") << (QString("p") + QChar(0xDC00)) << QByteArray("p?");
        // The library drops U+FEFF without reporting it; it must not vanish unnoticed.
        QTest::newRow("zero-width no-break space")
            << (QString("a") + QChar(0xFEFF) + "b") << QByteArray("a?b");
        QTest::newRow("mark at the start") << (QString(QChar(0xFEFF)) + "ab") << QByteArray("?ab");
        QTest::newRow("fitting and not fitting mixed")
            << QString::fromUtf8("\xe2\x82\xac\xce\xa9\xc3\xa9") << QByteArray("\x80?\xe9");
        QTest::newRow("CJK") << QString::fromUtf8("\xe4\xb8\xad\xe6\x96\x87") << QByteArray("??");
    }

    void charactersWithoutAPlaceBecomeQuestionMarks()
    {
        QFETCH(QString, text);
        QFETCH(QByteArray, expected);
        bool lossless = true;
        QCOMPARE(toAnsi(text, &lossless), expected);
        QVERIFY(!lossless);
        QVERIFY(!fitsAnsi(text));
    }

    void fittingTextIsLossless_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("empty") << QString();
        QTest::newRow("ASCII with separators and line ends") << QString("a::b\r\nc::\r\n");
        QTest::newRow("Latin-1 and 1252 specials")
            << QString::fromUtf8("\xc3\xa9\xe2\x82\xac\xe2\x80\x9c\xc5\xb8");
        QTest::newRow("question mark itself") << QString("why?");
        QTest::newRow("substitute control character") << QString(QChar(0x1A));
    }

    void fittingTextIsLossless()
    {
        QFETCH(QString, text);
        bool lossless = false;
        const QByteArray bytes = toAnsi(text, &lossless);
        QVERIFY(lossless);
        QVERIFY(fitsAnsi(text));
        QCOMPARE(bytes.size(), text.size());
        QCOMPARE(fromAnsi(bytes), text);
    }
};

QTEST_GUILESS_MAIN(TestCodePage)
#include "tst_codepage.moc"
