#pragma once

// Capture files for the capture tests, written with libpcap itself.

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdint>

struct CapturedPacket {
    QByteArray bytes;
    std::int64_t time_us = 0;
};

// Writes `packets` as a pcap file of link type `dlt`; false on failure.
bool write_capture(const QString& path, int dlt, const QList<QByteArray>& packets);

// The packets of a capture file in order, with their times; empty when it
// cannot be read.
QList<CapturedPacket> read_capture(const QString& path, int* dlt = nullptr);

// Link-layer variants of the exporter's Ethernet packet (IPv4 UDP inside).
QByteArray ipv4_of(const QByteArray& ethernet);
QByteArray linux_cooked(const QByteArray& ethernet);
QByteArray linux_cooked_v2(const QByteArray& ethernet);
QByteArray null_link(const QByteArray& ethernet);
QByteArray vlan_tagged(const QByteArray& ethernet);
// An IPv6 UDP datagram (::1 to ::1) carrying `payload` to `port`, behind a
// destination-options extension header.
QByteArray ipv6_udp(const QByteArray& payload, std::uint16_t port);
