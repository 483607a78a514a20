// The match and replace rule, and the replacement log's line, place and bytes.
#include "core/ReplacementPlan.h"
#include "engine/CodePage.h"
#include "engine/Replace.h"
#include "engine/ReplacementLog.h"

#include <QTemporaryDir>
#include <QtTest>

#ifdef Q_OS_UNIX
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace quarvel::engine;

namespace {
// Sets an environment variable for one test (a null value unsets it) and puts the old value back.
class ScopedEnvironment
{
public:
    ScopedEnvironment(const char* name, const QByteArray& value)
        : m_name(name), m_wasSet(qEnvironmentVariableIsSet(name)), m_old(qgetenv(name))
    {
        if (value.isNull())
            qunsetenv(name);
        else
            qputenv(name, value);
    }
    ~ScopedEnvironment()
    {
        if (m_wasSet)
            qputenv(m_name, m_old);
        else
            qunsetenv(m_name);
    }

private:
    const char* m_name;
    bool m_wasSet;
    QByteArray m_old;
};

template <class F> QString failureOf(F&& body)
{
    try {
        body();
    } catch (const std::runtime_error& e) {
        return QString::fromLocal8Bit(e.what());
    }
    return QStringLiteral("no failure");
}

#ifdef Q_OS_UNIX
mode_t modeOf(const QString& path)
{
    struct stat info = {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 07777 : mode_t(-1);
}
#endif
// The system's own en-US short date: Windows writes the year with four digits (its settings, not Qt's
// locale data, give the format there).
#ifdef Q_OS_WIN
const QString ShortDate = QStringLiteral("12/7/2026");
#else
const QString ShortDate = QStringLiteral("12/7/26");
#endif
} // namespace

class TestReplace : public QObject
{
    Q_OBJECT
private slots:
    void matchRule_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("isNull");
        QTest::addColumn<QString>("find");
        QTest::addColumn<bool>("matched");
        QTest::newRow("case differs") << "ABC" << false << "abc" << false;
        QTest::newRow("inside") << "xABCx" << false << "ABC" << true;
        QTest::newRow("null never matches") << "" << true << "a" << false;
        QTest::newRow("empty find never matches") << "abc" << false << "" << false;
        QTest::newRow("empty value") << "" << false << "a" << false;
        QTest::newRow("number text") << "1234" << false << "23" << true;
        QTest::newRow("no locale folding") << "straße" << false << "STRASSE" << false;
        QTest::newRow("decomposed vs composed")
            << QString::fromUtf8("e\xcc\x81") << false << QString::fromUtf8("\xc3\xa9") << false;
        QTest::newRow("surrogate pair") << QString::fromUtf8("a\xf0\x9f\x98\x80z") << false
                                        << QString::fromUtf8("\xf0\x9f\x98\x80") << true;
    }
    void matchRule()
    {
        QFETCH(QString, value);
        QFETCH(bool, isNull);
        QFETCH(QString, find);
        QFETCH(bool, matched);
        const std::optional<QString> v = isNull ? std::nullopt : std::optional<QString>(value);
        QCOMPARE(matches(v, find), matched);
    }

