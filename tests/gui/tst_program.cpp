// The built program as a separate process: it starts on the stored details, closing its window through
// the window system ends the process, and the screenshot hook saves the window it shows.
#include "tests/support/TestDatabase.h"

#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdlib>
#include <cstring>
#include <xcb/xcb.h>

using quarvel::test::TestDatabase;

namespace {
const QString Program = QStringLiteral(QUARVEL_PROGRAM);

xcb_atom_t atom(xcb_connection_t* c, const char* name)
{
    xcb_intern_atom_reply_t* reply =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, quint16(std::strlen(name)), name), nullptr);
    const xcb_atom_t result = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    std::free(reply);
    return result;
}

QString windowTitle(xcb_connection_t* c, xcb_window_t window)
{
    for (xcb_atom_t property : {atom(c, "_NET_WM_NAME"), xcb_atom_t(XCB_ATOM_WM_NAME)}) {
        xcb_get_property_reply_t* reply = xcb_get_property_reply(
            c, xcb_get_property(c, 0, window, property, XCB_GET_PROPERTY_TYPE_ANY, 0, 256), nullptr);
        if (!reply)
            continue;
        QString title = QString::fromUtf8(static_cast<const char*>(xcb_get_property_value(reply)),
                                          xcb_get_property_value_length(reply));
        std::free(reply);
        if (!title.isEmpty())
            return title;
    }
    return QString();
}

struct ShownWindow
{
    xcb_window_t id;
    QString title;
    QSize size;
};

// The top-level windows that are on the screen (no window manager: children of the root).
QList<ShownWindow> shownWindows(xcb_connection_t* c)
{
    QList<ShownWindow> shown;
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    xcb_query_tree_reply_t* tree = xcb_query_tree_reply(c, xcb_query_tree(c, root), nullptr);
    if (!tree)
        return shown;
    const xcb_window_t* children = xcb_query_tree_children(tree);
    for (int i = 0; i < xcb_query_tree_children_length(tree); ++i) {
        xcb_get_window_attributes_reply_t* attributes =
            xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, children[i]), nullptr);
        const bool viewable = attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
        std::free(attributes);
        if (!viewable)
            continue;
        xcb_get_geometry_reply_t* geometry =
            xcb_get_geometry_reply(c, xcb_get_geometry(c, children[i]), nullptr);
        if (!geometry)
            continue;
        shown.append({children[i], windowTitle(c, children[i]), QSize(geometry->width, geometry->height)});
        std::free(geometry);
    }
    std::free(tree);
    return shown;
}

// What the close box does: the window manager's WM_DELETE_WINDOW message.
void sendClose(xcb_connection_t* c, xcb_window_t window)
{
    xcb_client_message_event_t event;
    std::memset(&event, 0, sizeof event);
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window;
    event.type = atom(c, "WM_PROTOCOLS");
    event.data.data32[0] = atom(c, "WM_DELETE_WINDOW");
    event.data.data32[1] = XCB_CURRENT_TIME;
    xcb_send_event(c, 0, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&event));
    xcb_flush(c);
}

void writeStore(const QString& configHome, const quarvel::db::ConnectionDetails& d)
{
    QDir().mkpath(configHome + "/Kestrine");
    QFile store(configHome + "/Kestrine/Quarvel.conf");
    QVERIFY(store.open(QIODevice::WriteOnly));
    store.write(QStringLiteral("[General]\nPostgreSQLServer=%1\nPostgreSQLPort=%2\nPostgreSQLUser=%3\n"
                               "PostgreSQLPassword=%4\nPostgreSQLDatabase=%5\n")
                    .arg(d.server, d.port, d.user, d.password, d.database)
                    .toUtf8());
}

QProcessEnvironment programEnvironment(const QString& configHome, const QString& platform)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", configHome);
    const QString runtime = configHome + "/runtime";
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    env.insert("XDG_RUNTIME_DIR", runtime);
    env.insert("QT_QPA_PLATFORM", platform);
    return env;
}
} // namespace

