#include <nmb/protocol/mocap_decoder.h>
#include <nmb/protocol/frame.h>
#include <nmb/protocol/joint_tables.h>
#include <nmb/protocol/mocap_frame.h>
#include <nmb/test/programs.h>
#include <nmb/udp_adapter.h>

#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <cstring>

#include <signal.h>

using nmb::codec::DecodeResult;
using nmb::protocol::MocapFrame;
using nmb::test::run_program;

namespace {

using Decoder = nmb::codec::MocapDecoder;

const QString PROGRAM = QStringLiteral("nimbra_mocap_synth");

struct Decoded {
    QString letters; // R frame, S other ID, L length too large, C checksum mismatch
    QList<MocapFrame> frames;
};

Decoded decode(const QByteArray& stream)
{
    static constexpr char LETTERS[] = "-RSLC";
    Decoded decoded;
    Decoder decoder;
    for (const char c : stream) {
        const DecodeResult result = decoder.feed(std::uint8_t(c));
        if (result == DecodeResult::Pending)
            continue;
        decoded.letters += QLatin1Char(LETTERS[int(result)]);
        if (result == DecodeResult::FrameReady)
            decoded.frames << decoder.frame();
    }
    return decoded;
}

QByteArray read_file(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

int parent_slot(int slot)
{
    const char* parent = nmb::protocol::SKELETON_JOINT_DESCRIPTIONS[slot].parent;
    for (int i = 0; parent && i < MocapFrame::POSE_COUNT; ++i) {
        if (std::strcmp(nmb::protocol::SKELETON_JOINT_DESCRIPTIONS[i].name, parent) == 0)
            return i;
    }
    return -1;
}

double bone(const MocapFrame& frame, int slot)
{
    const auto& a = frame.poses[slot].position;
    const auto& b = frame.poses[parent_slot(slot)].position;
    return std::sqrt(double(a.x - b.x) * (a.x - b.x) + double(a.y - b.y) * (a.y - b.y)
                     + double(a.z - b.z) * (a.z - b.z));
}

} // namespace

class TestMocapSynth : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void writes_a_take_to_a_file();
    void file_faults_decode_as_planned_data();
    void file_faults_decode_as_planned();
    void command_line_errors_data();
    void command_line_errors();
    void sends_datagrams_at_the_rate_data();
    void sends_datagrams_at_the_rate();
    void runs_until_a_signal_data();
    void runs_until_a_signal();
};

void TestMocapSynth::writes_a_take_to_a_file()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const auto run = run_program(PROGRAM, {"--output", "take.bin", "--rate", "120", "--duration", "10"},
                                 20000, dir.path());
    QVERIFY(run.finished);
    QCOMPARE(run.exit_code, 0);
    QCOMPARE(run.standard_error, QByteArray("Wrote 1200 frame(s), 2232000 byte(s), to take.bin\n"));

    const QByteArray bytes = read_file(dir.filePath("take.bin"));
    QCOMPARE(bytes.size(), 1200 * 1860);
    for (qsizetype offset = 0; offset < bytes.size(); offset += 1860)
        QCOMPARE(nmb::protocol::check_frame(QByteArrayView(bytes).sliced(offset, 1860)),
                 nmb::protocol::FrameCheck::Ok);

    const Decoded decoded = decode(bytes);
    QCOMPARE(decoded.letters, QString(1200, QLatin1Char('R')));
    const MocapFrame& first = decoded.frames.first();
    for (int k = 0; k < decoded.frames.size(); ++k) {
        const MocapFrame& frame = decoded.frames[k];
        QCOMPARE(frame.payload_length, quint16(1850));
        QCOMPARE(frame.timestamp_us - first.timestamp_us, quint64(std::llround(k * 1e6 / 120)));
        float finger_sum = 0;
        for (int slot = 0; slot < MocapFrame::POSE_COUNT; ++slot) {
            const auto& q = frame.poses[slot].orientation;
            QVERIFY(std::abs(std::sqrt(q.w * q.w + q.x * q.x + q.y * q.y + q.z * q.z) - 1.0f) < 1e-5f);
            if (parent_slot(slot) >= 0)
                QVERIFY(std::abs(bone(frame, slot) - bone(first, slot)) < 1e-4);
            const bool finger = (slot >= 15 && slot <= 34) || slot >= 44;
            if (finger) {
                const auto& p = frame.poses[slot].position;
                finger_sum += std::abs(p.x) + std::abs(p.y) + std::abs(p.z) + std::abs(q.x);
            }
        }
        QVERIFY(finger_sum > 0);
    }
    // Something moves from frame to frame.
    QVERIFY(std::memcmp(first.poses, decoded.frames[1].poses, sizeof first.poses) != 0);
}

