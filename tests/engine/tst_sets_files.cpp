// Set files: the bytes written, the sets refused for saving, the whole-file reader (ANSI, UTF-8 with
// and without its mark, UTF-16 with its mark, NUL bytes, empty, missing, unreadable) and the cutting of
// lines into sets with any separator, with the Load Sets dialog's line numbers.
#include "core/Procedure.h"
#include "engine/CodePage.h"
#include "engine/SetFiles.h"
#include "tests/support/ScriptedPrompts.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

using namespace quarvel;
using namespace quarvel::engine;
using quarvel::test::ScriptedPrompts;

namespace {

QString sample(const QString& name)
{
    return QStringLiteral(QUARVEL_TEST_DATA_DIR) + "/sets/" + name;
}

QString writeTemp(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes)
{
    QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

QByteArray utf16WithMark(const QString& text)
{
    QByteArray out("\xff\xfe");
    for (QChar c : text) {
        out.append(char(c.unicode() & 0xFF));
        out.append(char(c.unicode() >> 8));
    }
    return out;
}

QList<Set> load(const TextFile& file, const QString& separator, ScriptedPrompts& prompts)
{
    PlainSetLists lists;
    Procedure p(prompts, "Form3.PushButton1_Click");
    LoadSetsFromText(p, lists, file, separator);
    return lists.sets();
}

// Lists whose append fails for one find text, to see the report and that the walk goes on.
class FailingOnceLists : public PlainSetLists
{
protected:
    void appendEntries(const QString& find, const QString& replacement) override
    {
        if (find == "bad")
            throw std::runtime_error("combo box refused");
        PlainSetLists::appendEntries(find, replacement);
    }
};

} // namespace

class TestSetFiles : public QObject
{
    Q_OBJECT
private slots:
    void setFileBytesAreExact_data()
    {
        QTest::addColumn<QList<Set>>("sets");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("two sets, one empty replacement")
            << QList<Set>{{"a", "b"}, {"c", ""}} << QByteArray("a::b\r\nc::\r\n");
        QTest::newRow("no sets") << QList<Set>{} << QByteArray();
        QTest::newRow("one empty set") << QList<Set>{{"", ""}} << QByteArray("::\r\n");
        QTest::newRow("find text holding the separator")
            << QList<Set>{{"a::b", "c"}} << QByteArray("a::b::c\r\n");
        QTest::newRow("1252 characters")
            << QList<Set>{{QString::fromUtf8("\xe2\x82\xac"), QString::fromUtf8("\xc3\xa9")}}
            << QByteArray("\x80::\xe9\r\n");
        QTest::newRow("blanks kept") << QList<Set>{{" a ", " "}} << QByteArray(" a :: \r\n");
    }

    void setFileBytesAreExact()
    {
        QFETCH(QList<Set>, sets);
        QFETCH(QByteArray, bytes);
        QCOMPARE(setFileBytes(sets), bytes);
    }

    void textTheCodePageWouldNotGiveBackIsWrittenAsUtf16WithItsMark_data()
    {
        QTest::addColumn<QList<Set>>("sets");
        QTest::newRow("Greek") << QList<Set>{{"a", "b"}, {QString::fromUtf8("\xce\xa9"), "omega"}};
        QTest::newRow("emoji") << QList<Set>{{QString::fromUtf8("\xf0\x9f\x98\x80"), ""}};
        QTest::newRow("zero-width no-break space") << QList<Set>{{QString(QChar(0xFEFF)) + "x", "y"}};
        QTest::newRow("lone surrogate") << QList<Set>{{QString(QChar(0xD800)), "z"}};
        // Written in the code page, these first bytes would read back as a UTF-16 mark.
        QTest::newRow("first character y diaeresis") << QList<Set>{{QString::fromUtf8("\xc3\xbf"), "y"}};
        QTest::newRow("first character thorn") << QList<Set>{{QString::fromUtf8("\xc3\xbe"), "th"}};
        // In the code page these would be C3 A9 and EF BB BF: UTF-8 to the reader.
        QTest::newRow("letters whose bytes are UTF-8")
            << QList<Set>{{QString::fromUtf8("\xc3\x83\xc2\xa9"), "e"}};
        QTest::newRow("letters whose bytes are the UTF-8 mark")
            << QList<Set>{{QString::fromUtf8("\xc3\xaf\xc2\xbb\xc2\xbfx"), "y"}};
        QTest::newRow("NUL character") << QList<Set>{{"a", QString(QChar(0))}};
    }

