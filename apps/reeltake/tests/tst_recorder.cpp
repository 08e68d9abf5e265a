#include "recorder.h"

#include <nmb/test/frames.h>
#include <nmb/udp_adapter.h>

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

// Error lines of the code under test, as the program would print them.
QStringList captured_messages;

void capture_message(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtCriticalMsg)
        captured_messages << message;
}

QByteArray file_contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestRecorder : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void records_every_datagram_unchanged_data();
    void records_every_datagram_unchanged();
    void busy_port_reports_the_socket_error_then_the_endpoint();
    void unusable_directory_fails_the_start();
    void only_the_first_error_counts();

private:
    QtMessageHandler previous_handler_ = nullptr;
};

void TestRecorder::init()
{
    captured_messages.clear();
    previous_handler_ = qInstallMessageHandler(capture_message);
}

void TestRecorder::cleanup()
{
    qInstallMessageHandler(previous_handler_);
}

void TestRecorder::records_every_datagram_unchanged_data()
{
    QTest::addColumn<QList<QByteArray>>("datagrams");
    QTest::newRow("datagrams of 10, 0 and 20 bytes")
        << QList<QByteArray>{QByteArray(10, 'a'), QByteArray(), QByteArray(20, 'b')};
    QList<QByteArray> frames;
    for (int i = 0; i < 30; ++i)
        frames << nmb::test::mocap_frame_bytes(1000000 + quint64(i) * 16667, float(i));
    QTest::newRow("mocap frames") << frames;
    QTest::newRow("garbage is kept as it came")
        << QList<QByteArray>{QByteArray("\xAA\x55 not a frame"), nmb::test::patterned_frame(7, 3000)};
}

void TestRecorder::records_every_datagram_unchanged()
{
    QFETCH(QList<QByteArray>, datagrams);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    nmb::reeltake::Recorder recorder;
    QSignalSpy failed(&recorder, &nmb::reeltake::Recorder::failed);
    QVERIFY(recorder.start(QHostAddress::LocalHost, 0, dir.path()));

    nmb::UdpAdapter sender;
    QByteArray expected;
    for (const QByteArray& datagram : datagrams) {
        QCOMPARE(sender.write(datagram, QHostAddress::LocalHost, recorder.local_port()), datagram.size());
        expected += datagram;
    }
    QTRY_COMPARE(recorder.datagram_count(), quint64(datagrams.size()));
    QCOMPARE(recorder.byte_count(), quint64(expected.size()));
    recorder.stop();
    recorder.stop();

    QCOMPARE(file_contents(recorder.recording_file_name()), expected);
    QCOMPARE(recorder.exit_code(), 0);
    QCOMPARE(failed.size(), 0);
    for (const QString& message : captured_messages)
        QVERIFY2(!message.startsWith("Recording error:"), qPrintable(message));
}

void TestRecorder::busy_port_reports_the_socket_error_then_the_endpoint()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    nmb::UdpAdapter occupant;
    QVERIFY(occupant.connect(QHostAddress::LocalHost, 0));

    nmb::reeltake::Recorder recorder;
    QVERIFY(!recorder.start(QHostAddress::LocalHost, occupant.local_port(), dir.filePath("rec")));
    QCOMPARE(recorder.exit_code(), 1);
    QCOMPARE(captured_messages.size(), 2);
    QVERIFY2(captured_messages.at(0).startsWith("Recording error: UDP receive error: "),
             qPrintable(captured_messages.at(0)));
    QVERIFY(captured_messages.at(0).size() > QString("Recording error: UDP receive error: ").size());
    QCOMPARE(captured_messages.at(1),
             QString("Unable to bind UDP endpoint 127.0.0.1:%1").arg(occupant.local_port()));
    QVERIFY(!QFileInfo::exists(dir.filePath("rec")));
    QVERIFY(recorder.recording_file_name().isEmpty());
}

void TestRecorder::unusable_directory_fails_the_start()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    {
        QFile blocker(dir.filePath("plain_file"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
    }
    nmb::reeltake::Recorder recorder;
    const QString unusable = dir.filePath("plain_file/rec");
    QVERIFY(!recorder.start(QHostAddress::LocalHost, 0, unusable));
    QCOMPARE(recorder.exit_code(), 1);
    QCOMPARE(captured_messages,
             QStringList{"Recording error: Unable to create recording directory: " + unusable});
}

void TestRecorder::only_the_first_error_counts()
{
    nmb::reeltake::Recorder recorder;
    QSignalSpy failed(&recorder, &nmb::reeltake::Recorder::failed);
    recorder.report_error("first");
    recorder.report_error("second");
    QCOMPARE(recorder.exit_code(), 1);
    // The run ends from the event loop, never from inside the emission.
    QCOMPARE(failed.size(), 0);
    QVERIFY(failed.wait(2000));
    QCOMPARE(failed.at(0).at(0).toInt(), 1);
    recorder.report_error("third");
    // A zero-delay timer posted now fires after anything the third report
    // could have posted.
    bool drained = false;
    QTimer::singleShot(0, this, [&drained] { drained = true; });
    QTRY_VERIFY(drained);
    QCOMPARE(failed.size(), 1);
    QCOMPARE(captured_messages, QStringList{"Recording error: first"});
}

QTEST_GUILESS_MAIN(TestRecorder)
#include "tst_recorder.moc"