void TestMocapSynth::file_faults_decode_as_planned_data()
{
    QTest::addColumn<QStringList>("faults");
    QTest::addColumn<QString>("letters");
    QTest::addColumn<int>("file_size");
    QTest::newRow("clean") << QStringList{} << "RRRRRRRRRR" << 10 * 1860;
    QTest::newRow("body frame") << QStringList{"--other-id-at", "3"} << "RRRSRRRRRR" << 9 * 1860 + 686;
    QTest::newRow("wrong checksum") << QStringList{"--bad-crc-at", "0"} << "CRRRRRRRRR" << 10 * 1860;
    QTest::newRow("garbage between frames")
        << QStringList{"--garbage-at", "4", "--garbage-at", "9"} << "RRRRRRRRRR" << -1;
    QTest::newRow("cut tail") << QStringList{"--truncate-tail", "10"} << "RRRRRRRRR" << 10 * 1860 - 10;
    QTest::newRow("every fault at once")
        << QStringList{"--other-id-at", "1", "--bad-crc-at", "2", "--garbage-at", "5", "--seed", "3",
                       "--truncate-tail", "1"}
        << "RSCRRRRRR" << -1;
}

void TestMocapSynth::file_faults_decode_as_planned()
{
    QFETCH(QStringList, faults);
    QFETCH(QString, letters);
    QFETCH(int, file_size);
    QTemporaryDir dir;
    const QString path = dir.filePath("faults.bin");
    const auto run = run_program(PROGRAM, QStringList{"--output", path, "--frames", "10"} + faults);
    QCOMPARE(run.exit_code, 0);
    const QByteArray bytes = read_file(path);
    if (file_size >= 0)
        QCOMPARE(bytes.size(), file_size);
    else
        QVERIFY(bytes.size() > 9 * 1860 + 686);
    QVERIFY(run.standard_error.startsWith(QStringLiteral("Wrote 10 frame(s), %1 byte(s), to ")
                                              .arg(bytes.size()).toUtf8()));
    QCOMPARE(decode(bytes).letters, letters);
}

void TestMocapSynth::command_line_errors_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exit_code");
    QTest::addColumn<QString>("message");
    QTest::newRow("neither file nor port") << QStringList{} << 2 << "Give exactly one of --output";
    QTest::newRow("bad rate") << QStringList{"-o", "out.bin", "--rate", "0"} << 2 << "Invalid rate: 0";
    QTest::newRow("bad port") << QStringList{"--port", "70000"} << 2 << "Invalid UDP port: 70000";
    QTest::newRow("file in a missing folder") << QStringList{"-o", "missing/out.bin", "--frames", "2"}
                                             << 1 << "Cannot open missing/out.bin for writing";
}

void TestMocapSynth::command_line_errors()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exit_code);
    QFETCH(QString, message);
    QTemporaryDir dir;
    const auto run = run_program(PROGRAM, arguments, 10000, dir.path());
    QCOMPARE(run.exit_code, exit_code);
    QVERIFY2(run.standard_error.startsWith(message.toUtf8()), run.standard_error.constData());
    QCOMPARE(run.standard_error.count('\n'), 1);
    QVERIFY(QDir(dir.path()).isEmpty());
}

