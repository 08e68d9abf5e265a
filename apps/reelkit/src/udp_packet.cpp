#include "udp_packet.h"

#include <pcap/dlt.h>

#include <algorithm>

namespace nmb::reelkit {

namespace {

std::uint16_t be16(const char* p)
{
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return std::uint16_t((u[0] << 8) | u[1]);
}

void put16(QByteArray& bytes, qsizetype at, std::uint16_t value)
{
    bytes[at] = char(value >> 8);
    bytes[at + 1] = char(value & 0xFF);
}

// Internet checksum (ones' complement sum of 16-bit words).
std::uint32_t sum16(const char* p, qsizetype size, std::uint32_t sum = 0)
{
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    for (qsizetype i = 0; i + 1 < size; i += 2)
        sum += std::uint32_t((u[i] << 8) | u[i + 1]);
    if (size % 2)
        sum += std::uint32_t(u[size - 1] << 8);
    return sum;
}

std::uint16_t fold(std::uint32_t sum)
{
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return std::uint16_t(~sum & 0xFFFF);
}

constexpr qsizetype ETHERNET = 14, IPV4 = 20, UDP = 8;

UdpFinding udp_at(QByteArrayView rest, qsizetype room)
{
    // `room`: the bytes the IP header says follow it.
    UdpFinding f;
    if (rest.size() < UDP)
        return UdpFinding{UdpFinding::Kind::CutShort, {}, 0};
    const qsizetype length = be16(rest.data() + 4);
    if (length < UDP || length > room)
        return f;
    if (rest.size() < length)
        return UdpFinding{UdpFinding::Kind::CutShort, {}, 0};
    f.kind = UdpFinding::Kind::Udp;
    f.port = be16(rest.data() + 2);
    f.payload = rest.sliced(UDP, length - UDP);
    return f;
}

UdpFinding ipv4(QByteArrayView ip)
{
    UdpFinding f;
    if (ip.size() < IPV4)
        return f;
    const qsizetype header = (ip[0] & 0x0F) * 4;
    const qsizetype total = be16(ip.data() + 2);
    if (header < IPV4 || total < header || ip.size() < header)
        return f;
    if (be16(ip.data() + 6) & 0x3FFF) // more fragments, or an offset
        return UdpFinding{UdpFinding::Kind::Fragment, {}, 0};
    if (std::uint8_t(ip[9]) != 17)
        return f;
    return udp_at(ip.sliced(header), total - header);
}

UdpFinding ipv6(QByteArrayView ip)
{
    UdpFinding f;
    if (ip.size() < 40)
        return f;
    qsizetype room = be16(ip.data() + 4);
    std::uint8_t next = std::uint8_t(ip[6]);
    qsizetype at = 40;
    for (int hops = 0; hops < 16; ++hops) {
        if (next == 17)
            return udp_at(ip.sliced(at), room);
        if (next == 44)
            return UdpFinding{UdpFinding::Kind::Fragment, {}, 0};
        if (next != 0 && next != 43 && next != 60 && next != 51)
            return f;
        if (ip.size() < at + 2)
            return f;
        const qsizetype length = next == 51 ? (std::uint8_t(ip[at + 1]) + 2) * 4
                                            : (std::uint8_t(ip[at + 1]) + 1) * 8;
        next = std::uint8_t(ip[at]);
        at += length;
        room -= length;
        if (room < 0 || ip.size() < at)
            return f;
    }
    return f;
}

UdpFinding ip(QByteArrayView packet)
{
    if (packet.isEmpty())
        return {};
    switch (std::uint8_t(packet[0]) >> 4) {
    case 4:
        return ipv4(packet);
    case 6:
        return ipv6(packet);
    default:
        return {};
    }
}

UdpFinding by_ethertype(std::uint16_t type, QByteArrayView rest)
{
    if (type == 0x0800 || type == 0x86DD)
        return ip(rest);
    return {};
}

} // namespace

QByteArray loopback_udp_packet(QByteArrayView payload, std::uint16_t port, std::uint16_t ip_id)
{
    if (payload.size() > MAX_UDP_PAYLOAD)
        return {};
    const qsizetype udp_length = UDP + payload.size();
    // Sized in full at once: `ip` must stay valid.
    QByteArray packet(ETHERNET + IPV4 + udp_length, '\0');
    std::copy(payload.begin(), payload.end(), packet.begin() + ETHERNET + IPV4 + UDP);
    put16(packet, 12, 0x0800);
    char* ip = packet.data() + ETHERNET;
    ip[0] = 0x45;
    put16(packet, ETHERNET + 2, std::uint16_t(IPV4 + udp_length));
    put16(packet, ETHERNET + 4, ip_id);
    put16(packet, ETHERNET + 6, 0x4000); // don't fragment
    ip[8] = 64;
    ip[9] = 17;
    const char loopback[4] = {127, 0, 0, 1};
    for (int i = 0; i < 4; ++i)
        ip[12 + i] = ip[16 + i] = loopback[i];
    put16(packet, ETHERNET + 10, fold(sum16(ip, IPV4)));
    put16(packet, ETHERNET + IPV4, EXPORT_SOURCE_PORT);
    put16(packet, ETHERNET + IPV4 + 2, port);
    put16(packet, ETHERNET + IPV4 + 4, std::uint16_t(udp_length));
    // UDP checksum over the pseudo header (addresses, protocol, length),
    // the UDP header and the payload; 0 goes out as 0xFFFF.
    std::uint32_t sum = sum16(ip + 12, 8) + 17 + std::uint32_t(udp_length);
    sum = sum16(ip + IPV4, udp_length, sum);
    const std::uint16_t checksum = fold(sum);
    put16(packet, ETHERNET + IPV4 + 6, checksum == 0 ? 0xFFFF : checksum);
    return packet;
}

LinkType link_type_of(int dlt)
{
    switch (dlt) {
    case DLT_EN10MB:
        return LinkType::Ethernet;
    case DLT_LINUX_SLL:
        return LinkType::LinuxSll;
    case DLT_LINUX_SLL2:
        return LinkType::LinuxSll2;
    case DLT_NULL:
    case DLT_LOOP:
        return LinkType::Null;
    case DLT_RAW:
    case DLT_IPV4:
    case DLT_IPV6:
        return LinkType::RawIp;
    default:
        return LinkType::Unsupported;
    }
}

UdpFinding find_udp(LinkType link, QByteArrayView packet)
{
    switch (link) {
    case LinkType::Ethernet: {
        qsizetype at = 12;
        // Up to two VLAN tags before the real type.
        for (int tags = 0; tags < 3; ++tags) {
            if (packet.size() < at + 2)
                return {};
            const std::uint16_t type = be16(packet.data() + at);
            if (type != 0x8100 && type != 0x88A8)
                return by_ethertype(type, packet.sliced(at + 2));
            at += 4;
        }
        return {};
    }
    case LinkType::LinuxSll:
        return packet.size() < 16 ? UdpFinding{} : by_ethertype(be16(packet.data() + 14), packet.sliced(16));
    case LinkType::LinuxSll2:
        return packet.size() < 20 ? UdpFinding{} : by_ethertype(be16(packet.data()), packet.sliced(20));
    case LinkType::Null:
        return packet.size() < 4 ? UdpFinding{} : ip(packet.sliced(4));
    case LinkType::RawIp:
        return ip(packet);
    case LinkType::Unsupported:
        break;
    }
    return {};
}

} // namespace nmb::reelkit
