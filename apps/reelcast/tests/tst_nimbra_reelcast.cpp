// The replay program end to end: command line, log lines, exit codes and the
// datagrams it sends, against a loopback receiver.

#include <nmb/test/programs.h>
#include <nmb/test/recordings.h>
#include <nmb/test/udp_capture.h>

#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

using nmb::test::UdpCapture;

class TestNimbraReelcast : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void command_line_errors_data();
    void command_line_errors();
    void plays_to_the_end_data();
    void plays_to_the_end();
    void rate_changes_the_spacing_data();
    void rate_changes_the_spacing();
    void loop_restarts_at_once();
    void playback_errors_data();
    void playback_errors();
    void thousand_hertz_keeps_pace();
    void play_window_data();
    void play_window();
    void max_gap_caps_the_wait();

private:
    // Starts the program and waits (bounded) for it to end while the
    // receiver keeps reading.
    bool run(const QStringList& arguments, int timeout_ms = 15000);

    QTemporaryDir dir_;
    QString recording_; // three frames 20 ms apart
    QList<QByteArray> frames_;
    int exit_code_ = -1;
    QByteArray stderr_;
};

bool TestNimbraReelcast::run(const QStringList& arguments, int timeout_ms)
{
    QProcess process;
    QSignalSpy finished(&process, &QProcess::finished);
    process.start(nmb::test::program_path(QStringLiteral("nimbra_reelcast")), arguments);
    if (!process.waitForStarted(5000))
        return false;
    if (finished.isEmpty() && !finished.wait(timeout_ms)) {
        process.kill();
        process.waitForFinished(2000);
        return false;
    }
    exit_code_ = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    stderr_ = process.readAllStandardError();
    // Datagrams sent before the exit are queued at the receiver already.
    QCoreApplication::processEvents();
    return true;
}

void TestNimbraReelcast::initTestCase()
{
    QVERIFY(dir_.isValid());
    frames_ = nmb::test::mocap_frames({1'000'000, 1'020'000, 1'040'000});
    recording_ = nmb::test::write_recording(dir_, QStringLiteral("take.bin"), nmb::test::joined(frames_));
    QVERIFY(!recording_.isEmpty());
}

void TestNimbraReelcast::command_line_errors_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("message");

    const QString file = QStringLiteral("%FILE%");
    const QString port = QStringLiteral("%PORT%");
    const QByteArray pair = "UDP destination requires both --ip and --port.\n";
    const QByteArray usage = "Exactly one binary recording path is required.\n\nUsage: ";
    QTest::newRow("address without port") << QStringList{file, "--ip", "127.0.0.1"} << pair;
    QTest::newRow("port without address") << QStringList{file, "--port", port} << pair;
    QTest::newRow("port zero")
        << QStringList{file, "--ip", "127.0.0.1", "--port", "0"}
        << QByteArray("Invalid UDP destination port: 0\n");
    QTest::newRow("port above 65535")
        << QStringList{file, "--ip", "127.0.0.1", "--port", "70000"}
        << QByteArray("Invalid UDP destination port: 70000\n");
    QTest::newRow("port not a number")
        << QStringList{file, "--ip", "127.0.0.1", "--port", "http"}
        << QByteArray("Invalid UDP destination port: http\n");
    QTest::newRow("port with a sign")
        << QStringList{file, "--ip", "127.0.0.1", "--port", "+" + port}
        << QByteArray("Invalid UDP destination port: +%PORT%\n");
    QTest::newRow("address is a host name")
        << QStringList{file, "--ip", "localhost", "--port", port}
        << QByteArray("Invalid UDP destination IP address: localhost\n");
    QTest::newRow("address with a port")
        << QStringList{file, "--ip", "127.0.0.1:9000", "--port", port}
        << QByteArray("Invalid UDP destination IP address: 127.0.0.1:9000\n");
    QTest::newRow("rate zero") << QStringList{file, "--rate", "0"}
                               << QByteArray("Invalid playback rate: 0\n");
    QTest::newRow("rate negative") << QStringList{file, "--rate=-1"}
                                   << QByteArray("Invalid playback rate: -1\n");
    QTest::newRow("rate not a number") << QStringList{file, "-r", "abc"}
                                       << QByteArray("Invalid playback rate: abc\n");
    QTest::newRow("rate infinite") << QStringList{file, "--rate", "inf"}
                                   << QByteArray("Invalid playback rate: inf\n");
    QTest::newRow("rate nan") << QStringList{file, "--rate", "nan"}
                              << QByteArray("Invalid playback rate: nan\n");
    QTest::newRow("rate is checked before the destination")
        << QStringList{file, "--rate", "0", "--ip", "127.0.0.1"}
        << QByteArray("Invalid playback rate: 0\n");
    QTest::newRow("address is checked before the port")
        << QStringList{file, "--ip", "nowhere", "--port", "0"}
        << QByteArray("Invalid UDP destination IP address: nowhere\n");
    QTest::newRow("two recordings") << QStringList{file, file, "--ip", "127.0.0.1", "--port", port}
                                    << usage;
    QTest::newRow("loop without a recording") << QStringList{"--loop"} << usage;
    QTest::newRow("start negative") << QStringList{file, "--start", "-1"}
                                    << QByteArray("Invalid start time: -1\n");
    QTest::newRow("start not a number") << QStringList{file, "--start", "1:30"}
                                        << QByteArray("Invalid start time: 1:30\n");
    QTest::newRow("end zero") << QStringList{file, "--end", "0"} << QByteArray("Invalid end time: 0\n");
    QTest::newRow("end not after start") << QStringList{file, "--start", "2.5", "--end", "2.5"}
                                         << QByteArray("Invalid end time: 2.5\n");
    QTest::newRow("end infinite") << QStringList{file, "--end", "inf"}
                                  << QByteArray("Invalid end time: inf\n");
    QTest::newRow("maximum gap zero") << QStringList{file, "--max-gap", "0"}
                                      << QByteArray("Invalid maximum gap: 0\n");
    QTest::newRow("maximum gap not a number") << QStringList{file, "--max-gap", "soon"}
                                              << QByteArray("Invalid maximum gap: soon\n");
    QTest::newRow("times are checked after the destination")
        << QStringList{file, "--start", "x", "--ip", "nowhere", "--port", port}
        << QByteArray("Invalid UDP destination IP address: nowhere\n");
}

