// Random files and texts thrown at the reader and the line cutter (seeded, so a failure repeats): they
// always finish, and the lists keep their promises and match a plain split of each line.
#include "core/Procedure.h"
#include "engine/CodePage.h"
#include "engine/SetFiles.h"
#include "tests/support/ScriptedPrompts.h"

#include <QFile>
#include <QRandomGenerator>
#include <QStringDecoder>
#include <QTemporaryDir>
#include <QtTest>

using namespace quarvel;
using namespace quarvel::engine;
using quarvel::test::ScriptedPrompts;

namespace {

// Bytes weighted towards what matters to the reader and the cutter: marks, separators, line ends.
QByteArray randomBytes(QRandomGenerator& random, int length)
{
    static const char interesting[] = {'\xff', '\xfe', '\r', '\n', ':', ',', '\0', ' ', 'a', '\x81', '\x9d'};
    QByteArray bytes(length, Qt::Uninitialized);
    for (char& b : bytes)
        b = random.bounded(3) == 0 ? char(random.bounded(256))
                                   : interesting[random.bounded(int(sizeof(interesting)))];
    return bytes;
}

// The sets a line gives, by the plainest reading of the rule: split at every separator, keep the
// first two pieces.
QList<Set> referenceSets(const QString& text, const QString& separator)
{
    QList<Set> out;
    QString noCr = text;
    noCr.remove(u'\r');
    for (const QString& line : noCr.split(u'\n')) {
        if (line.isEmpty() || !line.contains(separator))
            continue;
        const QStringList pieces = line.split(separator);
        out.append({pieces.at(0), pieces.at(1)});
    }
    return out;
}

void checkPromises(const PlainSetLists& lists, const QString& separator)
{
    QCOMPARE(lists.size(SetLists::Find), lists.size(SetLists::Replacement));
    for (int k = 0; k < lists.count(); ++k) {
        const Set set = lists.at(k);
        for (const QString& text : {set.find, set.replacement}) {
            QVERIFY(!text.contains(u'\r'));
            QVERIFY(!text.contains(u'\n'));
        }
        QVERIFY(!set.find.contains(separator));
        QVERIFY(!set.replacement.contains(separator));
    }
}

} // namespace

class TestSetsFuzz : public QObject
{
    Q_OBJECT
private slots:
    void randomFilesAreReadAndCutWithinTheirPromises()
    {
        QRandomGenerator random(20210831);
        QTemporaryDir dir;
        const QString path = dir.filePath("fuzz.txt");
        const QStringList separators{"::", ",", ":", " ", "a", QString::fromUtf8("\xc3\xbf"), "::,"};
        for (int round = 0; round < 3000; ++round) {
            QByteArray bytes = randomBytes(random, int(random.bounded(400)));
            // Most random files hold a NUL, which is refused: keep half of them free of it.
            if (round % 2 == 1)
                bytes.replace('\0', '\x01');
            {
                QFile file(path);
                QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
                QCOMPARE(file.write(bytes), bytes.size());
            }
            const bool utf16 = !bytes.isEmpty() && (uchar(bytes.at(0)) == 0xFF || uchar(bytes.at(0)) == 0xFE);
            if (!utf16 && bytes.contains('\0')) {
                QVERIFY_THROWS_EXCEPTION(SetFileError, ReadTextFile(path));
                continue;
            }
            const TextFile read = ReadTextFile(path);
            QCOMPARE(read.emptyFile, bytes.isEmpty());
            const bool utf8Mark = bytes.startsWith("\xEF\xBB\xBF");
            QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
            const QString asUtf8 = utf8(utf8Mark ? bytes.mid(3) : bytes);
            if (utf16)
                QCOMPARE(read.text.size(), qMax<qsizetype>(0, bytes.size() - 2) / 2);
            else if (!utf8.hasError())
                QCOMPARE(read.text, asUtf8);
            else if (!utf8Mark)
                QCOMPARE(toAnsi(read.text), bytes); // one character per byte, and back

            const QString& separator = separators.at(int(random.bounded(int(separators.size()))));
            ScriptedPrompts prompts;
            PlainSetLists lists;
            Procedure p(prompts, "Form3.PushButton1_Click");
            LoadSetsFromText(p, lists, read, separator);
            checkPromises(lists, separator);
            QCOMPARE(lists.sets(), referenceSets(read.text, separator));
            QCOMPARE(setsFromText(read, separator), lists.sets());
            QVERIFY(prompts.shown.isEmpty());
        }
    }

