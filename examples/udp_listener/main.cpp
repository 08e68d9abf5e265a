// listen <count> [port]: receives UDP datagrams on 127.0.0.1 with
// nmb::UdpAdapter (port 0, the default, lets the system pick one and prints
// it), counts the frames by their ID and stops after <count> datagrams.
#include <nmb/udp_adapter.h>

#include <QCoreApplication>
#include <QMap>
#include <QStringList>

#include <cstdio>
#include <optional>

namespace {

// The frame ID of an envelope (AA 55, ID as 16-bit little endian), or -1
// for a datagram that does not start like a frame.
int frame_id(const QByteArray& datagram)
{
    if (datagram.size() < 4 || quint8(datagram[0]) != 0xAA || quint8(datagram[1]) != 0x55)
        return -1;
    return quint8(datagram[2]) | (quint8(datagram[3]) << 8);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    bool count_ok = false;
    const int count = arguments.value(1).toInt(&count_ok);
    std::optional<quint16> port = quint16(0);
    if (arguments.size() == 3)
        port = nmb::parse_udp_port(arguments.at(2));
    if (arguments.size() < 2 || arguments.size() > 3 || !count_ok || count < 1 || !port) {
        std::fprintf(stderr, "usage: listen <count> [port]\n");
        return 2;
    }

    nmb::UdpAdapter udp;
    int received = 0;
    qint64 bytes = 0;
    QMap<int, int> frames_by_id;
    QObject::connect(&udp, &nmb::UdpAdapter::error_occurred, &app,
                     [](const QString& message) { std::fprintf(stderr, "error: %s\n", qPrintable(message)); });
    QObject::connect(&udp, &nmb::UdpAdapter::data_received, &app,
                     [&](const QByteArray& datagram, const QHostAddress&, quint16) {
                         if (received == count)
                             return;
                         ++received;
                         bytes += datagram.size();
                         ++frames_by_id[frame_id(datagram)];
                         if (received < count)
                             return;
                         std::printf("Received %d datagram(s), %lld byte(s)\n", received,
                                     static_cast<long long>(bytes));
                         for (auto it = frames_by_id.cbegin(); it != frames_by_id.cend(); ++it) {
                             if (it.key() < 0)
                                 std::printf("  not a frame: %d\n", it.value());
                             else
                                 std::printf("  frame ID %d: %d\n", it.key(), it.value());
                         }
                         QCoreApplication::quit();
                     });

    if (!udp.initialize() || !udp.connect(QHostAddress::LocalHost, *port))
        return 1;
    std::printf("Listening on 127.0.0.1:%u\n", unsigned(udp.local_port()));
    std::fflush(stdout);
    return QCoreApplication::exec();
}