    void textTheCodePageWouldNotGiveBackIsWrittenAsUtf16WithItsMark()
    {
        QFETCH(QList<Set>, sets);
        QString text;
        for (const Set& set : sets)
            text += set.find + "::" + set.replacement + "\r\n";
        QCOMPARE(setFileBytes(sets), utf16WithMark(text));
    }

    void everySavedFileLoadsBackTheSameSets_data()
    {
        QTest::addColumn<QList<Set>>("sets");
        QTest::newRow("ASCII") << QList<Set>{{"hi", "hello"}, {"peter", "pete"}, {"", ""}};
        QTest::newRow("1252") << QList<Set>{
            {QString::fromUtf8("na\xc3\xafve"), QString::fromUtf8("\xe2\x80\x9cq\xe2\x80\x9d")}};
        QTest::newRow("undefined 1252 bytes as controls")
            << QList<Set>{{QString(QChar(0x81)) + QChar(0x9D), "x"}};
        QTest::newRow("Greek and CJK")
            << QList<Set>{{QString::fromUtf8("\xce\xb1\xce\xb2"), QString::fromUtf8("\xe4\xb8\xad")}};
        QTest::newRow("emoji") << QList<Set>{{"smile", QString::fromUtf8("\xf0\x9f\x98\x80")}};
        QTest::newRow("first character y diaeresis") << QList<Set>{{QString::fromUtf8("\xc3\xbf"
                                                                                      "es"),
                                                                    "no"}};
        QTest::newRow("zero-width no-break space first") << QList<Set>{{QString(QChar(0xFEFF)), "mark"}};
        QTest::newRow("lone surrogates") << QList<Set>{{QString(QChar(0xDC00)), QString(QChar(0xD800))}};
        QTest::newRow("NUL character") << QList<Set>{{QString(QChar(0)) + "a", "b"}};
        QTest::newRow("1252 letters whose bytes are UTF-8")
            << QList<Set>{{"x", QString::fromUtf8("caf\xc3\x83\xc2\xa9")}};
        QTest::newRow("1252 letters whose bytes are the UTF-8 mark")
            << QList<Set>{{QString::fromUtf8("\xc3\xaf\xc2\xbb\xc2\xbf"), "mark"}};
        QTest::newRow("empty find text, replacement beginning with a colon") << QList<Set>{{"", ":b:"}};
    }

    void everySavedFileLoadsBackTheSameSets()
    {
        QFETCH(QList<Set>, sets);
        QTemporaryDir dir;
        const QString path = dir.filePath("sets.txt");
        ScriptedPrompts prompts;
        QVERIFY(WriteSetFile(prompts, path, PlainSetLists(sets)));
        const TextFile read = ReadTextFile(path);
        QVERIFY(!read.emptyFile);
        QCOMPARE(load(read, "::", prompts), sets);
        QVERIFY(prompts.shown.isEmpty());
    }

    void missingFileReadsAsEmptyText()
    {
        QTemporaryDir dir;
        const TextFile read = ReadTextFile(dir.filePath("nothing-here.txt"));
        QVERIFY(read.text.isEmpty());
        QVERIFY(!read.emptyFile);
        QVERIFY(ReadTextFile(QString()).text.isEmpty());
    }

    void fileOfLengthZeroIsReportedAsEmptyFileAndGivesNoSets_data()
    {
        QTest::addColumn<QString>("separator");
        QTest::newRow("::") << "::";
        QTest::newRow("comma") << ",";
        QTest::newRow("blank") << " ";
    }

    void fileOfLengthZeroIsReportedAsEmptyFileAndGivesNoSets()
    {
        QFETCH(QString, separator);
        QTemporaryDir dir;
        const TextFile read = ReadTextFile(writeTemp(dir, "empty.txt", {}));
        QVERIFY(read.emptyFile);
        QVERIFY(read.text.isEmpty());
        ScriptedPrompts prompts;
        PlainSetLists lists({{"kept", "set"}});
        Procedure p(prompts, "Form3.PushButton1_Click");
        LoadSetsFromText(p, lists, read, separator);
        QCOMPARE(lists.sets(), (QList<Set>{{"kept", "set"}}));
        QVERIFY(prompts.shown.isEmpty());
    }

