#include "reeltake_process.h"

#include <nmb/test/frames.h>
#include <nmb/test/programs.h>
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