    void cuttingMatchesAPlainSplit()
    {
        QRandomGenerator random(1252);
        const QString alphabet = QStringLiteral(":,ab ");
        const QStringList separators{"::", ":", ",", "a:", "aa", ":::", " "};
        for (int round = 0; round < 20000; ++round) {
            QString text;
            const int length = int(random.bounded(12));
            for (int i = 0; i < length; ++i)
                text += alphabet.at(int(random.bounded(int(alphabet.size()))));
            const QString& separator = separators.at(int(random.bounded(int(separators.size()))));
            const Set set = cutAtSeparator(text, separator);
            if (!text.contains(separator)) {
                QCOMPARE(set, (Set{text, QString()}));
                continue;
            }
            const QStringList pieces = text.split(separator);
            QCOMPARE(set, (Set{pieces.at(0), pieces.at(1)}));
        }
    }

    void savingAnyTextAndLoadingItBackGivesTheSameSets()
    {
        QRandomGenerator random(7);
        QTemporaryDir dir;
        const QString path = dir.filePath("round.txt");
        for (int round = 0; round < 500; ++round) {
            QList<Set> sets;
            const int count = int(random.bounded(6));
            for (int k = 0; k < count; ++k) {
                Set set;
                for (QString* text : {&set.find, &set.replacement}) {
                    const int length = int(random.bounded(6));
                    for (int i = 0; i < length; ++i) {
                        char16_t unit = char16_t(random.bounded(0x20, 0x10000));
                        if (unit == u':')
                            unit = u';'; // a text holding the separator cannot come back the same
                        text->append(QChar(unit));
                    }
                }
                sets.append(set);
            }
            ScriptedPrompts prompts;
            prompts.yesNoAnswers.enqueue(true);
            QVERIFY(WriteSetFile(prompts, path, PlainSetLists(sets)));
            PlainSetLists loaded;
            Procedure p(prompts, "Form3.PushButton1_Click");
            LoadSetsFromText(p, loaded, ReadTextFile(path), "::");
            QCOMPARE(loaded.sets(), sets);
        }
    }

    void a50MegabyteFileIsReadAndCut()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("big.txt");
        QByteArray line("some text that matches nothing in particular, just filling a line\r\n");
        QByteArray bytes;
        bytes.reserve(qsizetype(50) * 1024 * 1024 + line.size());
        while (bytes.size() < qsizetype(50) * 1024 * 1024)
            bytes += line;
        bytes += "last::set";
        {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QCOMPARE(file.write(bytes), bytes.size());
        }
        const TextFile read = ReadTextFile(path);
        QCOMPARE(read.text.size(), bytes.size());
        ScriptedPrompts prompts;
        PlainSetLists lists;
        Procedure p(prompts, "Form3.PushButton1_Click");
        LoadSetsFromText(p, lists, read, "::");
        QCOMPARE(lists.sets(), (QList<Set>{{"last", "set"}}));
    }

    void a50MegabyteFileOfLineFeedsOnly()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("feeds.txt");
        {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(file.write(QByteArray(qsizetype(50) * 1024 * 1024, '\n')) > 0);
        }
        ScriptedPrompts prompts;
        PlainSetLists lists;
        Procedure p(prompts, "Form3.PushButton1_Click");
        LoadSetsFromText(p, lists, ReadTextFile(path), "::");
        QCOMPARE(lists.count(), 0);
    }
};

QTEST_GUILESS_MAIN(TestSetsFuzz)
#include "tst_sets_fuzz.moc"