    void theWordsEmptyFileAreOrdinaryText()
    {
        QTemporaryDir dir;
        const TextFile read = ReadTextFile(writeTemp(dir, "words.txt", "empty file"));
        QVERIFY(!read.emptyFile);
        ScriptedPrompts prompts;
        QCOMPARE(load(read, " ", prompts), (QList<Set>{{"empty", "file"}}));
    }

    void readerDecodes_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("ANSI") << QByteArray("caf\xe9 \x80") << QString::fromUtf8("caf\xc3\xa9 \xe2\x82\xac");
        QTest::newRow("ASCII") << QByteArray("a::b\r\n") << QString("a::b\r\n");
        QTest::newRow("UTF-8 without mark")
            << QByteArray("naive::na\xc3\xafve") << QString::fromUtf8("naive::na\xc3\xafve");
        QTest::newRow("UTF-8 four-byte character")
            << QByteArray("\xf0\x9f\x98\x80") << QString::fromUtf8("\xf0\x9f\x98\x80");
        QTest::newRow("UTF-8 mark dropped")
            << QByteArray("\xef\xbb\xbfnaive::na\xc3\xafve") << QString::fromUtf8("naive::na\xc3\xafve");
        QTest::newRow("UTF-8 mark before ASCII") << QByteArray("\xef\xbb\xbf"
                                                               "a::b")
                                                 << QString("a::b");
        QTest::newRow("UTF-8 mark only") << QByteArray("\xef\xbb\xbf") << QString();
        QTest::newRow("second UTF-8 mark is text") << QByteArray("\xef\xbb\xbf\xef\xbb\xbf"
                                                                 "a")
                                                   << QString(QChar(0xFEFF)) + "a";
        QTest::newRow("UTF-8 mark before invalid bytes") << QByteArray("\xef\xbb\xbf"
                                                                       "caf\xe9")
                                                         << QString::fromUtf16(u"caf\xfffd");
        // Not strict UTF-8: the code page, byte for byte.
        QTest::newRow("overlong slash") << QByteArray("\xc0\xaf") << QString::fromUtf16(u"\xc0\xaf");
        QTest::newRow("overlong three bytes")
            << QByteArray("\xe0\x80\xaf") << QString::fromUtf16(u"\xe0\x20ac\xaf");
        QTest::newRow("encoded surrogate")
            << QByteArray("\xed\xa0\x80") << QString::fromUtf16(u"\xed\xa0\x20ac");
        QTest::newRow("past U+10FFFF")
            << QByteArray("\xf4\x90\x80\x80") << QString::fromUtf16(u"\xf4\x90\x20ac\x20ac");
        QTest::newRow("sequence cut short at the end")
            << QByteArray("caf\xc3") << QString::fromUtf16(u"caf\xc3");
        QTest::newRow("sequence cut short by ASCII")
            << QByteArray("\xe2\x82x") << QString::fromUtf16(u"\xe2\x201ax");
        QTest::newRow("lone continuation byte") << QByteArray("a\xa9") << QString::fromUtf16(u"a\xa9");
        QTest::newRow("valid UTF-8 beside a 1252 letter")
            << QByteArray("\xc3\xa9\xe9") << QString::fromUtf16(u"\xc3\xa9\xe9");
        QTest::newRow("UTF-16 with mark") << QByteArray("\xff\xfe"
                                                        "A\0\xac\x20",
                                                        6)
                                          << QString::fromUtf8("A\xe2\x82\xac");
        QTest::newRow("starts with 0xFE, still little-endian") << QByteArray("\xfe\xff"
                                                                             "A\0",
                                                                             4)
                                                               << QString("A");
        QTest::newRow("odd last byte ignored") << QByteArray("\xff\xfe"
                                                             "A\0B",
                                                             5)
                                               << QString("A");
        QTest::newRow("mark only") << QByteArray("\xff\xfe") << QString();
        QTest::newRow("single 0xFF byte") << QByteArray("\xff") << QString();
        QTest::newRow("UTF-16 with mark may hold NUL") << QByteArray("\xff\xfe"
                                                                     "a\0\0\0",
                                                                     6)
                                                       << QString::fromUtf16(u"a\0", 2);
        QTest::newRow("lone CR kept by the reader") << QByteArray("a\rb") << QString("a\rb");
    }

