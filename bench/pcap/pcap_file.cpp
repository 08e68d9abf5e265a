#include "pcap_file.h"

#include <QtEndian>

#include <array>
#include <cstring>

namespace nmb::bench {
namespace {

constexpr std::uint32_t MAGIC_MICROSECONDS = 0xA1B2C3D4;
constexpr std::uint32_t MAGIC_NANOSECONDS = 0xA1B23C4D;
constexpr int FILE_HEADER_SIZE = 24;
constexpr int RECORD_HEADER_SIZE = 16;
constexpr std::uint32_t SNAPSHOT_LENGTH = 262144;
constexpr std::uint8_t PROTOCOL_UDP = 17;
constexpr int ETHERNET_HEADER_SIZE = 14;
constexpr int IPV6_HEADER_SIZE = 40;
constexpr int UDP_HEADER_SIZE = 8;

// ::1
constexpr std::array<std::uint8_t, 16> LOOPBACK6 = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};

void put16(char* at, std::uint16_t value) { qToBigEndian(value, at); }
void put32le(char* at, std::uint32_t value) { qToLittleEndian(value, at); }

// One's complement sum of big-endian 16-bit words, an odd last byte padded.
std::uint32_t add_words(std::uint32_t sum, const char* data, int size)
{
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
    int i = 0;
    for (; i + 1 < size; i += 2)
        sum += std::uint32_t(bytes[i]) << 8 | bytes[i + 1];
    if (i < size)
        sum += std::uint32_t(bytes[i]) << 8;
    return sum;
}

std::uint16_t fold(std::uint32_t sum)
{
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return std::uint16_t(~sum & 0xFFFF);
}

} // namespace

QByteArray udp6_loopback_packet(const QByteArray& payload, std::uint16_t source_port,
                                std::uint16_t destination_port)
{
    const int udp_length = UDP_HEADER_SIZE + int(payload.size());
    QByteArray packet(ETHERNET_HEADER_SIZE + IPV6_HEADER_SIZE + udp_length, '\0');
    char* ethernet = packet.data();
    put16(ethernet + 12, 0x86DD); // both MAC addresses stay zero, as on lo

    char* ip = ethernet + ETHERNET_HEADER_SIZE;
    ip[0] = char(0x60); // version 6, traffic class and flow label 0
    put16(ip + 4, std::uint16_t(udp_length));
    ip[6] = char(PROTOCOL_UDP);
    ip[7] = char(64); // hop limit
    std::memcpy(ip + 8, LOOPBACK6.data(), 16);
    std::memcpy(ip + 24, LOOPBACK6.data(), 16);

    char* udp = ip + IPV6_HEADER_SIZE;
    put16(udp, source_port);
    put16(udp + 2, destination_port);
    put16(udp + 4, std::uint16_t(udp_length));
    std::memcpy(udp + UDP_HEADER_SIZE, payload.constData(), std::size_t(payload.size()));

    // The checksum covers a pseudo-header (both addresses, the length, the
    // protocol), the UDP header and the payload.
    std::uint32_t sum = add_words(0, ip + 8, 32);
    sum += std::uint32_t(udp_length) >> 16;
    sum += std::uint32_t(udp_length) & 0xFFFF;
    sum += PROTOCOL_UDP;
    sum = add_words(sum, udp, udp_length);
    const std::uint16_t checksum = fold(sum);
    put16(udp + 6, checksum == 0 ? 0xFFFF : checksum);
    return packet;
}

bool PcapWriter::fail(const QString& message)
{
    if (!failed_)
        error_ = message;
    failed_ = true;
    return false;
}

