#pragma once

// Packet capture files (the classic format: a 24-byte file header, then a
// 16-byte record header before each packet) for the benchmarks that compare
// our programs with packet tools: the replay benchmark writes one for a pcap
// replayer, the recorder benchmark counts what a packet recorder wrote.

#include <QByteArray>
#include <QFile>
#include <QString>

#include <cstdint>

namespace nmb::bench {

constexpr std::uint32_t LINKTYPE_ETHERNET = 1;

// One Ethernet frame carrying `payload` in an IPv6 UDP datagram from
// [::1]:source_port to [::1]:destination_port, with zero MAC addresses as on
// the loopback interface and a correct UDP checksum (IPv6 receivers drop a
// datagram whose checksum is zero or wrong).
QByteArray udp6_loopback_packet(const QByteArray& payload, std::uint16_t source_port,
                                 std::uint16_t destination_port);

// Writes a capture file with microsecond timestamps. Failures are sticky:
// write_packet after a failure does nothing and returns false.
class PcapWriter {
public:
    // Creates (truncates) `path` and writes the file header.
    bool open(const QString& path, std::uint32_t link_type = LINKTYPE_ETHERNET);
    // One record; `time_us` is microseconds since the epoch of the capture.
    bool write_packet(std::int64_t time_us, const QByteArray& packet);
    // Flushes and closes; false if any write failed.
    bool close();
    QString error_string() const { return error_; }

private:
    bool fail(const QString& message);

    QFile file_;
    QString error_;
    bool failed_ = false;
};

struct PcapRecord {
    std::int64_t time_ns = 0;
    std::uint32_t original_length = 0;
    QByteArray data; // the captured bytes (empty when not asked for)
};

enum class [[nodiscard]] PcapStatus {
    Ok = 0,        // a whole record was read
    EndOfFile = 1, // no further record (a record cut short at the end counts as none)
    Error = 2,     // the file is not a capture file or cannot be read; error_string() says why
};

// Reads a capture file of either byte order, microsecond or nanosecond
// timestamps. A last record cut short (a recorder killed while writing) is
// reported as the end of the file and counted in truncated_tail().
class PcapReader {
public:
    PcapStatus open(const QString& path);
    // The next record; with `with_data` false the packet bytes are skipped.
    PcapStatus next(PcapRecord& record, bool with_data = true);

    std::uint32_t link_type() const { return link_type_; }
    bool truncated_tail() const { return truncated_tail_; }
    QString error_string() const { return error_; }

private:
    PcapStatus fail(const QString& message);
    std::uint32_t field(const char* bytes) const;

    QFile file_;
    QString error_;
    std::uint32_t link_type_ = 0;
    bool swapped_ = false;
    bool nanoseconds_ = false;
    bool truncated_tail_ = false;
};

} // namespace nmb::bench