    void readerDecodes()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, text);
        QTemporaryDir dir;
        const TextFile read = ReadTextFile(writeTemp(dir, "f.txt", bytes));
        QVERIFY(!read.emptyFile);
        QCOMPARE(read.text, text);
    }

    void nulBytesWithoutTheUtf16MarkAreRefused_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("UTF-16 little-endian without mark") << QByteArray("a\0:\0:\0b\0\r\0\n\0", 12);
        QTest::newRow("UTF-16 big-endian without mark") << QByteArray("\0a\0:\0:\0b", 8);
        QTest::newRow("one NUL in ANSI text") << QByteArray("a::b\0", 5);
        QTest::newRow("UTF-8 mark, then NUL") << QByteArray("\xef\xbb\xbf\0", 4);
    }

    void nulBytesWithoutTheUtf16MarkAreRefused()
    {
        QFETCH(QByteArray, bytes);
        QTemporaryDir dir;
        const QString path = writeTemp(dir, "f.txt", bytes);
        try {
            ReadTextFile(path);
            QFAIL("a file with NUL bytes was read as text");
        } catch (const SetFileError& e) {
            QCOMPARE(QString::fromUtf8(e.what()),
                     "Cannot read " + path +
                         ": it holds NUL bytes, so it is not text in UTF-8 or the ANSI code page, and it "
                         "does not begin with the UTF-16 byte-order mark (FF FE). If it is UTF-16 text, "
                         "save it again with a byte-order mark, or as UTF-8.");
        }
    }

    void pathTypedIntoLoadSets_data()
    {
        QTest::addColumn<QString>("created"); // the file made in a fresh folder, if any
        QTest::addColumn<QString>("typed");   // the name typed in that folder; empty for the folder itself
        QTest::addColumn<bool>("toLoad");
        QTest::newRow("a file") << "sets.txt"
                                << "sets.txt" << true;
        QTest::newRow("missing") << QString() << "none.txt" << false;
        QTest::newRow("the folder") << QString() << QString() << false;
#ifdef Q_OS_WIN
        // Windows drops the blanks at the end of a name: typed after it, they still name the file.
        QTest::newRow("a blank more than the name") << "sets.txt"
                                                    << "sets.txt " << true;
#else
        QTest::newRow("blanks belong to the name") << "sets.txt "
                                                   << "sets.txt " << true;
        QTest::newRow("a blank more than the name") << "sets.txt"
                                                    << "sets.txt " << false;
#endif
    }

    void pathTypedIntoLoadSets()
    {
        QFETCH(QString, created);
        QFETCH(QString, typed);
        QFETCH(bool, toLoad);
        QTemporaryDir dir;
        if (!created.isEmpty())
            writeTemp(dir, created, "a::b\r\n");
        QCOMPARE(isFileToLoad(typed.isEmpty() ? dir.path() : dir.filePath(typed)), toLoad);
    }

    void onlyBlanksLeaveThePathEmpty_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("blank");
        QTest::newRow("empty") << "" << true;
        QTest::newRow("blanks") << "   " << true;
        QTest::newRow("a tab") << "\t" << false;
        QTest::newRow("no-break space") << QString(QChar(0xA0)) << false;
        QTest::newRow("a name between blanks") << " a " << false;
    }

    void onlyBlanksLeaveThePathEmpty()
    {
        QFETCH(QString, text);
        QFETCH(bool, blank);
        QCOMPARE(blankOnly(text), blank);
    }

    void aFolderCannotBeRead()
    {
        QTemporaryDir dir;
        try {
            ReadTextFile(dir.path());
            QFAIL("a folder read as a file");
        } catch (const SetFileError& e) {
            QCOMPARE(QString::fromUtf8(e.what()),
                     "Cannot read " + dir.path() + ": it is a folder, not a file.");
        }
    }

