// The replay program's console in a real terminal (tmux): the frame channel,
// the play, pause and quit actions, the progress channel and the single keys,
// Esc and Ctrl-C, and the closing log line on the restored terminal. Key handling in general (pages, clamping, status
// row) is driven in the console library's own terminal tests.

#include <nmb/test/tmux_session.h>

#include <nmb/test/programs.h>
#include <nmb/test/recordings.h>
#include <nmb/test/udp_capture.h>

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using nmb::test::TmuxSession;
using nmb::test::UdpCapture;

namespace {

// The frame number shown on the "Reelcast.frame" channel, or -1.
int shown_frame_number(const TmuxSession& tmux)
{
    static const QRegularExpression pattern(QStringLiteral("frame: (\\d+)"));
    const QRegularExpressionMatch match = pattern.match(tmux.screen());
    return match.hasMatch() ? match.captured(1).toInt() : -1;
}

// Waits until the console draws frames that keep changing. A key sent while
// the terminal still answers the console's first query can be lost with it.
bool wait_until_playing(const TmuxSession& tmux)
{
    if (!tmux.wait_for(QStringLiteral(" TUI Probe ")))
        return false;
    int first = -1;
    return QTest::qWaitFor([&] { return (first = shown_frame_number(tmux)) > 0; }, 10000)
        && QTest::qWaitFor([&] { return shown_frame_number(tmux) > first + 2; }, 10000);
}

} // namespace

class TestNimbraReelcastConsole : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void frames_and_actions();
    void escape_ends_the_console_not_playback();
    void keys_move_in_the_take();
    void closing_line_after_the_console_data();
    void closing_line_after_the_console();

private:
    bool start(TmuxSession& tmux, const QByteArray& recording, const QStringList& options);

    QTemporaryDir dir_;
    UdpCapture receiver_;
};

void TestNimbraReelcastConsole::initTestCase()
{
    if (!TmuxSession::available())
        QSKIP("tmux is not installed");
    QVERIFY(dir_.isValid());
    QVERIFY(receiver_.bind());
}

bool TestNimbraReelcastConsole::start(TmuxSession& tmux, const QByteArray& recording,
                                      const QStringList& options)
{
    const QString path = nmb::test::write_recording(dir_, QStringLiteral("take.bin"), recording);
    const QStringList arguments =
        QStringList{path, "--ip", "127.0.0.1", "--port", QString::number(receiver_.port())} + options;
    return !path.isEmpty()
        && tmux.start(nmb::test::program_path(QStringLiteral("nimbra_reelcast")), arguments, 100, 40);
}

