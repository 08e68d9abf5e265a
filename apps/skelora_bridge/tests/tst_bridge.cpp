// The forwarding loop, exercised through the real program with a pose
// service served by the test on loopback.

#include "bridge_runner.h"

#include <nmb/protocol/mocap_frame.h>
#include <nmb/test/frames.h>

#include <QTest>
#include <QUdpSocket>
#include <QWebSocket>
#include <QWebSocketServer>

#include <nlohmann/json.hpp>

#include <csignal>
#include <cstring>

using nlohmann::json;
using nmb::test::loopback_sender;
using nmb::test::RunningBridge;
using nmb::test::start_bridge;

namespace {

const QString SERVER_READY = QStringLiteral(R"({"protocol":"pose_frame.v1","type":"server_ready"})");

// A pose service on 127.0.0.1: records what senders send and answers their
// hello at once or when told to.
class PoseService : public QObject {
public:
    explicit PoseService(bool answer_hello)
        : server_(QStringLiteral("pose service"), QWebSocketServer::NonSecureMode)
        , answer_hello_(answer_hello)
    {
        QObject::connect(&server_, &QWebSocketServer::newConnection, this, [this] {
            while (QWebSocket* socket = server_.nextPendingConnection()) {
                // The server hands its sockets over; the service owns them.
                socket->setParent(this);
                socket_ = socket;
                QObject::connect(socket, &QWebSocket::textMessageReceived, this, [this](const QString& text) {
                    messages.append(text);
                    if (answer_hello_ && text.contains(QLatin1String("\"hello\"")))
                        answer();
                });
            }
        });
        server_.listen(QHostAddress::LocalHost, 0);
    }

    QString url() const { return QStringLiteral("ws://127.0.0.1:%1/ws").arg(server_.serverPort()); }
    void answer() { socket_->sendTextMessage(SERVER_READY); }

    // Drops the connection without a closing handshake and stops listening.
    void vanish()
    {
        server_.close();
        socket_->abort();
    }

    QStringList pose_frames() const
    {
        return messages.filter(QLatin1String("\"type\":\"pose_frame\""));
    }

    QStringList messages;

private:
    QWebSocketServer server_;
    QWebSocket* socket_ = nullptr;
    bool answer_hello_;
};

// Position of the first joint of a frame built with mocap_frame_bytes.
std::array<float, 3> first_position(const QByteArray& frame_bytes)
{
    nmb::protocol::MocapFrame frame;
    std::memcpy(&frame, frame_bytes.constData(), sizeof frame);
    return {frame.poses[0].position.x, frame.poses[0].position.y, frame.poses[0].position.z};
}

std::array<float, 3> first_position(const QString& pose_frame)
{
    const json message = json::parse(pose_frame.toStdString());
    const json& position = message["joints"][0]["position"];
    return {position[0].get<float>(), position[1].get<float>(), position[2].get<float>()};
}

QByteArray summary(int decoded, int forwarded, int rejected)
{
    return QStringLiteral("Stopped: %1 decoded, %2 forwarded, %3 rejected frame(s).\n")
        .arg(decoded)
        .arg(forwarded)
        .arg(rejected)
        .toUtf8();
}

// Sends SIGTERM and waits for an orderly end.
bool stop(RunningBridge& bridge)
{
    return bridge.process->send_signal(SIGTERM) && bridge.process->wait_for_finished()
        && bridge.process->process().exitStatus() == QProcess::NormalExit
        && bridge.process->process().exitCode() == 0;
}

} // namespace

class TestBridge : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void frames_before_ready_collapse_into_the_last_one();
    void stop_signal_prints_the_summary_data();
    void stop_signal_prints_the_summary();
    void rejection_then_frame_in_one_datagram_data();
    void rejection_then_frame_in_one_datagram();
    void interleaved_senders_each_decode();
    void service_going_away_leaves_the_bridge_running();
};