bool PcapWriter::open(const QString& path, std::uint32_t link_type)
{
    failed_ = false;
    error_.clear();
    file_.setFileName(path);
    if (!file_.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return fail(file_.errorString());
    char header[FILE_HEADER_SIZE] = {};
    put32le(header, MAGIC_MICROSECONDS);
    qToLittleEndian(std::uint16_t(2), header + 4); // format version 2.4
    qToLittleEndian(std::uint16_t(4), header + 6);
    put32le(header + 16, SNAPSHOT_LENGTH);
    put32le(header + 20, link_type);
    if (file_.write(header, FILE_HEADER_SIZE) != FILE_HEADER_SIZE)
        return fail(file_.errorString());
    return true;
}

bool PcapWriter::write_packet(std::int64_t time_us, const QByteArray& packet)
{
    if (failed_ || !file_.isOpen())
        return fail(QStringLiteral("capture file not open"));
    if (time_us < 0 || packet.size() > qsizetype(SNAPSHOT_LENGTH))
        return fail(QStringLiteral("packet time or size out of range"));
    char header[RECORD_HEADER_SIZE];
    put32le(header, std::uint32_t(time_us / 1'000'000));
    put32le(header + 4, std::uint32_t(time_us % 1'000'000));
    put32le(header + 8, std::uint32_t(packet.size()));
    put32le(header + 12, std::uint32_t(packet.size()));
    if (file_.write(header, RECORD_HEADER_SIZE) != RECORD_HEADER_SIZE || file_.write(packet) != packet.size())
        return fail(file_.errorString());
    return true;
}

bool PcapWriter::close()
{
    if (file_.isOpen()) {
        if (!file_.flush())
            fail(file_.errorString());
        file_.close();
    }
    return !failed_;
}

PcapStatus PcapReader::fail(const QString& message)
{
    error_ = message;
    return PcapStatus::Error;
}

std::uint32_t PcapReader::field(const char* bytes) const
{
    return swapped_ ? qFromBigEndian<std::uint32_t>(bytes) : qFromLittleEndian<std::uint32_t>(bytes);
}

PcapStatus PcapReader::open(const QString& path)
{
    error_.clear();
    truncated_tail_ = false;
    file_.setFileName(path);
    if (!file_.open(QIODevice::ReadOnly))
        return fail(file_.errorString());
    const QByteArray header = file_.read(FILE_HEADER_SIZE);
    if (header.size() < FILE_HEADER_SIZE)
        return fail(QStringLiteral("not a capture file: %1 byte(s)").arg(header.size()));
    const auto little = qFromLittleEndian<std::uint32_t>(header.constData());
    const auto big = qFromBigEndian<std::uint32_t>(header.constData());
    swapped_ = little != MAGIC_MICROSECONDS && little != MAGIC_NANOSECONDS;
    const std::uint32_t magic = swapped_ ? big : little;
    if (magic != MAGIC_MICROSECONDS && magic != MAGIC_NANOSECONDS)
        return fail(QStringLiteral("not a capture file: magic %1").arg(little, 8, 16, QLatin1Char('0')));
    nanoseconds_ = magic == MAGIC_NANOSECONDS;
    link_type_ = field(header.constData() + 20) & 0x0FFFFFFF; // upper bits carry FCS flags
    return PcapStatus::Ok;
}

PcapStatus PcapReader::next(PcapRecord& record, bool with_data)
{
    if (!file_.isOpen())
        return fail(QStringLiteral("capture file not open"));
    char header[RECORD_HEADER_SIZE];
    const qint64 got = file_.read(header, RECORD_HEADER_SIZE);
    if (got < 0)
        return fail(file_.errorString());
    if (got == 0)
        return PcapStatus::EndOfFile;
    if (got < RECORD_HEADER_SIZE) {
        truncated_tail_ = true;
        return PcapStatus::EndOfFile;
    }
    const std::uint32_t seconds = field(header);
    const std::uint32_t fraction = field(header + 4);
    const std::uint32_t captured = field(header + 8);
    if (captured > SNAPSHOT_LENGTH)
        return fail(QStringLiteral("record of %1 bytes at offset %2").arg(captured).arg(file_.pos() - got));
    record.time_ns = std::int64_t(seconds) * 1'000'000'000 + std::int64_t(fraction) * (nanoseconds_ ? 1 : 1000);
    record.original_length = field(header + 12);
    if (file_.pos() + captured > file_.size()) {
        truncated_tail_ = true;
        return PcapStatus::EndOfFile;
    }
    if (with_data) {
        record.data = file_.read(captured);
        if (record.data.size() != qsizetype(captured))
            return fail(file_.errorString());
    } else {
        record.data.clear();
        if (!file_.seek(file_.pos() + captured))
            return fail(file_.errorString());
    }
    return PcapStatus::Ok;
}

} // namespace nmb::bench