void TestNimbraReelcast::command_line_errors()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, message);

    UdpCapture receiver;
    QVERIFY(receiver.bind());
    const QString port = QString::number(receiver.port());
    for (QString& argument : arguments)
        argument.replace(QStringLiteral("%FILE%"), recording_).replace(QStringLiteral("%PORT%"), port);
    message.replace("%PORT%", port.toUtf8());

    QVERIFY(run(arguments));
    QCOMPARE(exit_code_, 2);
    if (message.endsWith("Usage: "))
        QVERIFY2(stderr_.startsWith(message), stderr_.constData());
    else
        QCOMPARE(stderr_, message);
    QCOMPARE(receiver.count(), 0);
}

void TestNimbraReelcast::plays_to_the_end_data()
{
    QTest::addColumn<QString>("address"); // where the receiver listens
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("sent");
    QTest::addColumn<QString>("log");

    const QString sending = QStringLiteral(
        "Playing '%FILE%' using frame timestamps at 1x. Sending each frame to %1:%PORT% over UDP.\n"
        "Playback finished: 3 frame(s).\n");
    QTest::newRow("IPv4 loopback") << "127.0.0.1" << QStringList{"%FILE%", "--ip", "127.0.0.1", "--port", "%PORT%"}
                                   << true << sending.arg("127.0.0.1");
    QTest::newRow("IPv6 loopback") << "::1" << QStringList{"%FILE%", "--ip", "::1", "--port", "%PORT%"} << true
                                   << sending.arg("::1");
    QTest::newRow("local-file URL") << "127.0.0.1"
                                    << QStringList{"%URL%", "--ip", "127.0.0.1", "--port", "%PORT%"} << true
                                    << sending.arg("127.0.0.1");
    QTest::newRow("nobody listening") << "" << QStringList{"%FILE%", "--ip", "127.0.0.1", "--port", "%PORT%"}
                                      << false << sending.arg("127.0.0.1");
    QTest::newRow("no destination") << "127.0.0.1" << QStringList{"%FILE%", "--rate", "2.5"} << false
                                    << "Playing '%FILE%' using frame timestamps at 2.5x.\n"
                                       "Playback finished: 3 frame(s).\n";
}