void TestNimbraReelcastConsole::frames_and_actions()
{
    // Three frames 50 ms apart, looping: numbers rise across passes.
    TmuxSession tmux;
    QVERIFY(start(tmux, nmb::test::joined(nmb::test::evenly_spaced_frames(3, 50'000, 7'000'000)),
                  {"--loop"}));
    QVERIFY(wait_until_playing(tmux));
    QVERIFY(tmux.screen().contains(QStringLiteral("> Reelcast.frame    binary playback frame")));
    QVERIFY(tmux.screen().contains(QStringLiteral("Reelcast.frame  -  binary playback frame")));
    QVERIFY(tmux.screen().contains(QStringLiteral("length: 1850")));
    QVERIFY(QTest::qWaitFor([&] { return shown_frame_number(tmux) > 4; }, 10000));

    QVERIFY(tmux.send_keys({"Tab"}));
    QVERIFY(tmux.wait_for(QStringLiteral("> Reelcast.pause    pause binary playback")));
    QVERIFY(tmux.screen().contains(QStringLiteral("  Reelcast.play    resume binary playback")));
    QVERIFY(tmux.screen().contains(QStringLiteral("  Reelcast.quit    quit binary playback")));
    QVERIFY(tmux.send_keys({"Enter"}));
    QVERIFY(tmux.wait_for(QStringLiteral("status: triggered action: Reelcast.pause")));

    // Paused: neither a datagram nor a new number for several frame periods.
    QVERIFY(tmux.send_keys({"Tab"}));
    QVERIFY(tmux.wait_for(QStringLiteral("Page: channel")));
    QVERIFY(QTest::qWaitFor(
        [&] {
            const qsizetype datagrams = receiver_.count();
            const int number = shown_frame_number(tmux);
            QTest::qWait(300);
            return receiver_.count() == datagrams && shown_frame_number(tmux) == number;
        },
        5000));
    const int paused_at = shown_frame_number(tmux);

    QVERIFY(tmux.send_keys({"Tab", "Down", "Enter"}));
    QVERIFY(tmux.wait_for(QStringLiteral("status: triggered action: Reelcast.play")));
    const qsizetype resumed = receiver_.count();
    QTRY_VERIFY_WITH_TIMEOUT(receiver_.count() > resumed + 3, 5000);
    QVERIFY(tmux.send_keys({"Tab"}));
    QVERIFY(QTest::qWaitFor([&] { return shown_frame_number(tmux) > paused_at; }, 5000));

    QVERIFY(tmux.send_keys({"Tab", "Down", "Enter"}));
    QVERIFY2(tmux.wait_for(QStringLiteral("exit status: 0")), qPrintable(tmux.screen()));
    QVERIFY(tmux.wait_for(QStringLiteral("terminal: icanon echo")));
}

void TestNimbraReelcastConsole::escape_ends_the_console_not_playback()
{
    const QList<QByteArray> frames = nmb::test::evenly_spaced_frames(40, 50'000);
    TmuxSession tmux;
    const qsizetype before = receiver_.count();
    QVERIFY(start(tmux, nmb::test::joined(frames), {}));
    QVERIFY(wait_until_playing(tmux));
    QVERIFY(tmux.send_keys({"Escape"}));
    // The console is gone while frames still go out, and playback ends
    // normally at the end of the recording.
    QVERIFY2(tmux.wait_for(QStringLiteral("exit status: 0"), 15000), qPrintable(tmux.screen()));
    QVERIFY(tmux.wait_for(QStringLiteral("terminal: icanon echo")));
    QTRY_COMPARE(receiver_.count(), before + frames.size());
    const QString screen = tmux.screen();
    QVERIFY(screen.contains(QStringLiteral("Playback finished: 40 frame(s).")));
    const int last_shown = shown_frame_number(tmux);
    QVERIFY2(last_shown > 0 && last_shown < 40, "the console had ended before playback did");
}

void TestNimbraReelcastConsole::keys_move_in_the_take()
{
    // 20 s of frames 50 ms apart.
    TmuxSession tmux;
    QVERIFY(start(tmux, nmb::test::joined(nmb::test::evenly_spaced_frames(401, 50'000)), {}));
    QVERIFY(wait_until_playing(tmux));
    QVERIFY(tmux.send_keys({"Down"}));
    QVERIFY(tmux.wait_for(QStringLiteral("Reelcast.progress  -  playback progress")));
    QVERIFY(tmux.wait_for(QStringLiteral("state: playing at 1x")));
    QVERIFY(tmux.screen().contains(QStringLiteral(" / 00:20.000")));

    QVERIFY(tmux.send_keys({"Space"}));
    QVERIFY2(tmux.wait_for(QStringLiteral("state: paused")), qPrintable(tmux.screen()));
    QVERIFY(tmux.screen().contains(QStringLiteral("time: 00:0")));
    QVERIFY(tmux.send_keys({"Right", "Right"}));
    QVERIFY2(tmux.wait_for(QStringLiteral("time: 00:1")), qPrintable(tmux.screen()));
    QVERIFY(tmux.screen().contains(QStringLiteral("progress: [##########")));
    QVERIFY(tmux.screen().contains(QStringLiteral("state: paused")));
    QVERIFY(tmux.send_keys({"Left", "Left", "Left"}));
    QVERIFY(tmux.wait_for(QStringLiteral("time: 00:00.000 / 00:20.000")));
    QVERIFY(tmux.wait_for(QStringLiteral("progress: [....................] 0 %")));

    QVERIFY(tmux.send_keys({"+", "+", "Space"}));
    QVERIFY2(tmux.wait_for(QStringLiteral("state: playing at 4x")), qPrintable(tmux.screen()));
    QVERIFY(tmux.send_keys({"-", "-", "-"}));
    QVERIFY(tmux.wait_for(QStringLiteral("state: playing at 0.5x")));
    QVERIFY(tmux.send_keys({"Right"}));
    QVERIFY(tmux.wait_for(QStringLiteral("time: 00:0")));
    QVERIFY(tmux.send_keys({"Home"}));
    QVERIFY(tmux.wait_for(QStringLiteral("status: triggered action: Reelcast.restart")));
    QVERIFY(tmux.wait_for(QStringLiteral("time: 00:00.")));

    // The action page lists the new actions after the first three, keys in brackets.
    QVERIFY(tmux.send_keys({"Tab"}));
    QVERIFY(tmux.wait_for(QStringLiteral("Reelcast.pause    pause binary playback  [Space]")));
    const QString screen = tmux.screen();
    for (const char* row : {"Reelcast.play    resume binary playback", "Reelcast.quit    quit binary playback",
                            "Reelcast.rate_down    halve the playback rate  [-]",
                            "Reelcast.rate_up    double the playback rate  [+]",
                            "Reelcast.restart    play from the start  [Home]",
                            "Reelcast.seek_back    jump back 5 s  [Left]",
                            "Reelcast.seek_forward    jump forward 5 s  [Right]"})
        QVERIFY2(screen.contains(QLatin1String(row)), row);
    QVERIFY(screen.indexOf(QLatin1String("Reelcast.quit")) < screen.indexOf(QLatin1String("Reelcast.rate_down")));
    QVERIFY(tmux.send_keys({"Down", "Down", "Enter"}));
    QVERIFY2(tmux.wait_for(QStringLiteral("exit status: 0")), qPrintable(tmux.screen()));
}

void TestNimbraReelcastConsole::closing_line_after_the_console_data()
{
    QTest::addColumn<QByteArray>("recording");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("line");

    const QByteArray frames = nmb::test::joined(nmb::test::evenly_spaced_frames(10, 100'000));
    QTest::newRow("end of the recording") << frames << "0" << "Playback finished: 10 frame(s).";
    QTest::newRow("damaged last frame") << frames.chopped(3) << "1"
                                        << "Playback error: Truncated frame payload.";
    QTest::newRow("Ctrl-C") << frames << "130" << "";
}

void TestNimbraReelcastConsole::closing_line_after_the_console()
{
    QFETCH(QByteArray, recording);
    QFETCH(QString, status);
    QFETCH(QString, line);
    TmuxSession tmux;
    QVERIFY(start(tmux, recording, {}));
    QVERIFY(wait_until_playing(tmux));
    if (status == "130")
        QVERIFY(tmux.send_keys({"C-c"}));
    QVERIFY2(tmux.wait_for(QStringLiteral("exit status: ") + status, 15000), qPrintable(tmux.screen()));
    QVERIFY(tmux.wait_for(QStringLiteral("terminal: icanon echo")));
    // The whole line, below the console's last frame and above the status.
    const QStringList rows = tmux.screen().split('\n');
    const qsizetype status_row = rows.indexOf(QStringLiteral("exit status: ") + status);
    QVERIFY(status_row > 0);
    QVERIFY2(line.isEmpty() || rows.mid(0, status_row).contains(line), qPrintable(tmux.screen()));
    QVERIFY(rows.constFirst().startsWith(QStringLiteral("Playing '")));
}

QTEST_GUILESS_MAIN(TestNimbraReelcastConsole)
#include "tst_nimbra_reelcast_console.moc"