void TestBridge::frames_before_ready_collapse_into_the_last_one()
{
    PoseService service(false);
    RunningBridge bridge = start_bridge({QStringLiteral("--url"), service.url()});
    QVERIFY(bridge.process);
    QTRY_COMPARE_WITH_TIMEOUT(service.messages.size(), 1, 10000);
    QCOMPARE(service.messages.first(), QStringLiteral(R"({"role":"sender","type":"hello"})"));

    QUdpSocket source;
    QByteArray frames[3];
    for (int i = 0; i < 3; ++i) {
        frames[i] = nmb::test::mocap_frame_bytes(1000 + i, float(i + 1));
        source.writeDatagram(frames[i], QHostAddress::LocalHost, bridge.port);
    }
    QVERIFY(bridge.process->wait_for_error("Mocap frame 3 from"));
    QVERIFY(service.pose_frames().isEmpty());

    service.answer();
    QVERIFY(bridge.process->wait_for_error("Skelora is ready at " + service.url().toUtf8() + "\n"));
    QTRY_COMPARE_WITH_TIMEOUT(service.pose_frames().size(), 1, 10000);
    QCOMPARE(first_position(service.pose_frames().first()), first_position(frames[2]));

    QVERIFY(stop(bridge));
    QVERIFY(bridge.process->standard_error().endsWith(summary(3, 1, 0)));
    QCOMPARE(service.pose_frames().size(), 1);
}

void TestBridge::stop_signal_prints_the_summary_data()
{
    QTest::addColumn<int>("signal_number");
    QTest::newRow("interrupt") << int(SIGINT);
    QTest::newRow("terminate") << int(SIGTERM);
}