void TestNimbraReelcast::plays_to_the_end()
{
    QFETCH(QString, address);
    QFETCH(QStringList, arguments);
    QFETCH(bool, sent);
    QFETCH(QString, log);

    UdpCapture receiver;
    quint16 port = 0;
    if (address.isEmpty()) {
        // A port that was just free: datagrams to it are refused by the
        // system, which must not count as a send error.
        UdpCapture probe;
        QVERIFY(probe.bind());
        port = probe.port();
    } else {
        if (!receiver.bind(QHostAddress(address)))
            QSKIP("this loopback address is not available here");
        port = receiver.port();
    }
    const QString url = QUrl::fromLocalFile(recording_).toString();
    for (QString& argument : arguments)
        argument.replace("%FILE%", recording_).replace("%URL%", url).replace("%PORT%", QString::number(port));

    QVERIFY(run(arguments));
    QCOMPARE(exit_code_, 0);
    QCOMPARE(QString::fromUtf8(stderr_),
             log.replace("%FILE%", recording_).replace("%PORT%", QString::number(port)));
    QCOMPARE(receiver.payloads(), sent ? frames_ : QList<QByteArray>());
}

void TestNimbraReelcast::rate_changes_the_spacing_data()
{
    QTest::addColumn<QString>("rate");
    QTest::addColumn<double>("expected_ms"); // first to last frame
    QTest::newRow("rate 1") << QStringLiteral("1") << 300.0;
    QTest::newRow("rate 2") << QStringLiteral("2") << 150.0;
    QTest::newRow("rate 0.5") << QStringLiteral("0.5") << 600.0;
}

void TestNimbraReelcast::rate_changes_the_spacing()
{
    QFETCH(QString, rate);
    QFETCH(double, expected_ms);
    const QList<QByteArray> frames = nmb::test::evenly_spaced_frames(4, 100'000);
    const QString path = nmb::test::write_recording(dir_, QStringLiteral("spaced.bin"), nmb::test::joined(frames));
    UdpCapture receiver;
    QVERIFY(receiver.bind());

    QVERIFY(run({path, "--rate", rate, "--ip", "127.0.0.1", "--port", QString::number(receiver.port())}));
    QCOMPARE(exit_code_, 0);
    QCOMPARE(receiver.payloads(), frames);
    QVERIFY(stderr_.startsWith(QStringLiteral("Playing '%1' using frame timestamps at %2x. ")
                                   .arg(path, rate)
                                   .toUtf8()));
    // Frames are never early; lateness is bounded generously.
    for (qsizetype i = 1; i < frames.size(); ++i) {
        const double gap = receiver.span_ms(i - 1, i);
        QVERIFY2(gap >= 0.0, qPrintable(QString::number(gap)));
    }
    const double span = receiver.span_ms(0, frames.size() - 1);
    QVERIFY2(span >= expected_ms * 0.95 && span <= expected_ms + 150.0,
             qPrintable(QStringLiteral("span %1 ms").arg(span)));
}

void TestNimbraReelcast::loop_restarts_at_once()
{
    UdpCapture receiver;
    QVERIFY(receiver.bind());
    QProcess process;
    process.start(nmb::test::program_path(QStringLiteral("nimbra_reelcast")),
                  {recording_, "--loop", "--ip", "127.0.0.1", "--port", QString::number(receiver.port())});
    QVERIFY(process.waitForStarted(5000));
    QTRY_VERIFY_WITH_TIMEOUT(receiver.count() >= 7, 10000);
    process.kill();
    process.waitForFinished(5000);

    const QList<QByteArray> received = receiver.payloads().mid(0, 7);
    QCOMPARE(received, (QList<QByteArray>{frames_[0], frames_[1], frames_[2], frames_[0], frames_[1],
                                          frames_[2], frames_[0]}));
    // The first frame of the next pass follows the last frame at once, not
    // after the 20 ms the recording's frames are apart.
    QVERIFY2(receiver.span_ms(2, 3) < 15.0, qPrintable(QString::number(receiver.span_ms(2, 3))));
    QVERIFY(process.readAllStandardError().startsWith(
        QStringLiteral("Playing '%1' using frame timestamps at 1x in a loop. ").arg(recording_).toUtf8()));
}

void TestNimbraReelcast::playback_errors_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("loop");
    QTest::addColumn<int>("frames_sent");
    QTest::addColumn<QString>("error");

    const QList<QByteArray> frames = nmb::test::mocap_frames({0, 10'000, 20'000});
    const QByteArray three = nmb::test::joined(frames);
    QByteArray damaged = frames[1];
    damaged[100] = char(damaged[100] ^ 0x10);
    const QByteArray oversized_payload =
        nmb::test::timestamp_frame(30'000).mid(6, 8) + QByteArray(65535 - 8, '\x01');

    QTest::newRow("empty recording") << QByteArray() << false << 0 << "Recording is empty.";
    QTest::newRow("first frame of ID 1")
        << nmb::test::frame_bytes(1, QByteArray(16, '\0')) + three << false << 0
        << "Frame has no usable timestamp.";
    QTest::newRow("frame of ID 1 after two frames")
        << frames[0] + frames[1] + nmb::test::frame_bytes(1, {}) << false << 2
        << "Frame has no usable timestamp.";
    QTest::newRow("truncated last frame") << three + frames[0].left(900) << false << 3
                                          << "Truncated frame payload.";
    QTest::newRow("truncated last frame in a loop") << three + frames[0].left(900) << true << 3
                                                    << "Truncated frame payload.";
    QTest::newRow("last frame cut inside its header") << three + frames[0].left(4) << true << 3
                                                      << "Truncated frame header.";
    QTest::newRow("CRC mismatch in the first frame") << damaged + three << false << 0
                                                     << "Frame CRC mismatch.";
    QTest::newRow("CRC mismatch in the second frame") << frames[0] + damaged + frames[2] << false
                                                      << 1 << "Frame CRC mismatch.";
    QTest::newRow("garbage after the frames") << three + QByteArray("garbage!") << true << 3
                                              << "Invalid frame header.";
    QTest::newRow("frame too large for a datagram")
        << frames[0] + nmb::test::frame_bytes(0, oversized_payload) << false << 1
        << "Failed to send complete frame over UDP.";
}

void TestNimbraReelcast::playback_errors()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, loop);
    QFETCH(int, frames_sent);
    QFETCH(QString, error);

    const QString path = nmb::test::write_recording(dir_, QStringLiteral("damaged.bin"), bytes);
    UdpCapture receiver;
    QVERIFY(receiver.bind());
    QStringList arguments{path, "--ip", "127.0.0.1", "--port", QString::number(receiver.port())};
    if (loop)
        arguments << "--loop";

    QVERIFY(run(arguments));
    QCOMPARE(exit_code_, 1);
    QCOMPARE(receiver.count(), qsizetype(frames_sent));
    QVERIFY2(receiver.payloads() == nmb::test::mocap_frames({0, 10'000, 20'000}).mid(0, frames_sent),
             "the whole frames before the damage go out unchanged");
    const QStringList lines = QString::fromUtf8(stderr_).split('\n', Qt::SkipEmptyParts);
    QVERIFY(!lines.isEmpty());
    QCOMPARE(lines.last(), QStringLiteral("Playback error: ") + error);
    QVERIFY(!stderr_.contains("Playback finished"));
    // A recording that cannot start never announces playback.
    QCOMPARE(lines.first().startsWith(QStringLiteral("Playing '")), frames_sent > 0);
}

