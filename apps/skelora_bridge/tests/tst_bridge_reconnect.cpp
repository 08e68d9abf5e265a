// The bridge with --reconnect, through the real program and the real
// stand-in service (nimbra_skelora_stub): the service goes away mid-stream or
// is not there yet, comes back on the same port, and gets the latest frame of
// each sender, never a backlog.

#include "bridge_runner.h"

#include <nmb/protocol/mocap_frame.h>
#include <nmb/test/frames.h>
#include <nmb/test/ws_server.h>

#include <QRandomGenerator>
#include <QSet>
#include <QTcpServer>
#include <QTest>
#include <QUdpSocket>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <memory>

using nmb::test::RunningBridge;
using nmb::test::start_bridge;
using nmb::test::WatchedProcess;

namespace {

constexpr int WAIT_MS = 30000; // the backoff alone may wait 10 s on a slow machine

// A Mocap frame whose first joint sits at x = `mark`, which the stub prints
// as "position=[<mark>.0,".
QByteArray marked_frame(int mark)
{
    nmb::protocol::MocapFrame frame;
    frame.timestamp_us = std::uint64_t(mark) * 1000;
    frame.poses[0].position = {float(mark), 0.0f, 0.0f};
    frame.poses[0].orientation = {1.0f, 0.0f, 0.0f, 0.0f};
    return nmb::test::mocap_frame_bytes(frame);
}

QByteArray mark_text(int mark)
{
    return "position=[" + QByteArray::number(mark) + ".0,";
}

// The stand-in service on 127.0.0.1:port (0: any free port); null when it
// did not come up. `url` receives the URL it serves.
std::unique_ptr<WatchedProcess> start_stub(quint16 port, QString* url = nullptr)
{
    auto stub = std::make_unique<WatchedProcess>();
    if (!stub->start(QStringLiteral("nimbra_skelora_stub"), {QStringLiteral("--port"), QString::number(port)})
        || !stub->wait_for_error("Skelora stub listening on ws://"))
        return nullptr;
    if (url != nullptr) {
        const QByteArray log = stub->standard_error();
        const qsizetype start = log.indexOf("ws://");
        *url = QString::fromUtf8(log.mid(start, log.indexOf('\n', start) - start));
    }
    return stub;
}

// A TCP port on 127.0.0.1 that nothing listens on at this moment.
quint16 closed_port()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

QByteArray reconnect_line(int reconnects, int not_forwarded)
{
    return QStringLiteral("Reconnected %1 time(s); %2 frame(s) not forwarded while disconnected.\n")
        .arg(reconnects)
        .arg(not_forwarded)
        .toUtf8();
}

bool stop(RunningBridge& bridge)
{
    return bridge.process->send_signal(SIGTERM) && bridge.process->wait_for_finished()
        && bridge.process->process().exitCode() == 0;
}

} // namespace

class TestBridgeReconnect : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void service_back_gets_the_latest_frame_of_each_sender_data();
    void service_back_gets_the_latest_frame_of_each_sender();
    void held_frames_stay_within_the_sender_bound();
};

void TestBridgeReconnect::service_back_gets_the_latest_frame_of_each_sender_data()
{
    QTest::addColumn<int>("loss");
    QTest::addColumn<QByteArray>("reason");
    QTest::newRow("service stopped") << int(SIGTERM) << QByteArray("The service closed the connection");
    QTest::newRow("service killed") << int(SIGKILL) << QByteArray("The remote host closed the connection");
    QTest::newRow("service not there at start") << 0 << QByteArray("Connection refused");
}