    void replaceRule_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("find");
        QTest::addColumn<QString>("replacement");
        QTest::addColumn<QString>("result");
        QTest::newRow("inserted text not rescanned") << "banana"
                                                     << "a"
                                                     << "aa"
                                                     << "baanaanaa";
        QTest::newRow("no overlap") << "aaa"
                                    << "aa"
                                    << "x"
                                    << "xa";
        QTest::newRow("spaces trimmed from the whole value") << "  xay  "
                                                             << "a"
                                                             << "b"
                                                             << "xby";
        QTest::newRow("empty replacement gives empty, not null") << "x"
                                                                 << "x"
                                                                 << ""
                                                                 << "";
        QTest::newRow("number") << "1234"
                                << "23"
                                << "45"
                                << "1454";
        QTest::newRow("tabs and line breaks stay") << "\t a \r\n"
                                                   << "a"
                                                   << "b"
                                                   << "\t b \r\n";
        QTest::newRow("only U+0020 is trimmed") << QString::fromUtf8("\xc2\xa0"
                                                                     "a ")
                                                << "a"
                                                << "b"
                                                << QString::fromUtf8("\xc2\xa0"
                                                                     "b");
        QTest::newRow("replacement made of spaces") << "xay"
                                                    << "y"
                                                    << "   "
                                                    << "xa";
        QTest::newRow("every occurrence") << "a-a-a-a"
                                          << "a"
                                          << "bc"
                                          << "bc-bc-bc-bc";
        QTest::newRow("replacement contains find") << "ab"
                                                   << "ab"
                                                   << "abab"
                                                   << "abab";
        QTest::newRow("whole value") << "abc"
                                     << "abc"
                                     << ""
                                     << "";
    }
    void replaceRule()
    {
        QFETCH(QString, value);
        QFETCH(QString, find);
        QFETCH(QString, replacement);
        QFETCH(QString, result);
        QCOMPARE(replaceAndTrim(value, find, replacement), result);
    }

    // Each pair on the value as the pairs before left it; a refused text is not taken.
    void chainOverAField()
    {
        using quarvel::ReplacementPlan;
        const ReplacementPlan plan(std::vector<quarvel::ReplacementPair>{{"1", "x"}, {"2", "3"}, {"", "z"}});
        const auto chain = plan.apply("12", [](size_t, const QString& text) { return text == "x2"; });
        QCOMPARE(chain.value, std::optional<QString>("13"));
        QCOMPARE(chain.matched, (std::vector<size_t>{0, 1}));
        QCOMPARE(chain.refused, std::vector<size_t>{0});
        QCOMPARE(plan.apply("12").value, std::optional<QString>("x3"));
        QVERIFY(ReplacementPlan::goesPairByPair(plan.apply("12"), false));
        QVERIFY(!ReplacementPlan::goesPairByPair(plan.apply("12"), true));
        QVERIFY(!ReplacementPlan::goesPairByPair(plan.apply("2"), false));
    }

    void logLineLayout()
    {
        const QDateTime when(QDate(2026, 12, 7), QTime(21, 5, 9));
        const QString line = logLine(when, "abc", "xyz", "orders", "note");
        QCOMPARE(line, "[" + ShortDate +
                           " 9:05:09 PM] - abc was replace to xyz at table (orders) and column (note)");
    }

    void timestampIsShortDateSpaceLongTimeWithoutZone()
    {
        // en_US: short date "M/d/yy", long time "h:mm:ss AP t", whose zone name the stamp leaves out.
        QCOMPARE(QLocale::system().name(), QStringLiteral("en_US"));
        const QDateTime when(QDate(2026, 12, 7), QTime(21, 5, 9));
        QCOMPARE(logTimestamp(when), ShortDate + QStringLiteral(" 9:05:09 PM"));
    }

    void logGoesToTempAndIsAppendedInTheCodePage()
    {
        QTemporaryDir dir;
        qputenv("TEMP", dir.path().toLocal8Bit());
        QCOMPARE(logFilePath(), QDir::toNativeSeparators(dir.path() + "/backups.log"));
        AppendLogLine(QString::fromUtf8("caf\xc3\xa9"));
        AppendLogLine("second");
        QFile file(logFilePath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("caf\xe9\r\nsecond\r\n"));
        qunsetenv("TEMP");
    }

    // clang-format off
    void logLineEscapesWhatWouldBreakTheLine_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("written");
        QTest::newRow("plain") << "order lines" << "order lines";
        QTest::newRow("letters beyond ASCII") << "caf\u00e9 \u00fc" << "caf\u00e9 \u00fc";
        QTest::newRow("LF") << "a\nb" << "a\\nb";
        QTest::newRow("CR LF") << "a\r\nb" << "a\\r\\nb";
        QTest::newRow("tab") << "a\tb" << "a\\tb";
        QTest::newRow("NUL") << QString(QChar(0)) << "\\x00";
        QTest::newRow("escape sequence") << "\x1b[2J" << "\\x1b[2J";
        QTest::newRow("DEL") << "\x7f" << "\\x7f";
        QTest::newRow("next line") << QString(QChar(0x85)) << "\\x85";
        QTest::newRow("line separator") << QString(QChar(0x2028)) << "\\u2028";
        QTest::newRow("paragraph separator") << QString(QChar(0x2029)) << "\\u2029";
        QTest::newRow("backslash as typed") << "C:\\data\\2024" << "C:\\data\\2024";
        QTest::newRow("backslash that would read as an escape") << "C:\\new" << "C:\\\\new";
        QTest::newRow("backslash before a line break") << "a\\\n" << "a\\\\\\n";
        QTest::newRow("two backslashes") << "\\\\" << "\\\\\\";
    }
    // clang-format on
    void logLineEscapesWhatWouldBreakTheLine()
    {
        QFETCH(QString, text);
        QFETCH(QString, written);
        const QDateTime when(QDate(2026, 12, 7), QTime(21, 5, 9));
        const QString line = logLine(when, text, text, text, text);
        QCOMPARE(line, "[" + logTimestamp(when) + "] - " + written + " was replace to " + written +
                           " at table (" + written + ") and column (" + written + ")");
    }

    void lineHoldingALineBreakIsNotWritten()
    {
        QTemporaryDir dir;
        ScopedEnvironment temp("TEMP", QFile::encodeName(dir.path()));
        QCOMPARE(failureOf([] { AppendLogLine("one\ntwo"); }),
                 QString("A replacement log line cannot hold a line break or another control character"));
        QVERIFY(!QFile::exists(logFilePath()));
        // A batch is refused whole: no line of it is written before the one that cannot be.
        QCOMPARE(failureOf([] {
                     AppendLogLines({"fine", "one\rtwo", "also fine"});
                 }),
                 QString("A replacement log line cannot hold a line break or another control character"));
        QVERIFY(!QFile::exists(logFilePath()));
        AppendLogLines({"first", QString::fromUtf8("caf\xc3\xa9")});
        AppendLogLines({});
        QFile file(logFilePath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("first\r\ncaf\xe9\r\n"));
    }