void TestMocapSynth::sends_datagrams_at_the_rate_data()
{
    QTest::addColumn<QString>("address");
    QTest::newRow("IPv4 loopback") << "127.0.0.1";
    QTest::newRow("IPv6 loopback") << "::1";
}

void TestMocapSynth::sends_datagrams_at_the_rate()
{
    QFETCH(QString, address);
    nmb::UdpAdapter receiver;
    if (!receiver.connect(QHostAddress(address), 0))
        QSKIP("loopback address not available");
    // The datagrams queue up while run_program() waits for the sender.
    receiver.request_receive_buffer_size(8 * 1024 * 1024);
    QSignalSpy received(&receiver, &nmb::UdpAdapter::data_received);

    QElapsedTimer clock;
    clock.start();
    const auto port = QString::number(receiver.local_port());
    const auto run = run_program(PROGRAM, {"--ip", address, "--port", port, "--rate", "100",
                                           "--frames", "30", "--garbage-at", "2"});
    QCOMPARE(run.exit_code, 0);
    // 30 frames at 100 Hz are due over 290 ms; sending faster breaks pacing.
    QVERIFY(clock.elapsed() >= 280);
    QTRY_COMPARE(received.size(), 30);

    QByteArray stream;
    qint64 bytes = 0;
    for (int k = 0; k < received.size(); ++k) {
        const QByteArray datagram = received[k][0].toByteArray();
        QCOMPARE(datagram.size() > 1860, k == 2); // the garbage rides with frame 2
        stream += datagram;
        bytes += datagram.size();
    }
    const Decoded decoded = decode(stream);
    QCOMPARE(decoded.letters, QString(30, QLatin1Char('R')));
    for (int k = 1; k < 30; ++k)
        QCOMPARE(decoded.frames[k].timestamp_us - decoded.frames[k - 1].timestamp_us, quint64(10000));
    const QString host = address.contains(':') ? QStringLiteral("[%1]").arg(address) : address;
    QVERIFY2(run.standard_error.endsWith(QStringLiteral("Sent 30 frame(s), %1 byte(s), to %2:%3\n")
                                             .arg(bytes).arg(host, port).toUtf8()),
             run.standard_error.constData());
}

void TestMocapSynth::runs_until_a_signal_data()
{
    QTest::addColumn<int>("signal_number");
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGTERM") << int(SIGTERM);
}

void TestMocapSynth::runs_until_a_signal()
{
    QFETCH(int, signal_number);
    nmb::UdpAdapter receiver;
    QVERIFY(receiver.connect(QHostAddress::LocalHost, 0));
    // Nothing drains the socket while the test waits on the process.
    receiver.request_receive_buffer_size(8 * 1024 * 1024);
    QSignalSpy received(&receiver, &nmb::UdpAdapter::data_received);

    QProcess synth;
    synth.start(nmb::test::program_path(PROGRAM),
                {"--port", QString::number(receiver.local_port()), "--duration", "0", "--rate", "200"});
    QByteArray output;
    QVERIFY(nmb::test::wait_for_stderr(synth, "until stopped", output));
    QTRY_VERIFY_WITH_TIMEOUT(received.size() >= 3, 10000);
    ::kill(pid_t(synth.processId()), signal_number);
    QVERIFY(synth.waitForFinished(10000));
    QCOMPARE(synth.exitStatus(), QProcess::NormalExit);
    QCOMPARE(synth.exitCode(), 0);
    output += synth.readAllStandardError();

    const QRegularExpression summary(QStringLiteral("Sent (\\d+) frame\\(s\\), (\\d+) byte\\(s\\), to 127\\.0\\.0\\.1:\\d+\\n$"));
    const auto match = summary.match(QString::fromUtf8(output));
    QVERIFY2(match.hasMatch(), output.constData());
    const int sent = match.captured(1).toInt();
    QCOMPARE(match.captured(2).toLongLong(), qint64(sent) * 1860);
    QTRY_COMPARE(received.size(), sent);
}

QTEST_GUILESS_MAIN(TestMocapSynth)
#include "tst_mocap_synth.moc"