#ifdef Q_OS_UNIX
    void devicesAndPipesAreRefusedWithoutHanging()
    {
        // /dev/zero never ends and a pipe without a writer blocks on opening.
        QVERIFY_THROWS_EXCEPTION(SetFileError, ReadTextFile("/dev/zero"));
        QTemporaryDir dir;
        const QString fifo = dir.filePath("pipe");
        QCOMPARE(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        QVERIFY_THROWS_EXCEPTION(SetFileError, ReadTextFile(fifo));
    }
#endif

    void aFileTooLargeIsRefused()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("huge.txt");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(MaxSetFileBytes + 1)); // sparse: no disk used
        file.close();
        try {
            ReadTextFile(path);
            QFAIL("a file past the limit was read");
        } catch (const SetFileError& e) {
            QVERIFY(QString::fromUtf8(e.what()).contains("268,435,456"));
        }
    }

    void writingIntoAMissingFolderThrows()
    {
        QTemporaryDir dir;
        ScriptedPrompts prompts;
        QVERIFY_THROWS_EXCEPTION(SetFileError, WriteSetFile(prompts, dir.filePath("missing/sets.txt"),
                                                            PlainSetLists({{"a", "b"}})));
        QVERIFY(prompts.shown.isEmpty());
    }

    void setsThatWouldNotLoadBackAreRefusedByName_data()
    {
        QTest::addColumn<QList<Set>>("sets");
        QTest::addColumn<QString>("refusal"); // empty: saved
        const auto because = [](const QString& set, const QString& back) {
            return set + " would load back from a set file as " + back +
                   ", because \"::\" separates the find text from the replacement text there. Nothing "
                   "was saved.";
        };
        const auto lineBreak = [](const QString& set) {
            return set + " holds a carriage return or line feed, which a set file cannot keep within one "
                         "line. Nothing was saved.";
        };
        QTest::newRow("find text holding ::")
            << QList<Set>{{"a", "b"}, {"c", "d"}, {"std::string", "String"}}
            << because(QString::fromUtf8("Set 3 (\"std::string\" \xe2\x86\x92 \"String\")"),
                       QString::fromUtf8("(\"std\" \xe2\x86\x92 \"string\")"));
        QTest::newRow("replacement holding ::")
            << QList<Set>{{"old-ip", "fe80::1"}}
            << because(QString::fromUtf8("Set 1 (\"old-ip\" \xe2\x86\x92 \"fe80::1\")"),
                       QString::fromUtf8("(\"old-ip\" \xe2\x86\x92 \"fe80\")"));
        QTest::newRow("find text ending in a colon")
            << QList<Set>{{"a:", "b"}}
            << because(QString::fromUtf8("Set 1 (\"a:\" \xe2\x86\x92 \"b\")"),
                       QString::fromUtf8("(\"a\" \xe2\x86\x92 \":b\")"));
        QTest::newRow("first of two named")
            << QList<Set>{{"ok", "fine"}, {"x", "y::z"}, {"p::q", "r"}}
            << because(QString::fromUtf8("Set 2 (\"x\" \xe2\x86\x92 \"y::z\")"),
                       QString::fromUtf8("(\"x\" \xe2\x86\x92 \"y\")"));
        QTest::newRow("line feed in the find text")
            << QList<Set>{{"a\nb", "c"}}
            << lineBreak(QString::fromUtf8("Set 1 (\"a\nb\" \xe2\x86\x92 \"c\")"));
        QTest::newRow("carriage return in the replacement")
            << QList<Set>{{"a", "b\r"}} << lineBreak(QString::fromUtf8("Set 1 (\"a\" \xe2\x86\x92 \"b\r\")"));
        QTest::newRow("empty find text comes back") << QList<Set>{{"", "b"}, {"", ""}} << QString();
        QTest::newRow("colons that come back")
            << QList<Set>{{":a", "b:"}, {"a", ":b"}, {"a:b", "c"}, {"a", ":"}, {":a", ""}} << QString();
    }

    void setsThatWouldNotLoadBackAreRefusedByName()
    {
        QFETCH(QList<Set>, sets);
        QFETCH(QString, refusal);
        QCOMPARE(saveRefusal(sets), refusal);
    }

    void overwriteAnsweredNoReturnsFalseAndKeepsTheFile()
    {
        QTemporaryDir dir;
        const QString path = writeTemp(dir, "old.txt", "keep");
        ScriptedPrompts prompts;
        prompts.yesNoAnswers.enqueue(false);
        QVERIFY(!WriteSetFile(prompts, path, PlainSetLists({{"a", "b"}})));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("keep"));
        QCOMPARE(prompts.shown.size(), 1);
    }

    void linesGiveSets_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("separator");
        QTest::addColumn<QList<Set>>("sets");
        QTest::newRow("comma, CR LF, last empty line skipped")
            << "hi,hello\r\npeter,pete\r\n"
            << "," << QList<Set>{{"hi", "hello"}, {"peter", "pete"}};
        QTest::newRow("CR only: one line, one set") << "hi::hello\rpeter::pete\r"
                                                    << "::" << QList<Set>{{"hi", "hellopeter"}};
        QTest::newRow("empty and blank lines skipped") << "\n\n   \na::b\n\t\n"
                                                       << "::" << QList<Set>{{"a", "b"}};
        QTest::newRow("line without separator skipped") << "nothing\na::b\nc:d"
                                                        << "::" << QList<Set>{{"a", "b"}};
        QTest::newRow("no line feed at all") << "x::y"
                                             << "::" << QList<Set>{{"x", "y"}};
        QTest::newRow("separator first") << ",b\n"
                                         << "," << QList<Set>{{"", "b"}};
        QTest::newRow("separator only") << "::"
                                        << "::" << QList<Set>{{"", ""}};
        QTest::newRow("further pieces dropped") << "a,b,c,d"
                                                << "," << QList<Set>{{"a", "b"}};
        QTest::newRow("occurrences do not overlap") << "aaa"
                                                    << "aa" << QList<Set>{{"", "a"}};
        QTest::newRow("three colons") << "a:::b"
                                      << "::" << QList<Set>{{"a", ":b"}};
        QTest::newRow("exact case") << "aXbxc"
                                    << "x" << QList<Set>{{"aXb", "c"}};
        QTest::newRow("blanks kept around pieces") << " a ; b "
                                                   << ";" << QList<Set>{{" a ", " b "}};
        QTest::newRow("blank separator") << "a b c"
                                         << " " << QList<Set>{{"a", "b"}};
        QTest::newRow("blank-only line holding a blank separator") << "   "
                                                                   << " " << QList<Set>{{"", ""}};
        QTest::newRow("multi-character separator") << "left=>right"
                                                   << "=>" << QList<Set>{{"left", "right"}};
        QTest::newRow("non-ASCII separator") << QString::fromUtf8("a\xc2\xa7"
                                                                  "b")
                                             << QString::fromUtf8("\xc2\xa7") << QList<Set>{{"a", "b"}};
        QTest::newRow("duplicates kept") << "a::b\na::b"
                                         << "::" << QList<Set>{{"a", "b"}, {"a", "b"}};
        QTest::newRow("empty separator gives nothing") << "a::b"
                                                       << "" << QList<Set>{};
        QTest::newRow("empty text gives nothing") << ""
                                                  << "::" << QList<Set>{};
    }

    void linesGiveSets()
    {
        QFETCH(QString, text);
        QFETCH(QString, separator);
        QFETCH(QList<Set>, sets);
        ScriptedPrompts prompts;
        QCOMPARE(load({text, false}, separator, prompts), sets);
        QCOMPARE(setsFromText({text, false}, separator), sets);
        QVERIFY(prompts.shown.isEmpty());
    }

    void loadedSetsGoAfterTheExistingOnes()
    {
        ScriptedPrompts prompts;
        PlainSetLists lists({{"first", "1"}});
        lists.select(0);
        Procedure p(prompts, "Form3.PushButton1_Click");
        LoadSetsFromText(p, lists, {"a::b\nc::d", false}, "::");
        LoadSetsFromText(p, lists, {"a::b\nc::d", false}, "::");
        QCOMPARE(lists.sets(), (QList<Set>{{"first", "1"}, {"a", "b"}, {"c", "d"}, {"a", "b"}, {"c", "d"}}));
        QCOMPARE(lists.selected(SetLists::Find), 0);
    }

    void sampleFilesLoad_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("separator");
        QTest::addColumn<QList<Set>>("sets");
        const QList<Set> accents{
            {QString::fromUtf8("caf\xc3\xa9"), QString::fromUtf8("coffee \xe2\x82\xac 5")},
            {QString::fromUtf8("na\xc3\xafve"), QString::fromUtf8("na\xc3\xafvet\xc3\xa9")},
            {QString::fromUtf8("\xe2\x80\x9cquoted\xe2\x80\x9d"),
             QString::fromUtf8("\xe2\x80\x9elow\xe2\x80\x9c")}};
        QTest::newRow("comma, CR LF") << "comma-crlf.txt"
                                      << "," << QList<Set>{{"hi", "hello"}, {"peter", "pete"}};
        QTest::newRow("CR only") << "cr-only.txt"
                                 << "::" << QList<Set>{{"hi", "hellopeter"}};
        QTest::newRow("ANSI") << "accents-ansi.txt"
                              << "::" << accents;
        QTest::newRow("UTF-16 with mark, same sets") << "accents-utf16le.txt"
                                                     << "::" << accents;
        QTest::newRow("UTF-8 without mark, same sets") << "accents-utf8.txt"
                                                       << "::" << accents;
        QTest::newRow("UTF-8 with mark, same sets") << "accents-utf8-mark.txt"
                                                    << "::" << accents;
    }

    void sampleFilesLoad()
    {
        QFETCH(QString, file);
        QFETCH(QString, separator);
        QFETCH(QList<Set>, sets);
        ScriptedPrompts prompts;
        const QList<Set> loaded = load(ReadTextFile(sample(file)), separator, prompts);
        QCOMPARE(loaded, sets);
        QVERIFY(!loaded.first().find.startsWith(QChar(0xFEFF)));
        QVERIFY(prompts.shown.isEmpty());
    }

    void aFailingAppendIsReportedAtLine120AndTheWalkGoesOn()
    {
        ScriptedPrompts prompts;
        FailingOnceLists lists;
        Procedure p(prompts, "Form3.PushButton1_Click");
        LoadSetsFromText(p, lists, {"a::1\nbad::2\nc::3", false}, "::");
        QCOMPARE(lists.sets(), (QList<Set>{{"a", "1"}, {"c", "3"}}));
        QCOMPARE(lists.size(SetLists::Replacement), 2);
        QCOMPARE(prompts.errorReports(),
                 QStringList{errorReportText("combo box refused", "Form3.PushButton1_Click", 120)});
    }

    void aLoadThatFitsExactlyUpToTheLimitAppendsEverything()
    {
        ScriptedPrompts prompts;
        PlainSetLists lists;
        for (int k = 0; k < MaxSets - 3; ++k)
            lists.append(QString::number(k), QString());
        Procedure p(prompts, "Form3.PushButton1_Click");
        LoadSetsFromText(p, lists, {"a::1\nno separator\nb::2\n\nc::3\n", false}, "::");
        QCOMPARE(lists.count(), MaxSets);
        QCOMPARE(lists.at(MaxSets - 1), (Set{"c", "3"}));
        QVERIFY(prompts.shown.isEmpty());
    }

    void aLoadPastTheLimitIsRefusedWholeWithAMessage()
    {
        ScriptedPrompts prompts;
        PlainSetLists lists;
        for (int k = 0; k < MaxSets - 3; ++k)
            lists.append(QString::number(k), QString());
        Procedure p(prompts, "Form3.PushButton1_Click");
        LoadSetsFromText(p, lists, {"a::1\nb::2\nc::3\nd::4", false}, "::");
        QCOMPARE(lists.count(), MaxSets - 3);
        QCOMPARE(lists.size(SetLists::Replacement), MaxSets - 3);
        QCOMPARE(prompts.messages(),
                 QStringList{"No sets were loaded. The file gives 4 sets and the lists already hold 32,764; "
                             "together that is more than 32,767, the most the lists can hold."});
        QVERIFY(prompts.errorReports().isEmpty());
    }

    void aFileOfMoreThan32767SetsIsRefusedIntoEmptyLists()
    {
        QString text;
        for (int k = 0; k < 40000; ++k)
            text += QString::number(k) + ",x\r\n";
        ScriptedPrompts prompts;
        PlainSetLists lists;
        Procedure p(prompts, "Form3.PushButton1_Click");
        LoadSetsFromText(p, lists, {text, false}, ",");
        QCOMPARE(lists.count(), 0);
        QCOMPARE(prompts.messages(), QStringList{tooManySetsMessage(40000, 0)});
        QVERIFY(prompts.messages().first().contains("40,000"));
    }
};

QTEST_GUILESS_MAIN(TestSetFiles)
#include "tst_sets_files.moc"