void TestBridgeReconnect::service_back_gets_the_latest_frame_of_each_sender()
{
    QFETCH(int, loss);
    QFETCH(QByteArray, reason);
    QUdpSocket first;
    QUdpSocket second;
    QVERIFY(first.bind(QHostAddress::LocalHost, 0));
    QVERIFY(second.bind(QHostAddress::LocalHost, 0));

    QString url = QStringLiteral("ws://127.0.0.1:%1/ws").arg(closed_port());
    std::unique_ptr<WatchedProcess> stub;
    if (loss != 0) {
        stub = start_stub(0, &url);
        QVERIFY(stub);
    }
    RunningBridge bridge = start_bridge({QStringLiteral("--url"), url, QStringLiteral("--reconnect")});
    QVERIFY(bridge.process);
    int decoded = 0;
    int forwarded = 0;
    if (loss != 0) {
        QVERIFY(bridge.process->wait_for_error("Skelora is ready at " + url.toUtf8() + "\n"));
        first.writeDatagram(marked_frame(1), QHostAddress::LocalHost, bridge.port);
        QVERIFY(stub->wait_for_output(mark_text(1)));
        ++decoded;
        ++forwarded;
        QVERIFY(stub->send_signal(loss));
        QVERIFY(stub->wait_for_finished());
    }
    QVERIFY(bridge.process->wait_for_error("Skelora connection lost: " + reason + "; retrying in ", 1, WAIT_MS));

    // While the service is away: a run from each sender; only the last of
    // each may reach it.
    for (int mark = 2; mark <= 5; ++mark)
        first.writeDatagram(marked_frame(mark), QHostAddress::LocalHost, bridge.port);
    for (int mark = 20; mark <= 22; ++mark)
        second.writeDatagram(marked_frame(mark), QHostAddress::LocalHost, bridge.port);
    decoded += 7;
    QVERIFY(bridge.process->wait_for_error("Mocap frame " + QByteArray::number(decoded) + " from"));

    stub = start_stub(quint16(QUrl(url).port()));
    QVERIFY2(stub, "the service's port was taken meanwhile");
    QVERIFY(bridge.process->wait_for_error("Skelora is ready at " + url.toUtf8() + "\n", loss != 0 ? 2 : 1, WAIT_MS));
    QVERIFY(stub->wait_for_output("pose_frame", 2));
    forwarded += 2;
    first.writeDatagram(marked_frame(6), QHostAddress::LocalHost, bridge.port);
    ++decoded;
    ++forwarded;
    QVERIFY(stub->wait_for_output(mark_text(6)));
    const QList<QByteArray> received = stub->standard_output().trimmed().split('\n');
    QCOMPARE(received.size(), 3);
    // Sent in sender order, which the ports decide.
    const QByteArray held = received[0] + received[1];
    QVERIFY(held.contains(mark_text(5)));
    QVERIFY(held.contains(mark_text(22)));

    QVERIFY(stop(bridge));
    const QByteArray log = bridge.process->standard_error();
    QCOMPARE(log.count("Skelora connection lost: "), 1);
    const QByteArray summary = QStringLiteral("Stopped: %1 decoded, %2 forwarded, 0 rejected frame(s).\n")
                                   .arg(decoded)
                                   .arg(forwarded)
                                   .toUtf8();
    QVERIFY2(log.endsWith(summary + reconnect_line(loss != 0 ? 1 : 0, decoded - forwarded)), log.right(300).constData());
}

// Frames from more senders than the bridge keeps decoders for, while the
// service has not answered the handshake (the same holding as while it is
// away, without waiting out the growing pauses between attempts): what waits
// for it is one frame per sender kept, so the held state is bounded like the
// sender table.
void TestBridgeReconnect::held_frames_stay_within_the_sender_bound()
{
    constexpr int SENDERS = 4600; // above the bridge's bound of 4096
    constexpr int SENDER_BOUND = 4096;
    nmb::test::WsServer service;
    QVERIFY2(service.listen(), qPrintable(service.error()));
    RunningBridge bridge =
        start_bridge({QStringLiteral("--url"), service.url().toString(), QStringLiteral("--reconnect")});
    QVERIFY(bridge.process);
    QTRY_COMPARE_WITH_TIMEOUT(service.messages().size(), 1, WAIT_MS); // the hello

    // Distinct loopback endpoints: addresses of a /24 block drawn per run,
    // each with a port of the system's choosing.
    const quint32 block = (127u << 24) | (QRandomGenerator::global()->bounded(1u, 255u) << 16)
        | (QRandomGenerator::global()->bounded(0u, 256u) << 8);
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(bridge.port);
    target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const QByteArray frame = marked_frame(7);
    QSet<QPair<quint32, quint16>> senders;
    for (int i = 0; i < SENDERS; ++i) {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        QVERIFY(fd >= 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(block | quint32(1 + i % 254));
        socklen_t length = sizeof local;
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0
            && ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0
            && ::sendto(fd, frame.constData(), std::size_t(frame.size()), 0,
                        reinterpret_cast<const sockaddr*>(&target), sizeof target)
                == frame.size())
            senders.insert({ntohl(local.sin_addr.s_addr), ntohs(local.sin_port)});
        ::close(fd);
        // Pace the burst well within the bridge's receive queue, so that
        // the kernel drops nothing even on a busy machine.
        if (i % 50 == 49)
            QVERIFY(bridge.process->wait_for_error("Mocap frame " + QByteArray::number(i + 1) + " from"));
    }
    QVERIFY(senders.size() > SENDER_BOUND);
    QVERIFY(bridge.process->wait_for_error("Mocap frame " + QByteArray::number(SENDERS) + " from"));

    QVERIFY(service.send_text(QStringLiteral(R"({"protocol":"pose_frame.v1","type":"server_ready"})")));
    QVERIFY(bridge.process->wait_for_error("Skelora is ready at", 1, WAIT_MS));
    // The held frames all go out at once when the service is ready; the
    // summary counts them (the service need not read them all first).
    QVERIFY(stop(bridge));
    const QByteArray summary = QStringLiteral("Stopped: %1 decoded, %2 forwarded, 0 rejected frame(s).\n")
                                   .arg(SENDERS)
                                   .arg(SENDER_BOUND)
                                   .toUtf8();
    QVERIFY2(bridge.process->standard_error().endsWith(summary + reconnect_line(0, SENDERS - SENDER_BOUND)),
             bridge.process->standard_error().right(300).constData());
}

QTEST_GUILESS_MAIN(TestBridgeReconnect)
#include "tst_bridge_reconnect.moc"
