// The replay program on damaged recordings: a garbage tail, a long pause in
// the timestamps, timestamps that step backwards. Playback never hangs, every
// whole frame before the damage goes out unchanged, and the log and the exit
// code say how it ended.

#include <nmb/playback/recorded_frame_reader.h>
#include <nmb/test/recordings.h>

#include <nmb/test/programs.h>
#include <nmb/test/udp_capture.h>

#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using nmb::reelcast::ReadStatus;
using nmb::reelcast::RecordedFrameReader;
using nmb::test::UdpCapture;

namespace {

// Seconds of recording time around each fault; at 120 Hz.
constexpr int FRAMES_PER_SIDE = 60;
constexpr quint64 SPACING_US = 8333;
constexpr quint64 MINUTE_US = 60'000'000;

// Longest a run may take before the test calls it a hang: far above the
// half second of playing each recording needs, far below any stall.
constexpr int RUN_LIMIT_MS = 30000;

struct Run {
    bool ended = false;
    int exit_code = -1;
    QString log;
};

// Runs nimbra_reelcast to its end (killed after RUN_LIMIT_MS) while the
// receiver keeps reading.
Run replay(const QStringList& arguments)
{
    Run run;
    QProcess process;
    QSignalSpy finished(&process, &QProcess::finished);
    process.start(nmb::test::program_path(QStringLiteral("nimbra_reelcast")), arguments);
    if (!process.waitForStarted(10000))
        return run;
    if (finished.isEmpty() && !finished.wait(RUN_LIMIT_MS)) {
        process.kill();
        process.waitForFinished(5000);
        run.log = QString::fromUtf8(process.readAllStandardError());
        return run;
    }
    run.ended = true;
    run.exit_code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.log = QString::fromUtf8(process.readAllStandardError());
    // Datagrams sent before the exit are queued at the receiver already.
    QCoreApplication::processEvents();
    return run;
}

QStringList log_lines(const QString& log)
{
    return log.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// The whole frames of a recording file, read the way the replay reads them.
QList<QByteArray> whole_frames(const QString& path)
{
    QList<QByteArray> frames;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return frames;
    RecordedFrameReader reader(file);
    QByteArray frame;
    for (int i = 0; i < 100000 && reader.read_next(frame) == ReadStatus::Ok; ++i)
        frames << frame;
    return frames;
}

QByteArray random_bytes(int size, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char& byte : bytes)
        byte = char(random.bounded(256));
    return bytes;
}

// FRAMES_PER_SIDE frames from `first_us`, SPACING_US apart.
QList<QByteArray> side(quint64 first_us, float seed)
{
    QList<QByteArray> frames;
    for (int i = 0; i < FRAMES_PER_SIDE; ++i)
        frames << nmb::test::mocap_frame_bytes(first_us + quint64(i) * SPACING_US, seed + float(i));
    return frames;
}

} // namespace

class TestNimbraReelcastFaults : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void damage_ends_playback_after_the_last_whole_frame_data();
    void damage_ends_playback_after_the_last_whole_frame();
    void timestamp_faults_never_stall_data();
    void timestamp_faults_never_stall();

private:
    // A take of `frames` frames written by the synthetic source with
    // `faults` (its fault options); empty when the source failed.
    QString synthetic_take(const QString& name, int frames, const QStringList& faults);

    QTemporaryDir dir_;
};

void TestNimbraReelcastFaults::initTestCase()
{
    QVERIFY(dir_.isValid());
}

QString TestNimbraReelcastFaults::synthetic_take(const QString& name, int frames, const QStringList& faults)
{
    const QString path = dir_.filePath(name);
    const nmb::test::ProgramRun run = nmb::test::run_program(
        QStringLiteral("nimbra_mocap_synth"),
        QStringList{"--output", path, "--rate", "120", "--frames", QString::number(frames)} + faults, 30000);
    if (!run.finished || run.exit_status != QProcess::NormalExit || run.exit_code != 0) {
        qWarning().noquote() << "synthetic source failed:" << run.standard_error;
        return {};
    }
    return path;
}

void TestNimbraReelcastFaults::damage_ends_playback_after_the_last_whole_frame_data()
{
    QTest::addColumn<QStringList>("faults");  // fault options of the synthetic source
    QTest::addColumn<QByteArray>("tail");     // appended to its take
    QTest::addColumn<bool>("loop");
    QTest::addColumn<int>("frames_played");
    QTest::addColumn<QString>("error");

    QByteArray noise = random_bytes(4096, 7);
    noise[0] = char(0x3C); // anything but the first sync byte
    QByteArray header_claiming_more = QByteArray("\xAA\x55\x00\x00\xFF\xFF", 6) + random_bytes(200, 8);
    const QByteArray wrong_checksum = [] {
        QByteArray frame = nmb::test::mocap_frame_bytes(99'000'000, 3.0f);
        frame[frame.size() - 1] = char(frame[frame.size() - 1] ^ 0x01);
        return frame;
    }();

    QTest::newRow("four kilobytes of noise after the frames")
        << QStringList() << noise << false << 60 << "Invalid frame header.";
    QTest::newRow("noise after the frames, in a loop")
        << QStringList() << noise << true << 60 << "Invalid frame header.";
    QTest::newRow("a header claiming more bytes than are left")
        << QStringList() << header_claiming_more << false << 60 << "Truncated frame payload.";
    QTest::newRow("three bytes of a header")
        << QStringList() << QByteArray("\xAA\x55\x00", 3) << true << 60 << "Truncated frame header.";
    QTest::newRow("a whole frame with a wrong checksum")
        << QStringList() << wrong_checksum << false << 60 << "Frame CRC mismatch.";
    QTest::newRow("last frame cut short by the source")
        << QStringList{"--truncate-tail", "100"} << QByteArray() << false << 59
        << "Truncated frame payload.";
    QTest::newRow("noise between frames 30 and 31")
        << QStringList{"--garbage-at", "30"} << QByteArray() << false << 30 << "Invalid frame header.";
    QTest::newRow("wrong checksum on the last frame")
        << QStringList{"--bad-crc-at", "59"} << QByteArray() << true << 59 << "Frame CRC mismatch.";
}

