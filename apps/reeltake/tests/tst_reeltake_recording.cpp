#include "reeltake_process.h"

#include <nmb/test/frames.h>
#include <nmb/test/programs.h>
#include <nmb/test/udp_capture.h>
#include <nmb/udp_adapter.h>

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <sys/resource.h>

namespace {

QByteArray file_contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

qint64 size_on_disk(const QString& path)
{
    return QFileInfo(path).size();
}

qsizetype count_lines_starting_with(const QStringList& lines, const QString& prefix)
{
    return std::count_if(lines.begin(), lines.end(),
                         [&prefix](const QString& line) { return line.startsWith(prefix); });
}

// An ID-0 frame of `size` bytes in all (at least 18) carrying `timestamp_us`,
// so the replay program can pace it.
QByteArray timed_frame(quint64 timestamp_us, int size, std::uint8_t fill)
{
    QByteArray payload(size - 10, char(fill));
    for (int i = 0; i < 8; ++i)
        payload[i] = char((timestamp_us >> (8 * i)) & 0xFF);
    return nmb::test::frame_bytes(0, payload);
}

QString summary(qsizetype datagrams, qsizetype bytes, const QString& file)
{
    return QString("Recording stopped: %1 datagram(s), %2 byte(s), file %3").arg(datagrams).arg(bytes).arg(file);
}

} // namespace

// Recording runs of the real program, ended by signals, kills and errors.
class TestReeltakeRecording : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void stop_signal_ends_the_run_cleanly_data();
    void stop_signal_ends_the_run_cleanly();
    void killed_recorder_keeps_what_arrived_before_the_last_second();
    void killed_mid_stream_leaves_a_replayable_recording_data();
    void killed_mid_stream_leaves_a_replayable_recording();
    void second_sigint_during_shutdown_changes_nothing();
    void write_errors_print_one_line();
};

void TestReeltakeRecording::stop_signal_ends_the_run_cleanly_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<QList<QByteArray>>("datagrams");
    QList<QByteArray> frames;
    for (int i = 0; i < 25; ++i)
        frames << nmb::test::mocap_frame_bytes(5000000 + quint64(i) * 8333, float(i));
    QTest::newRow("SIGINT after mocap frames") << int(SIGINT) << frames;
    QTest::newRow("SIGTERM after datagrams of 10, 0 and 20 bytes")
        << int(SIGTERM) << QList<QByteArray>{QByteArray(10, 'a'), QByteArray(), QByteArray(20, 'b')};
}

void TestReeltakeRecording::stop_signal_ends_the_run_cleanly()
{
    QFETCH(int, signal);
    QFETCH(QList<QByteArray>, datagrams);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    ReeltakeProcess recorder;
    QVERIFY(recorder.start(dir.path(), {"-d", dir.path()}));

    nmb::UdpAdapter sender;
    QByteArray expected;
    for (const QByteArray& datagram : datagrams) {
        QCOMPARE(sender.write(datagram, QHostAddress::LocalHost, recorder.port), datagram.size());
        expected += datagram;
    }
    // Everything has been received once it reached the file (the empty
    // datagram travelled between the others).
    QTRY_COMPARE_WITH_TIMEOUT(size_on_disk(recorder.file_name), expected.size(), 10000);

    QVERIFY(recorder.send_signal(signal));
    QVERIFY(recorder.wait_for_end());
    QCOMPARE(recorder.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(recorder.process.exitCode(), 0);
    const QStringList lines = recorder.error_lines();
    QCOMPARE(lines.constLast(), summary(datagrams.size(), expected.size(), recorder.file_name));
    QCOMPARE(count_lines_starting_with(lines, "Recording error:"), 0);
    QCOMPARE(file_contents(recorder.file_name), expected);
}

void TestReeltakeRecording::killed_recorder_keeps_what_arrived_before_the_last_second()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    ReeltakeProcess recorder;
    QVERIFY(recorder.start(dir.path(), {}));

    // A slow stream of small datagrams: far less than any write buffer, so
    // only the recorder's own periodic flush puts it into the file.
    nmb::UdpAdapter sender;
    QByteArray sent;
    int sequence = 0;
    QTimer stream;
    QObject::connect(&stream, &QTimer::timeout, &sender, [&] {
        const QByteArray datagram = nmb::test::patterned_frame(9, 90, std::uint8_t(sequence++));
        if (sender.write(datagram, QHostAddress::LocalHost, recorder.port) == datagram.size())
            sent += datagram;
    });
    stream.start(20);
    QTRY_VERIFY_WITH_TIMEOUT(size_on_disk(recorder.file_name) > 0, 10000);
    QVERIFY2(stream.isActive() && sent.size() < 16384, "the file grew while datagrams still arrived");
    stream.stop();

    QTRY_COMPARE_WITH_TIMEOUT(size_on_disk(recorder.file_name), sent.size(), 10000);
    recorder.process.kill();
    QVERIFY(recorder.wait_for_end());
    QCOMPARE(recorder.process.exitStatus(), QProcess::CrashExit);
    QCOMPARE(file_contents(recorder.file_name), sent);
}

