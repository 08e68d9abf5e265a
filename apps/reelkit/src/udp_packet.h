#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <cstdint>

namespace nmb::reelkit {

// Source port of exported datagrams (the destination port is the user's).
inline constexpr std::uint16_t EXPORT_SOURCE_PORT = 50000;

// The largest payload one IPv4 UDP datagram can carry.
inline constexpr qsizetype MAX_UDP_PAYLOAD = 65535 - 20 - 8;

// One Ethernet frame (zero addresses, as on the loopback interface) holding
// an IPv4 UDP datagram from 127.0.0.1:EXPORT_SOURCE_PORT to 127.0.0.1:`port`
// with `payload`, header and UDP checksums filled in. `ip_id` is the IPv4
// identification. Empty when the payload is over MAX_UDP_PAYLOAD.
QByteArray loopback_udp_packet(QByteArrayView payload, std::uint16_t port, std::uint16_t ip_id);

// Link-layer header types of captures (the values libpcap reports).
enum class LinkType {
    Ethernet,   // DLT_EN10MB
    LinuxSll,   // DLT_LINUX_SLL
    LinuxSll2,  // DLT_LINUX_SLL2
    Null,       // DLT_NULL and DLT_LOOP: a 4-byte address family
    RawIp,      // DLT_RAW, DLT_IPV4, DLT_IPV6
    Unsupported,
};
LinkType link_type_of(int dlt);

// What a captured packet holds.
struct UdpFinding {
    enum class Kind {
        Udp,       // `payload` and `port` are set
        Other,     // not a UDP datagram over IPv4 or IPv6 (or malformed)
        Fragment,  // an IP fragment: its datagram cannot be read from it alone
        CutShort,  // a UDP datagram the capture did not keep whole
    };
    Kind kind = Kind::Other;
    QByteArrayView payload; // into the packet
    std::uint16_t port = 0; // destination port
};

// Finds the UDP datagram in the captured bytes of one packet. Reads nothing
// outside `packet`.
UdpFinding find_udp(LinkType link, QByteArrayView packet);

} // namespace nmb::reelkit