void TestNimbraReelcastFaults::damage_ends_playback_after_the_last_whole_frame()
{
    QFETCH(QStringList, faults);
    QFETCH(QByteArray, tail);
    QFETCH(bool, loop);
    QFETCH(int, frames_played);
    QFETCH(QString, error);

    const QString path = synthetic_take(QStringLiteral("damaged.bin"), FRAMES_PER_SIDE, faults);
    QVERIFY(!path.isEmpty());
    const QList<QByteArray> frames = whole_frames(path);
    QCOMPARE(frames.size(), qsizetype(frames_played));
    if (!tail.isEmpty()) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::Append));
        QCOMPARE(file.write(tail), tail.size());
    }

    UdpCapture receiver;
    QVERIFY(receiver.bind());
    // A fast rate keeps the run short; the pacing is not under test here.
    QStringList arguments{path, "--rate", "20", "--ip", "127.0.0.1", "--port", QString::number(receiver.port())};
    if (loop)
        arguments << "--loop";
    const Run run = replay(arguments);
    QVERIFY2(run.ended, qPrintable("no end within the limit: " + run.log));
    QCOMPARE(run.exit_code, 1);
    QCOMPARE(receiver.payloads(), frames);
    const QStringList lines = log_lines(run.log);
    QVERIFY(!lines.isEmpty());
    QVERIFY2(lines.first().startsWith(QStringLiteral("Playing '%1' ").arg(path)), qPrintable(run.log));
    QCOMPARE(lines.last(), QStringLiteral("Playback error: ") + error);
    QVERIFY(!run.log.contains(QStringLiteral("Playback finished")));
}

void TestNimbraReelcastFaults::timestamp_faults_never_stall_data()
{
    QTest::addColumn<quint64>("second_start_us"); // first timestamp after the fault
    QTest::addColumn<QString>("rate");
    QTest::addColumn<double>("fault_wait_ms");    // what the pause before it costs

    const quint64 first_start = 700'000'000;
    const quint64 last_before = first_start + (FRAMES_PER_SIDE - 1) * SPACING_US;
    QTest::newRow("ten-minute pause") << last_before + 10 * MINUTE_US << "2" << 0.0;
    QTest::newRow("pause just over a minute") << last_before + MINUTE_US + 1 << "2" << 0.0;
    QTest::newRow("pause of exactly a minute, at 200x")
        << last_before + MINUTE_US << "200" << 300.0;
    QTest::newRow("step back by five seconds") << last_before - 5'000'000 << "2" << 0.0;
    QTest::newRow("step back to zero") << quint64(0) << "2" << 0.0;
    QTest::newRow("step back by one microsecond") << last_before - 1 << "2" << 0.0;
}

void TestNimbraReelcastFaults::timestamp_faults_never_stall()
{
    QFETCH(quint64, second_start_us);
    QFETCH(QString, rate);
    QFETCH(double, fault_wait_ms);

    const QList<QByteArray> frames = side(700'000'000, 0.0f) + side(second_start_us, 100.0f);
    const QString path = nmb::test::write_recording(dir_, QStringLiteral("paused.bin"), nmb::test::joined(frames));
    QVERIFY(!path.isEmpty());

    UdpCapture receiver;
    QVERIFY(receiver.bind());
    const Run run = replay({path, "--rate", rate, "--ip", "127.0.0.1", "--port", QString::number(receiver.port())});
    QVERIFY2(run.ended, qPrintable("no end within the limit: " + run.log));
    QCOMPARE(run.exit_code, 0);
    QCOMPARE(log_lines(run.log).last(),
             QStringLiteral("Playback finished: %1 frame(s).").arg(frames.size()));
    QCOMPARE(receiver.payloads(), frames);

    // Each side keeps its own spacing; the fault costs at most what the
    // scheduler allows for it. Frames are never early on the schedule, which
    // is absolute: a late frame before the fault shortens the gap after it,
    // so the lower bound counts from the first frame. Lateness is bounded
    // generously.
    const double side_ms = double((FRAMES_PER_SIDE - 1) * SPACING_US) / 1000.0 / rate.toDouble();
    const double across = receiver.span_ms(FRAMES_PER_SIDE - 1, FRAMES_PER_SIDE);
    const double to_second_side = receiver.span_ms(0, FRAMES_PER_SIDE);
    QVERIFY2(to_second_side >= (side_ms + fault_wait_ms) * 0.95 && across <= fault_wait_ms + 1000.0,
             qPrintable(QStringLiteral("%1 ms across the fault, %2 ms to the frame after it")
                            .arg(across).arg(to_second_side)));
    const double total = receiver.span_ms(0, frames.size() - 1);
    const double expected = 2 * side_ms + fault_wait_ms;
    QVERIFY2(total >= expected * 0.95 && total <= expected + 2000.0,
             qPrintable(QStringLiteral("%1 ms in all, %2 ms expected").arg(total).arg(expected)));
}

QTEST_GUILESS_MAIN(TestNimbraReelcastFaults)
#include "tst_nimbra_reelcast_faults.moc"