void TestBridge::stop_signal_prints_the_summary()
{
    QFETCH(int, signal_number);
    PoseService service(true);
    RunningBridge bridge = start_bridge({QStringLiteral("--url"), service.url(), QStringLiteral("--skeleton"),
                                         QStringLiteral("performer1")});
    QVERIFY(bridge.process);
    QVERIFY(bridge.process->wait_for_error("Skelora is ready at"));

    QUdpSocket source;
    QVERIFY(source.bind(QHostAddress::LocalHost, 0));
    source.writeDatagram(nmb::test::mocap_frame_bytes(42), QHostAddress::LocalHost, bridge.port);
    source.writeDatagram(nmb::test::mocap_frame_bytes(43), QHostAddress::LocalHost, bridge.port);
    QTRY_COMPARE_WITH_TIMEOUT(service.pose_frames().size(), 2, 10000);
    QVERIFY(service.pose_frames().first().contains(QLatin1String("\"skeleton\":\"performer1\"")));

    QVERIFY(bridge.process->send_signal(signal_number));
    QVERIFY(bridge.process->wait_for_finished());
    QCOMPARE(bridge.process->process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(bridge.process->process().exitCode(), 0);
    const QByteArray log = bridge.process->standard_error();
    QVERIFY(log.contains("Mocap frame 1 from " + loopback_sender(source.localPort()) + " id 0 timestamp(us) 42\n"));
    QVERIFY(log.contains("Mocap frame 2 from " + loopback_sender(source.localPort()) + " id 0 timestamp(us) 43\n"));
    QVERIFY(log.endsWith(summary(2, 2, 0)));
}

void TestBridge::rejection_then_frame_in_one_datagram_data()
{
    QTest::addColumn<QByteArray>("bad");
    QTest::addColumn<int>("result");

    QByteArray broken = nmb::test::mocap_frame_bytes(5);
    broken[100] = char(broken[100] ^ 0x01);
    QByteArray too_long = nmb::test::mocap_frame_bytes(5).left(6);
    too_long[4] = char(1851 & 0xFF);
    too_long[5] = char(1851 >> 8);

    QTest::newRow("body frame of ID 1") << nmb::test::patterned_frame(1, 676) << 2;
    QTest::newRow("header declaring more than the capacity") << too_long << 3;
    QTest::newRow("Mocap frame with a wrong checksum") << broken << 4;
}

void TestBridge::rejection_then_frame_in_one_datagram()
{
    QFETCH(QByteArray, bad);
    QFETCH(int, result);
    PoseService service(true);
    RunningBridge bridge = start_bridge({QStringLiteral("--url"), service.url()});
    QVERIFY(bridge.process);
    QVERIFY(bridge.process->wait_for_error("Skelora is ready at"));

    QUdpSocket source;
    QVERIFY(source.bind(QHostAddress::LocalHost, 0));
    source.writeDatagram(bad + nmb::test::mocap_frame_bytes(77), QHostAddress::LocalHost, bridge.port);
    QVERIFY(bridge.process->wait_for_error("Mocap frame 1 from"));
    QTRY_COMPARE_WITH_TIMEOUT(service.pose_frames().size(), 1, 10000);

    QVERIFY(stop(bridge));
    const QByteArray log = bridge.process->standard_error();
    const QByteArray sender = loopback_sender(source.localPort());
    const QByteArray rejection = "Rejected UDP frame from " + sender + " decoder result " + QByteArray::number(result) + "\n";
    const QByteArray decoded = "Mocap frame 1 from " + sender + " id 0 timestamp(us) 77\n";
    QCOMPARE(log.count("Rejected UDP frame"), 1);
    QVERIFY2(log.contains(rejection), log.constData());
    QVERIFY(log.indexOf(rejection) < log.indexOf(decoded));
    QVERIFY(log.endsWith(summary(1, 1, 1)));
}

void TestBridge::interleaved_senders_each_decode()
{
    PoseService service(true);
    RunningBridge bridge = start_bridge({QStringLiteral("--url"), service.url()});
    QVERIFY(bridge.process);
    QVERIFY(bridge.process->wait_for_error("Skelora is ready at"));

    QUdpSocket first;
    QUdpSocket second;
    QVERIFY(first.bind(QHostAddress::LocalHost, 0));
    QVERIFY(second.bind(QHostAddress::LocalHost, 0));
    const QByteArray a = nmb::test::mocap_frame_bytes(101, 1.0f);
    const QByteArray b = nmb::test::mocap_frame_bytes(202, 2.0f);
    first.writeDatagram(a.left(930), QHostAddress::LocalHost, bridge.port);
    second.writeDatagram(b.left(800), QHostAddress::LocalHost, bridge.port);
    first.writeDatagram(a.mid(930), QHostAddress::LocalHost, bridge.port);
    second.writeDatagram(b.mid(800), QHostAddress::LocalHost, bridge.port);

    QVERIFY(bridge.process->wait_for_error("Mocap frame 2 from"));
    QVERIFY(stop(bridge));
    const QByteArray log = bridge.process->standard_error();
    QVERIFY2(log.contains("from " + loopback_sender(first.localPort()) + " id 0 timestamp(us) 101\n"), log.constData());
    QVERIFY(log.contains("from " + loopback_sender(second.localPort()) + " id 0 timestamp(us) 202\n"));
    QVERIFY(log.endsWith(summary(2, 2, 0)));
}

void TestBridge::service_going_away_leaves_the_bridge_running()
{
    PoseService service(true);
    RunningBridge bridge = start_bridge({QStringLiteral("--url"), service.url()});
    QVERIFY(bridge.process);
    QVERIFY(bridge.process->wait_for_error("Skelora is ready at"));

    QUdpSocket source;
    source.writeDatagram(nmb::test::mocap_frame_bytes(1), QHostAddress::LocalHost, bridge.port);
    QTRY_COMPARE_WITH_TIMEOUT(service.pose_frames().size(), 1, 10000);

    service.vanish();
    QVERIFY(bridge.process->wait_for_error("Skelora error: "));

    // Frames keep being decoded and logged; the bridge stays up.
    source.writeDatagram(nmb::test::mocap_frame_bytes(2), QHostAddress::LocalHost, bridge.port);
    source.writeDatagram(nmb::test::mocap_frame_bytes(3), QHostAddress::LocalHost, bridge.port);
    QVERIFY(bridge.process->wait_for_error("Mocap frame 3 from"));
    QCOMPARE(bridge.process->process().state(), QProcess::Running);

    QVERIFY(stop(bridge));
    QVERIFY(bridge.process->standard_error().endsWith(summary(3, 1, 0)));
}

QTEST_GUILESS_MAIN(TestBridge)
#include "tst_bridge.moc"
