// The replay program in a real terminal (tmux): the closing log line lands on
// the restored terminal after the console has gone. The console's pages, keys
// and actions against this program are driven in the console library's own
// terminal tests.

#include "replay_recordings.h"
#include "tmux_session.h"

#include <nmb/test/programs.h>
#include <nmb/test/udp_capture.h>

#include <QTemporaryDir>
#include <QTest>

using nmb::test::TmuxSession;
using nmb::test::UdpCapture;

class TestNimbraReelcastConsole : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
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

void TestNimbraReelcastConsole::closing_line_after_the_console_data()
{
    QTest::addColumn<QByteArray>("recording");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("line");

    const QByteArray frames = nmb::test::joined(nmb::test::evenly_spaced_frames(10, 100'000));
    QTest::newRow("end of the recording") << frames << "0" << "Playback finished: 10 frame(s).";
    QTest::newRow("damaged last frame") << frames.chopped(3) << "1"
                                        << "Playback error: Truncated frame payload.";
}

void TestNimbraReelcastConsole::closing_line_after_the_console()
{
    QFETCH(QByteArray, recording);
    QFETCH(QString, status);
    QFETCH(QString, line);
    TmuxSession tmux;
    QVERIFY(start(tmux, recording, {}));
    QVERIFY(tmux.wait_for(QStringLiteral(" TUI Probe ")));
    QVERIFY2(tmux.wait_for(QStringLiteral("exit status: ") + status, 15000), qPrintable(tmux.screen()));
    QVERIFY(tmux.wait_for(QStringLiteral("terminal: icanon echo")));
    // The whole line, below the console's last frame and above the status.
    const QStringList rows = tmux.screen().split('\n');
    const qsizetype status_row = rows.indexOf(QStringLiteral("exit status: ") + status);
    QVERIFY(status_row > 0);
    QVERIFY2(rows.mid(0, status_row).contains(line), qPrintable(tmux.screen()));
    QVERIFY(rows.constFirst().startsWith(QStringLiteral("Playing '")));
}

QTEST_GUILESS_MAIN(TestNimbraReelcastConsole)
#include "tst_nimbra_reelcast_console.moc"