class TestProgram : public QObject
{
    Q_OBJECT

    QProcess m_xvfb;
    QString m_display;

private slots:
    void initTestCase()
    {
        QVERIFY2(QFileInfo(Program).isExecutable(), qPrintable(Program));
        // An X server of our own on a free display; it writes the display number to its stdout.
        m_xvfb.start(QStringLiteral("Xvfb"),
                     {"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"});
        QVERIFY2(m_xvfb.waitForStarted(10000), "Xvfb is needed (scripts/setup installs it)");
        QElapsedTimer wait;
        wait.start();
        while (!m_xvfb.canReadLine() && wait.elapsed() < 15000)
            m_xvfb.waitForReadyRead(500);
        m_display = QStringLiteral(":") + QString::fromLatin1(m_xvfb.readLine()).trimmed();
        QVERIFY2(m_display.size() > 1, "Xvfb did not say its display");
    }

    void cleanupTestCase()
    {
        if (m_xvfb.state() != QProcess::NotRunning) {
            m_xvfb.terminate();
            if (!m_xvfb.waitForFinished(5000))
                m_xvfb.kill();
        }
    }

    void programStartsAndClosingEndsIt_data()
    {
        QTest::addColumn<bool>("connects");
        QTest::addColumn<QSize>("windowSize");
        // Stored details that connect go straight to the Main window; others stop at the Connection window.
        QTest::newRow("stored details connect") << true << QSize(536, 554);
        QTest::newRow("stored details do not connect") << false << QSize(536, 242);
    }

    void programStartsAndClosingEndsIt()
    {
        QUARVEL_REQUIRE_DB();
        QFETCH(bool, connects);
        QFETCH(QSize, windowSize);
        QTemporaryDir config;
        quarvel::db::ConnectionDetails details = TestDatabase::details();
        if (!connects)
            details.password = QStringLiteral("wrong");
        writeStore(config.path(), details);

        QProcess program;
        QProcessEnvironment env = programEnvironment(config.path(), "xcb");
        env.insert("DISPLAY", m_display);
        program.setProcessEnvironment(env);
        program.start(Program, {});
        QVERIFY(program.waitForStarted(10000));

        xcb_connection_t* c = xcb_connect(qPrintable(m_display), nullptr);
        QVERIFY(c && !xcb_connection_has_error(c));
        QList<ShownWindow> shown;
        QElapsedTimer wait;
        wait.start();
        while (wait.elapsed() < 30000 && program.state() == QProcess::Running) {
            shown = shownWindows(c);
            if (!shown.isEmpty())
                break;
            QTest::qWait(100);
        }
        QVERIFY2(program.state() == QProcess::Running, program.readAllStandardError().constData());
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown.first().title, QStringLiteral("Quarvel"));
        QCOMPARE(shown.first().size, windowSize);

        sendClose(c, shown.first().id);
        const bool ended = program.waitForFinished(10000);
        xcb_disconnect(c);
        if (!ended)
            program.kill();
        QVERIFY2(ended, "closing the window did not end the program");
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
    }

    void screenshotHookSavesTheShownWindow()
    {
        QTemporaryDir config;
        const QString png = config.filePath("shot.png");
        QProcess program;
        QProcessEnvironment env = programEnvironment(config.path(), "offscreen");
        env.insert("QUARVEL_SCREENSHOT", png);
        program.setProcessEnvironment(env);
        program.start(Program, {});
        QVERIFY(program.waitForFinished(30000));
        QCOMPARE(program.exitCode(), 0);
        const QImage image(png);
        QCOMPARE(image.size(), QSize(536, 242));
        // The design background is white.
        QCOMPARE(image.pixelColor(2, 2), QColor(Qt::white));
    }
};

QTEST_GUILESS_MAIN(TestProgram)
#include "tst_program.moc"
