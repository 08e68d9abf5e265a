#include "capture_files.h"

#include <QFile>

#include <pcap/pcap.h>

bool write_capture(const QString& path, int dlt, const QList<QByteArray>& packets)
{
    pcap_t* dead = pcap_open_dead(dlt, 262144);
    pcap_dumper_t* dumper = pcap_dump_open(dead, QFile::encodeName(path).constData());
    if (!dumper) {
        pcap_close(dead);
        return false;
    }
    std::int64_t time_us = 1'000'000;
    for (const QByteArray& packet : packets) {
        pcap_pkthdr header{};
        header.ts.tv_sec = time_t(time_us / 1'000'000);
        header.ts.tv_usec = suseconds_t(time_us % 1'000'000);
        header.caplen = header.len = bpf_u_int32(packet.size());
        pcap_dump(reinterpret_cast<u_char*>(dumper), &header, reinterpret_cast<const u_char*>(packet.constData()));
        time_us += 1000;
    }
    pcap_dump_close(dumper);
    pcap_close(dead);
    return true;
}

QList<CapturedPacket> read_capture(const QString& path, int* dlt)
{
    char message[PCAP_ERRBUF_SIZE];
    pcap_t* capture = pcap_open_offline(QFile::encodeName(path).constData(), message);
    if (!capture)
        return {};
    if (dlt)
        *dlt = pcap_datalink(capture);
    QList<CapturedPacket> packets;
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    while (pcap_next_ex(capture, &header, &data) == 1)
        packets.append({QByteArray(reinterpret_cast<const char*>(data), int(header->caplen)),
                        std::int64_t(header->ts.tv_sec) * 1'000'000 + header->ts.tv_usec});
    pcap_close(capture);
    return packets;
}

QByteArray ipv4_of(const QByteArray& ethernet) { return ethernet.mid(14); }

QByteArray linux_cooked(const QByteArray& ethernet)
{
    // Packet type, ARPHRD_LOOPBACK, address length 6, 8 address bytes, protocol.
    return QByteArray::fromHex("0000" "0304" "0006" "0000000000000000" "0800") + ipv4_of(ethernet);
}

QByteArray linux_cooked_v2(const QByteArray& ethernet)
{
    // Protocol, reserved, interface index, ARPHRD_LOOPBACK, packet type, address length, address.
    return QByteArray::fromHex("0800" "0000" "00000001" "0304" "00" "06" "0000000000000000") + ipv4_of(ethernet);
}

QByteArray null_link(const QByteArray& ethernet)
{
    return QByteArray::fromHex("02000000") + ipv4_of(ethernet); // AF_INET, host order
}

QByteArray vlan_tagged(const QByteArray& ethernet)
{
    return ethernet.left(12) + QByteArray::fromHex("8100002a") + ethernet.mid(12);
}

QByteArray ipv6_udp(const QByteArray& payload, std::uint16_t port)
{
    const int udp_length = 8 + int(payload.size());
    const int ip_payload = 8 + udp_length; // with the 8-byte options header
    QByteArray ip = QByteArray::fromHex("60000000");
    ip += char(ip_payload >> 8);
    ip += char(ip_payload & 0xFF);
    ip += char(60); // destination options
    ip += char(64);
    const QByteArray loopback = QByteArray(15, '\0') + '\x01';
    ip += loopback + loopback;
    ip += QByteArray::fromHex("1100010400000000"); // next: UDP, length 0 (8 bytes), PadN
    ip += QByteArray::fromHex("c350");              // source port 50000
    ip += char(port >> 8);
    ip += char(port & 0xFF);
    ip += char(udp_length >> 8);
    ip += char(udp_length & 0xFF);
    ip += QByteArray::fromHex("0000");
    return ip + payload;
}
