#include "bridge_runner.h"

#include <QUdpSocket>

namespace nmb::test {

namespace {

quint16 free_udp_port()
{
    QUdpSocket probe;
    if (!probe.bind(QHostAddress::AnyIPv4, 0))
        return 0;
    return probe.localPort();
}

} // namespace

RunningBridge start_bridge(const QStringList& arguments)
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        RunningBridge bridge;
        bridge.port = free_udp_port();
        bridge.process = std::make_unique<WatchedProcess>();
        if (!bridge.process->start(QStringLiteral("nimbra_skelora_bridge"),
                                   QStringList{QStringLiteral("--port"), QString::number(bridge.port)} + arguments))
            break;
        if (bridge.process->wait_for_error("Listening for Mocap UDP frames on"))
            return bridge;
        if (!bridge.process->standard_error().contains("Unable to bind UDP port")) {
            qWarning("The bridge did not start listening: %s", bridge.process->standard_error().constData());
            break;
        }
    }
    return {};
}

QByteArray loopback_sender(quint16 port)
{
    return "127.0.0.1:" + QByteArray::number(port);
}

} // namespace nmb::test