void TestReeltakeRecording::killed_mid_stream_leaves_a_replayable_recording_data()
{
    QTest::addColumn<int>("frame_size");
    QTest::addColumn<int>("interval_ms"); // between two frames
    QTest::addColumn<int>("split");       // bytes of each frame in its first datagram; 0: whole

    // Small frames come far slower than the write buffer fills: only the
    // recorder's periodic flush puts them into the file before the kill.
    QTest::newRow("small frames at 50 Hz") << 60 << 20 << 0;
    QTest::newRow("frames of Mocap size at 125 Hz") << 1860 << 8 << 0;
    QTest::newRow("frames of Mocap size split over two datagrams") << 1860 << 8 << 1000;
}

void TestReeltakeRecording::killed_mid_stream_leaves_a_replayable_recording()
{
    QFETCH(int, frame_size);
    QFETCH(int, interval_ms);
    QFETCH(int, split);
    // What the file must hold: everything sent up to one flush interval
    // before the kill, plus a generous allowance for a loaded machine.
    constexpr qint64 FLUSH_MS = 1000;
    constexpr qint64 ALLOWANCE_MS = 1500;
    constexpr qint64 STREAM_MS = 3000;

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    ReeltakeProcess recorder;
    QVERIFY(recorder.start(dir.path(), {}));

    // The stream: frames with timestamps that match their sending times,
    // each in one datagram or split over two; the end of every frame is
    // kept with the time its last byte went out.
    struct Sent {
        qint64 end = 0;     // offset after the frame in the stream
        qint64 at_ms = 0;   // when its last datagram went out
    };
    nmb::UdpAdapter sender;
    QByteArray stream;
    QList<QByteArray> frames;
    QList<Sent> sent;
    QElapsedTimer clock;
    bool send_failed = false;
    const auto send = [&](const QByteArray& datagram) {
        if (sender.write(datagram, QHostAddress::LocalHost, recorder.port) != datagram.size())
            send_failed = true;
        stream += datagram;
    };
    QTimer ticks;
    ticks.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticks, &QTimer::timeout, &sender, [&] {
        const qsizetype index = frames.size();
        const QByteArray frame = timed_frame(5'000'000 + quint64(index) * quint64(interval_ms) * 1000,
                                             frame_size, std::uint8_t(index));
        if (split > 0) {
            send(frame.left(split));
            send(frame.mid(split));
        } else {
            send(frame);
        }
        frames << frame;
        sent << Sent{stream.size(), clock.elapsed()};
    });
    clock.start();
    ticks.start(interval_ms);

    // Kill while the stream still runs.
    QTRY_VERIFY_WITH_TIMEOUT(clock.elapsed() >= STREAM_MS, STREAM_MS + 10000);
    QVERIFY(ticks.isActive());
    const qint64 killed_at = clock.elapsed();
    recorder.process.kill();
    QVERIFY(recorder.wait_for_end());
    ticks.stop();
    QVERIFY(!send_failed);
    QCOMPARE(recorder.process.exitStatus(), QProcess::CrashExit);

    // The file is the stream up to some point, with nothing lost or added
    // before it, and that point is no earlier than the flush allows.
    const QByteArray recorded = file_contents(recorder.file_name);
    QVERIFY2(stream.startsWith(recorded), "the file holds exactly the start of the stream");
    qint64 committed = 0;
    qsizetype whole = 0;
    for (const Sent& frame : sent) {
        if (frame.at_ms <= killed_at - FLUSH_MS - ALLOWANCE_MS)
            committed = frame.end;
        if (frame.end <= recorded.size())
            ++whole;
    }
    QVERIFY(committed > 0);
    QVERIFY2(recorded.size() >= committed,
             qPrintable(QStringLiteral("%1 bytes in the file, %2 sent more than %3 ms before the kill")
                            .arg(recorded.size())
                            .arg(committed)
                            .arg(FLUSH_MS + ALLOWANCE_MS)));

    // Every whole frame of the file replays; a cut frame at its end is
    // reported as such.
    nmb::test::UdpCapture receiver;
    QVERIFY(receiver.bind());
    const nmb::test::ProgramRun replay = nmb::test::run_program(
        "nimbra_reelcast",
        {recorder.file_name, "--rate", "50", "--ip", "127.0.0.1", "--port", QString::number(receiver.port())},
        30000);
    QVERIFY(replay.finished);
    QCoreApplication::processEvents();
    QCOMPARE(receiver.payloads(), frames.mid(0, whole));
    const qint64 cut = recorded.size() - (whole > 0 ? sent[whole - 1].end : 0);
    const QStringList lines = QString::fromUtf8(replay.standard_error).split('\n', Qt::SkipEmptyParts);
    QVERIFY(!lines.isEmpty());
    if (cut == 0) {
        QCOMPARE(replay.exit_code, 0);
        QCOMPARE(lines.last(), QStringLiteral("Playback finished: %1 frame(s).").arg(whole));
    } else {
        QCOMPARE(replay.exit_code, 1);
        QCOMPARE(lines.last(), cut < 6 ? QStringLiteral("Playback error: Truncated frame header.")
                                       : QStringLiteral("Playback error: Truncated frame payload."));
    }
}

