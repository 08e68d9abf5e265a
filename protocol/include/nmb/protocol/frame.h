#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <cstdint>

namespace nmb::protocol {

// Envelope: AA 55, frame ID (u16 LE), payload length N (u16 LE), N payload
// bytes, CRC-32 (u32 LE) over everything before it. 10 + N bytes in all.
inline constexpr std::uint8_t SYNC0 = 0xAA;
inline constexpr std::uint8_t SYNC1 = 0x55;
inline constexpr qsizetype HEADER_SIZE = 6;
inline constexpr qsizetype TRAILER_SIZE = 4;
inline constexpr qsizetype ENVELOPE_SIZE = HEADER_SIZE + TRAILER_SIZE;
inline constexpr qsizetype MAX_PAYLOAD_SIZE = 0xFFFF;

// Builds one whole frame around `payload`. A payload longer than 65535 bytes
// cannot be framed: the result is then empty.
QByteArray build_frame(std::uint16_t frame_id, QByteArrayView payload);

enum class [[nodiscard]] FrameCheck {
    Ok,               // one whole frame with a matching checksum
    TruncatedHeader,  // fewer than 6 bytes
    InvalidHeader,    // does not start with AA 55
    TruncatedPayload, // fewer than N + 4 bytes after the header
    CrcMismatch,      // stored checksum differs
};

// Checks the frame at the start of `bytes` in the readers' order (header
// length, sync bytes, payload length, checksum). Bytes after the frame are
// ignored; `frame_size`, when given, receives 10 + N once the header is read.
FrameCheck check_frame(QByteArrayView bytes, qsizetype* frame_size = nullptr);

// The readers' text for a failed check ("Frame CRC mismatch.", ...); empty
// for Ok.
const char* check_text(FrameCheck check);

// Little-endian field access on raw frame bytes; the caller guarantees the
// bytes exist.
inline std::uint16_t read_u16(const char* p)
{
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return static_cast<std::uint16_t>(u[0] | (u[1] << 8));
}
inline std::uint32_t read_u32(const char* p)
{
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return std::uint32_t(u[0]) | (std::uint32_t(u[1]) << 8) | (std::uint32_t(u[2]) << 16)
        | (std::uint32_t(u[3]) << 24);
}
inline std::uint64_t read_u64(const char* p)
{
    return std::uint64_t(read_u32(p)) | (std::uint64_t(read_u32(p + 4)) << 32);
}

} // namespace nmb::protocol

namespace nmb::reelcast {

// What playback needs to know about one frame.
struct FrameMetadata {
    quint16 frame_id = 0;
    quint16 payload_length = 0;
    quint64 timestamp = 0;          // raw ticks; 0 when the frame has none
    quint64 timestamp_scale_us = 0; // microseconds per tick; 0 = no timestamp
    bool timestamp_wraps_32bit = false;
};

// Metadata of one whole frame. Only an ID-0 frame with at least 8 payload
// bytes carries a timestamp (u64 microseconds at offset 6). Sync bytes and
// checksum are not examined; N comes from the header. A buffer too short
// for what its header promises is taken as carrying no timestamp, and
// nothing beyond the buffer is read.
FrameMetadata read_metadata(const QByteArray& frame);

} // namespace nmb::reelcast