void TestNimbraReelcast::thousand_hertz_keeps_pace()
{
    // Small frames so that the receiver's buffer holds a burst easily.
    QList<QByteArray> frames;
    for (quint64 i = 0; i <= 2000; ++i)
        frames.append(nmb::test::timestamp_frame(5'000'000 + i * 1000));
    const QString path = nmb::test::write_recording(dir_, QStringLiteral("fast.bin"), nmb::test::joined(frames));
    UdpCapture receiver;
    QVERIFY(receiver.bind());

    QVERIFY(run({path, "--ip", "127.0.0.1", "--port", QString::number(receiver.port())}));
    QCOMPARE(exit_code_, 0);
    QCOMPARE(receiver.count(), frames.size());
    QCOMPARE(receiver.payloads(), frames);
    const double span = receiver.span_ms(0, frames.size() - 1);
    QVERIFY2(span >= 1990.0 && span <= 2200.0, qPrintable(QStringLiteral("span %1 ms").arg(span)));
}

void TestNimbraReelcast::play_window_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QList<int>>("sent"); // indexes of the frames that arrive, in order
    QTest::addColumn<int>("exit_code");   // -1: a loop, ended once the frames arrived
    QTest::addColumn<QString>("last_line");

    // The take: 10 frames 50 ms apart.
    QTest::newRow("start") << QStringList{"--start", "0.2"} << QList<int>{4, 5, 6, 7, 8, 9} << 0
                           << "Playback finished: 10 frame(s).";
    QTest::newRow("start between frames") << QStringList{"--start", "0.21"}
                                          << QList<int>{5, 6, 7, 8, 9} << 0
                                          << "Playback finished: 10 frame(s).";
    QTest::newRow("end") << QStringList{"--end", "0.15"} << QList<int>{0, 1, 2} << 0
                         << "Playback finished: 3 frame(s).";
    QTest::newRow("start and end") << QStringList{"--start", "0.1", "--end", "0.26"}
                                   << QList<int>{2, 3, 4, 5} << 0 << "Playback finished: 6 frame(s).";
    QTest::newRow("loop between start and end")
        << QStringList{"--start", "0.35", "--end", "0.45", "--loop"} << QList<int>{7, 8, 7, 8, 7}
        << -1 << "";
    QTest::newRow("start at the last frame") << QStringList{"--start", "0.45"} << QList<int>{9} << 0
                                             << "Playback finished: 10 frame(s).";
    QTest::newRow("start past the last frame")
        << QStringList{"--start", "0.4501"} << QList<int>{} << 1
        << "Playback error: Start time is beyond the end of the recording.";
}