#ifdef Q_OS_UNIX
    void newLogIsPrivateAndAnExistingOneKeepsItsMode()
    {
        QTemporaryDir dir;
        ScopedEnvironment temp("TEMP", QFile::encodeName(dir.path()));
        AppendLogLine("first");
        QCOMPARE(modeOf(logFilePath()), mode_t(0600));
        QCOMPARE(::chmod(QFile::encodeName(logFilePath()).constData(), 0640), 0);
        AppendLogLine("second");
        QCOMPARE(modeOf(logFilePath()), mode_t(0640));
        QFile file(logFilePath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("first\r\nsecond\r\n"));
    }

    // A file size limit stands in for a full disk: a write past it comes back short, the next one fails.
    void logThatFillsUpKeepsWholeLinesAndCountsThem()
    {
        QTemporaryDir dir;
        ScopedEnvironment temp("TEMP", QFile::encodeName(dir.path()));
        rlimit saved{};
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &saved), 0);
        const rlimit small{1000, saved.rlim_max}; // 33 lines of 30 bytes and a third of one
        const auto handler = std::signal(SIGXFSZ, SIG_IGN);
        ::setrlimit(RLIMIT_FSIZE, &small);
        qsizetype written = -1;
        try {
            AppendLogLines(QStringList(100, QStringLiteral("twenty-eight characters long")));
        } catch (const LogWriteError& e) {
            written = e.linesWritten();
        }
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, handler);
        QCOMPARE(written, 33);
        QFile log(logFilePath());
        QVERIFY(log.open(QIODevice::ReadOnly));
        QCOMPARE(log.readAll(), QByteArray("twenty-eight characters long\r\n").repeated(33));
    }

    void logIsNeverWrittenThroughASymbolicLink_data()
    {
        QTest::addColumn<bool>("dangling");
        QTest::newRow("link to a user's file") << false;
        QTest::newRow("dangling link") << true;
    }
    void logIsNeverWrittenThroughASymbolicLink()
    {
        QFETCH(bool, dangling);
        QTemporaryDir dir;
        ScopedEnvironment temp("TEMP", QFile::encodeName(dir.path()));
        const QString target = dir.filePath("notes.txt");
        if (!dangling) {
            QFile notes(target);
            QVERIFY(notes.open(QIODevice::WriteOnly));
            notes.write("mine\n");
        }
        QVERIFY(QFile::link(target, logFilePath()));
        QCOMPARE(failureOf([] { AppendLogLine("x"); }),
                 "Cannot open the replacement log " + logFilePath() +
                     ": it is a symbolic link, and the log is never written through one");
        QFile notes(target);
        QCOMPARE(notes.exists(), !dangling);
        if (!dangling) {
            QVERIFY(notes.open(QIODevice::ReadOnly));
            QCOMPARE(notes.readAll(), QByteArray("mine\n"));
        }
    }

    void logThatIsNoPlainFileOfTheUserIsRefused_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("reason");
        QTest::newRow("folder") << "folder"
                                << "it is not a regular file";
        QTest::newRow("FIFO nobody reads") << "fifo"
                                           << "it is not a regular file";
        QTest::newRow("FIFO being read") << "read fifo"
                                         << "it is not a regular file";
        QTest::newRow("another user's file") << "foreign"
                                             << "it belongs to another user";
    }
    void logThatIsNoPlainFileOfTheUserIsRefused()
    {
        QFETCH(QString, kind);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        ScopedEnvironment temp("TEMP", QFile::encodeName(dir.path()));
        const QByteArray path = QFile::encodeName(logFilePath());
        int reader = -1;
        if (kind == "folder") {
            QVERIFY(QDir(dir.path()).mkdir(LogFileName));
        } else if (kind.endsWith("fifo")) {
            QCOMPARE(::mkfifo(path.constData(), 0600), 0);
            if (kind == "read fifo")
                QVERIFY((reader = ::open(path.constData(), O_RDONLY | O_NONBLOCK)) >= 0);
        } else {
            if (::geteuid() != 0)
                QSKIP("giving a file to another user needs root");
            QFile file(logFilePath());
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.close();
            QCOMPARE(::chown(path.constData(), 65534, 65534), 0);
        }
        const QString failure = failureOf([] { AppendLogLine("x"); });
        char byte = 0;
        const bool nothingArrived = reader < 0 || ::read(reader, &byte, 1) <= 0;
        if (reader >= 0)
            ::close(reader);
        QCOMPARE(failure, "Cannot open the replacement log " + logFilePath() + ": " + reason);
        QVERIFY(nothingArrived);
        if (kind == "foreign")
            QCOMPARE(QFileInfo(logFilePath()).size(), 0);
    }

    // A folder every user shares would let others read the texts or plant a link at the log's place; the
    // runtime folder, private as it is, is emptied at logout.
    void withoutTempTheLogGoesToAFolderPrivateToTheUser_data()
    {
        QTest::addColumn<QByteArray>("temp");
        QTest::addColumn<bool>("runtimeFolder");
        QTest::newRow("TEMP unset") << QByteArray() << false;
        QTest::newRow("TEMP empty") << QByteArray("") << false;
        QTest::newRow("TEMP unset, a private runtime folder") << QByteArray() << true;
    }
    void withoutTempTheLogGoesToAFolderPrivateToTheUser()
    {
        QFETCH(QByteArray, temp);
        QFETCH(bool, runtimeFolder);
        QTemporaryDir home;
        const QString run = home.filePath("run");
        QVERIFY(QDir(home.path()).mkdir("run"));
        QCOMPARE(::chmod(QFile::encodeName(run).constData(), 0700), 0);
        ScopedEnvironment cache("XDG_CACHE_HOME", QFile::encodeName(home.filePath("cache")));
        ScopedEnvironment tempVariable("TEMP", temp);
        ScopedEnvironment runtimeVariable("XDG_RUNTIME_DIR",
                                          runtimeFolder ? QFile::encodeName(run) : QByteArray());

        const QString expected = home.filePath("cache/Quarvel");
        QCOMPARE(logFolder(), expected);
        QCOMPARE(logFilePath(), expected + "/backups.log");
        AppendLogLine("x");
        QCOMPARE(modeOf(logFilePath()), mode_t(0600));
        QCOMPARE(modeOf(expected), mode_t(0700));
    }
#endif

    void unwritableLogFolderThrowsNamingThePath()
    {
        qputenv("TEMP", "/nonexistent-quarvel-folder/sub");
        try {
            AppendLogLine("x");
            QFAIL("no failure");
        } catch (const std::runtime_error& e) {
            QVERIFY2(QString(e.what()).contains(
                         QDir::toNativeSeparators("/nonexistent-quarvel-folder/sub/backups.log")),
                     e.what());
        }
        qunsetenv("TEMP");
    }
};

// The log's timestamp follows the system locale, which Qt reads from the environment once: pin it before
// anything asks, so that the expected texts hold on any machine.
int main(int argc, char** argv)
{
    qputenv("LC_ALL", "en_US.UTF-8");
    QCoreApplication app(argc, argv);
    TestReplace test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_replace.moc"
