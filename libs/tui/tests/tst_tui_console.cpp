// The console as a user meets it: a real program in a real terminal
// (tmux), driven by keys.
#include <nmb/test/tmux_session.h>

#include <nmb/test/programs.h>

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using nmb::test::TmuxSession;

namespace {

qint64 read_counter(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().toLongLong() : -1;
}

bool counter_advances(const QString& path, int timeout_ms = 5000)
{
    const qint64 start = read_counter(path);
    return QTest::qWaitFor([&] { return read_counter(path) > start + 2; }, timeout_ms);
}

// Line mode and echo, as `stty -a` shows them on the given terminal.
QString terminal_flags(const QString& tty)
{
    QProcess stty;
    stty.start(QStringLiteral("stty"), {"-a", "-F", tty});
    if (!stty.waitForFinished(5000)) {
        stty.kill();
        stty.waitForFinished(1000);
        return {};
    }
    QStringList flags;
    const QStringList words =
        QString::fromLatin1(stty.readAllStandardOutput()).split(QRegularExpression("[\\s;]+"));
    for (const QString& word : words) {
        if (word == "icanon" || word == "-icanon" || word == "echo" || word == "-echo") {
            flags << word;
        }
    }
    return flags.join(' ');
}

// Waits until the console has drawn and then redrawn twice.
bool wait_until_drawing(const TmuxSession& tmux)
{
    if (!tmux.wait_for(" TUI Probe ")) {
        return false;
    }
    for (int redraws = 0; redraws < 2; ++redraws) {
        const QString before = tmux.screen();
        if (!QTest::qWaitFor([&] { return tmux.screen() != before; }, 5000)) {
            return false;
        }
    }
    return true;
}

} // namespace