void TestNimbraReelcast::play_window()
{
    QFETCH(QStringList, options);
    QFETCH(QList<int>, sent);
    QFETCH(int, exit_code);
    QFETCH(QString, last_line);

    const QList<QByteArray> frames = nmb::test::evenly_spaced_frames(10, 50'000, 2'000'000);
    const QString path = nmb::test::write_recording(dir_, QStringLiteral("window.bin"), nmb::test::joined(frames));
    UdpCapture receiver;
    QVERIFY(receiver.bind());
    const QStringList arguments =
        QStringList{path, "--ip", "127.0.0.1", "--port", QString::number(receiver.port())} + options;
    if (exit_code >= 0) {
        QVERIFY(run(arguments));
        QCOMPARE(exit_code_, exit_code);
        QCOMPARE(QString::fromUtf8(stderr_).split('\n', Qt::SkipEmptyParts).last(), last_line);
    } else {
        QProcess process;
        process.start(nmb::test::program_path(QStringLiteral("nimbra_reelcast")), arguments);
        QVERIFY(process.waitForStarted(5000));
        QTRY_VERIFY_WITH_TIMEOUT(receiver.count() >= sent.size(), 10000);
        process.kill();
        process.waitForFinished(5000);
    }
    QList<QByteArray> expected;
    for (int index : sent)
        expected.append(frames[index]);
    QCOMPARE(receiver.payloads().mid(0, expected.size()), expected);
    if (exit_code >= 0)
        QCOMPARE(receiver.count(), expected.size());
    // The frames of the window keep their spacing (the take's time, not
    // the time skipped before the window).
    if (exit_code >= 0 && expected.size() > 1) {
        const double span = receiver.span_ms(0, expected.size() - 1);
        const double expected_ms = 50.0 * double(expected.size() - 1);
        QVERIFY2(span >= expected_ms * 0.95 && span <= expected_ms + 1000.0,
                 qPrintable(QStringLiteral("span %1 ms").arg(span)));
    }
}

void TestNimbraReelcast::max_gap_caps_the_wait()
{
    // A 3 s pause in the take is cut to the cap; the frames after it keep
    // their 20 ms spacing.
    const QList<QByteArray> frames =
        nmb::test::mocap_frames({1'000'000, 1'020'000, 4'020'000, 4'040'000, 4'060'000});
    const QString path = nmb::test::write_recording(dir_, QStringLiteral("gap.bin"), nmb::test::joined(frames));
    UdpCapture receiver;
    QVERIFY(receiver.bind());
    QVERIFY(run({path, "--max-gap", "0.25", "--ip", "127.0.0.1", "--port", QString::number(receiver.port())}));
    QCOMPARE(exit_code_, 0);
    QCOMPARE(receiver.payloads(), frames);
    // Frames are never early against the first one (the playback clock
    // starts there): the one after the pause is due 20 ms + the cap after
    // it, the last one 40 ms later; late timers may bunch frames in
    // between. Without the cap the take would last 3 s.
    const double to_gap_end = receiver.span_ms(0, 2);
    QVERIFY2(to_gap_end >= 0.95 * 270.0, qPrintable(QStringLiteral("%1 ms").arg(to_gap_end)));
    const double span = receiver.span_ms(0, 4);
    QVERIFY2(span >= 0.95 * 310.0 && span <= 2000.0, qPrintable(QStringLiteral("span %1 ms").arg(span)));
}

QTEST_GUILESS_MAIN(TestNimbraReelcast)
#include "tst_nimbra_reelcast.moc"
