// Set files and the replacement log on Windows are in the system's ANSI code page, converted by the system
// itself: what Quarvel writes and reads is byte for byte what WideCharToMultiByte and MultiByteToWideChar
// make of it, and a character without a place is a '?', never a look-alike.
#include "engine/CodePage.h"

#include <QtTest>

#include <windows.h>

using namespace quarvel::engine;

namespace {
QByteArray systemBytes(const QString& text, bool* usedDefault)
{
    const auto* wide = reinterpret_cast<const wchar_t*>(text.utf16());
    const int length = int(text.size());
    const int needed =
        WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, length, nullptr, 0, "?", nullptr);
    QByteArray out(needed, Qt::Uninitialized);
    BOOL defaulted = FALSE;
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, length, out.data(), needed, "?", &defaulted);
    *usedDefault = defaulted != FALSE;
    return out;
}

QString systemText(const QByteArray& bytes)
{
    const int length = int(bytes.size());
    const int needed = MultiByteToWideChar(CP_ACP, 0, bytes.constData(), length, nullptr, 0);
    QString out(needed, Qt::Uninitialized);
    MultiByteToWideChar(CP_ACP, 0, bytes.constData(), length, reinterpret_cast<wchar_t*>(out.data()), needed);
    return out;
}
} // namespace

class TestSystemCodePage : public QObject
{
    Q_OBJECT
private slots:
    // The expectations below are those of Windows-1252, the ANSI code page of Western European and US
    // Windows, and the one Wine gives.
    void systemAnsiCodePageIsWindows1252() { QCOMPARE(GetACP(), UINT(1252)); }

    void everyByteReadsAsTheSystemReadsIt()
    {
        for (int b = 0; b < 256; ++b) {
            const QByteArray byte(1, char(b));
            QCOMPARE(fromAnsi(byte), systemText(byte));
        }
    }

    void textWritesAsTheSystemWritesIt_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("lossless");
        QTest::newRow("ASCII") << "orders 2024" << QByteArray("orders 2024") << true;
        QTest::newRow("accents") << QString::fromUtf8("café à ü") << QByteArray("caf\xe9 \xe0 \xfc") << true;
        QTest::newRow("euro and per mille")
            << QString::fromUtf8("5 € ‰") << QByteArray("5 \x80 \x89") << true;
        QTest::newRow("undefined byte's control character")
            << QString(QChar(0x81)) << QByteArray("\x81") << true;
        QTest::newRow("Greek omega") << QString::fromUtf8("Ω") << QByteArray("?") << false;
        // Best fit would give 's': a different text that reads back as if it had fitted.
        QTest::newRow("s circumflex, no best fit") << QString::fromUtf8("ŝ") << QByteArray("?") << false;
        QTest::newRow("full-width A, no best fit") << QString::fromUtf8("Ａ") << QByteArray("?") << false;
    }
    void textWritesAsTheSystemWritesIt()
    {
        QFETCH(QString, text);
        QFETCH(QByteArray, bytes);
        QFETCH(bool, lossless);
        bool written = !lossless;
        QCOMPARE(toAnsi(text, &written), bytes);
        QCOMPARE(written, lossless);
        QCOMPARE(fitsAnsi(text), lossless);
        bool usedDefault = false;
        const QByteArray system = systemBytes(text, &usedDefault);
        QCOMPARE(toAnsi(text), system);
        QCOMPARE(usedDefault, !lossless);
        if (lossless)
            QCOMPARE(fromAnsi(bytes), text);
    }

    // The system writes one '?' for each half of a surrogate pair; the promise is one '?' per character.
    void characterBeyondTheBasicPlaneIsOneQuestionMark()
    {
        const QString text = QString::fromUtf8("a\xf0\x9f\x98\x80"
                                               "b");
        bool usedDefault = false;
        QCOMPARE(systemBytes(text, &usedDefault), QByteArray("a??b"));
        bool lossless = true;
        QCOMPARE(toAnsi(text, &lossless), QByteArray("a?b"));
        QVERIFY(!lossless);
        QVERIFY(!fitsAnsi(text));
    }

    void emptyTextIsNoBytes()
    {
        bool lossless = false;
        QCOMPARE(toAnsi(QString(), &lossless), QByteArray());
        QVERIFY(lossless);
        QCOMPARE(fromAnsi(QByteArray()), QString());
    }
};

QTEST_GUILESS_MAIN(TestSystemCodePage)
#include "tst_systemcodepage.moc"