void TestReeltakeRecording::second_sigint_during_shutdown_changes_nothing()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    ReeltakeProcess recorder;
    QVERIFY(recorder.start(dir.path(), {}));
    nmb::UdpAdapter sender;
    const QByteArray frame = nmb::test::mocap_frame_bytes(42);
    QCOMPARE(sender.write(frame, QHostAddress::LocalHost, recorder.port), frame.size());
    QTRY_COMPARE_WITH_TIMEOUT(size_on_disk(recorder.file_name), frame.size(), 10000);

    QVERIFY(recorder.send_signal(SIGINT));
    recorder.send_signal(SIGINT);
    // Once the summary is out the program is closing down; one more
    // interrupt must not turn the orderly end into a signal death.
    QVERIFY(nmb::test::wait_for_stderr(recorder.process, "Recording stopped:", recorder.standard_error));
    recorder.send_signal(SIGINT);
    QVERIFY(recorder.wait_for_end());
    QCOMPARE(recorder.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(recorder.process.exitCode(), 0);
    const QStringList lines = recorder.error_lines();
    QCOMPARE(count_lines_starting_with(lines, "Recording stopped:"), 1);
    QCOMPARE(lines.constLast(), summary(1, frame.size(), recorder.file_name));
    QCOMPARE(file_contents(recorder.file_name), frame);
}

void TestReeltakeRecording::write_errors_print_one_line()
{
    // A file size limit of zero makes every write that reaches the file fail
    // (as a full disk would), both while recording and when closing.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    ReeltakeProcess recorder;
    recorder.process.setChildProcessModifier([] {
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{};
        ::getrlimit(RLIMIT_FSIZE, &limit);
        limit.rlim_cur = 0;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    });
    QVERIFY(recorder.start(dir.path(), {}));

    nmb::UdpAdapter sender;
    for (const int size : {10, 20000, 20000})
        QCOMPARE(sender.write(QByteArray(size, 'z'), QHostAddress::LocalHost, recorder.port), size);
    QVERIFY(recorder.wait_for_end());
    QCOMPARE(recorder.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(recorder.process.exitCode(), 1);
    const QStringList lines = recorder.error_lines();
    QCOMPARE(count_lines_starting_with(lines, "Recording error:"), 1);
    QVERIFY2(lines.constLast().startsWith("Recording stopped: "), qPrintable(lines.constLast()));
    QVERIFY(lines.constLast().endsWith(" byte(s), file " + recorder.file_name));
    QCOMPARE(size_on_disk(recorder.file_name), 0);
}

QTEST_GUILESS_MAIN(TestReeltakeRecording)
#include "tst_reeltake_recording.moc"