class TestTuiConsole : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        if (!TmuxSession::available()) {
            QSKIP("tmux is not installed");
        }
        QVERIFY(QFile::exists(nmb::test::program_path("tui_probe")));
    }

    void pages_keys_and_actions()
    {
        QTemporaryDir dir;
        const QString counter = dir.filePath("counter");
        TmuxSession tmux;
        QVERIFY(tmux.start(nmb::test::program_path("tui_probe"), {counter}));
        QVERIFY(wait_until_drawing(tmux));
        QVERIFY(tmux.wait_for("Page: channel | Tab: channel/action | Esc: quit"));
        QVERIFY(tmux.wait_for("> Probe.frame    probe frame counter"));
        QVERIFY(tmux.wait_for("update: "));
        QCOMPARE(terminal_flags(tmux.pane_tty()), QStringLiteral("-icanon -echo"));

        tmux.send_keys({"Tab"});
        QVERIFY(tmux.wait_for("Page: action | Tab: channel/action | Esc: quit"));
        QVERIFY(tmux.wait_for("Up/Down: select action | Enter: trigger | Tab: next page | Esc: quit"));
        QVERIFY(tmux.wait_for("> Reelcast.pause    pause binary playback"));
        QVERIFY(tmux.screen().contains("  Reelcast.play    resume binary playback"));
        QVERIFY(tmux.screen().contains("  Reelcast.quit    quit binary playback"));

        // Clamped at both ends.
        tmux.send_keys({"Up"});
        tmux.send_keys({"Down", "Down", "Down", "Down"});
        QVERIFY(tmux.wait_for("> Reelcast.quit"));
        tmux.send_keys({"Up", "Up", "Up", "Up"});
        QVERIFY(tmux.wait_for("> Reelcast.pause"));

        // Enter on "Reelcast.pause" stops the counter.
        tmux.send_keys({"Enter"});
        QVERIFY(tmux.wait_for("status: triggered action: Reelcast.pause"));
        QVERIFY(QTest::qWaitFor(
            [&] {
                const qint64 before = read_counter(counter);
                QTest::qWait(200);
                return read_counter(counter) == before;
            },
            5000));

        // Tab clears the status row; each page keeps its highlight.
        tmux.send_keys({"Tab"});
        QVERIFY(tmux.wait_for("Page: channel"));
        QVERIFY(!tmux.screen().contains("status:"));
        tmux.send_keys({"Tab"});
        QVERIFY(tmux.wait_for("Page: action"));
        QVERIFY(tmux.screen().contains("> Reelcast.pause"));
        QVERIFY(!tmux.screen().contains("status:"));

        // "Reelcast.play" resumes.
        tmux.send_keys({"Down", "Enter"});
        QVERIFY(tmux.wait_for("status: triggered action: Reelcast.play"));
        QVERIFY(counter_advances(counter));

        // "Reelcast.quit" ends the program normally, terminal restored.
        tmux.send_keys({"Down", "Enter"});
        QVERIFY(tmux.wait_for("exit status: 0"));
        QVERIFY(tmux.wait_for("terminal: icanon echo"));
    }

    void escape_ends_the_console_not_the_program()
    {
        QTemporaryDir dir;
        const QString counter = dir.filePath("counter");
        TmuxSession tmux;
        QVERIFY(tmux.start(nmb::test::program_path("tui_probe"), {counter}));
        // Esc right after the first frame: it runs into the terminal's
        // answer to the console's first cursor query and must still count.
        QVERIFY(tmux.wait_for(" TUI Probe "));
        tmux.send_keys({"Escape"});
        const QString tty = tmux.pane_tty();
        QVERIFY(QTest::qWaitFor([&] { return terminal_flags(tty) == "icanon echo"; }, 10000));
        QVERIFY(counter_advances(counter));
        QVERIFY(!tmux.screen().contains("exit status"));

        // The program still ends on Ctrl-C as it would without a console.
        tmux.send_keys({"C-c"});
        QVERIFY(tmux.wait_for("exit status: 130"));
        QVERIFY(tmux.wait_for("terminal: icanon echo"));
    }

    void every_way_out_restores_the_terminal_data()
    {
        QTest::addColumn<QStringList>("probe_arguments");
        QTest::addColumn<QStringList>("keys");
        QTest::addColumn<int>("signal_number");
        QTest::addColumn<QString>("status");
        QTest::newRow("Ctrl-C while drawn") << QStringList{} << QStringList{"C-c"} << 0 << "130";
        QTest::newRow("Ctrl-C on the action page")
            << QStringList{} << QStringList{"Tab", "C-c"} << 0 << "130";
        QTest::newRow("terminate signal") << QStringList{} << QStringList{} << SIGTERM << "143";
        QTest::newRow("quit action") << QStringList{} << QStringList{"Tab", "Down", "Down", "Enter"}
                                     << 0 << "0";
        QTest::newRow("program end without stop")
            << QStringList{"--no-stop"} << QStringList{"Tab", "Down", "Down", "Enter"} << 0
            << "0";
    }

    void every_way_out_restores_the_terminal()
    {
        QFETCH(QStringList, probe_arguments);
        QFETCH(QStringList, keys);
        QFETCH(int, signal_number);
        QFETCH(QString, status);
        QTemporaryDir dir;
        TmuxSession tmux;
        QVERIFY(tmux.start(nmb::test::program_path("tui_probe"),
                           QStringList{dir.filePath("counter")} + probe_arguments));
        QVERIFY(wait_until_drawing(tmux));
        if (!keys.isEmpty()) {
            tmux.send_keys(keys);
        }
        if (signal_number != 0) {
            const qint64 pid = tmux.program_pid();
            QVERIFY(pid > 0);
            QCOMPARE(::kill(pid_t(pid), signal_number), 0);
        }
        QVERIFY2(tmux.wait_for("exit status: " + status), qPrintable(tmux.screen()));
        QVERIFY2(tmux.wait_for("terminal: icanon echo"), qPrintable(tmux.screen()));
    }
};

QTEST_GUILESS_MAIN(TestTuiConsole)
#include "tst_tui_console.moc"
