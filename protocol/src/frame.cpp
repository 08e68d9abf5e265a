#include <nmb/protocol/crc32.h>
#include <nmb/protocol/frame.h>

#include <zlib.h>

namespace nmb::protocol {

namespace {

// Whole frames are checked through zlib's crc32, which computes the same
// polynomial about twice as fast as our table (reading a recording is
// bound by it). zlib keeps its register inverted: starting it at ~1 and
// inverting its result gives our checksum.
std::uint32_t whole_frame_crc32(const char* data, qsizetype size)
{
    const uLong reg = ::crc32(~uLong(CRC32_INITIAL) & 0xFFFFFFFFu, reinterpret_cast<const Bytef*>(data),
                              uInt(size)); // a frame is at most 65545 bytes
    return crc32_final(std::uint32_t(~reg));
}

} // namespace

QByteArray build_frame(std::uint16_t frame_id, QByteArrayView payload)
{
    if (payload.size() > MAX_PAYLOAD_SIZE)
        return {};
    const auto length = static_cast<std::uint16_t>(payload.size());
    QByteArray frame;
    frame.reserve(ENVELOPE_SIZE + payload.size());
    const char header[HEADER_SIZE] = {
        char(SYNC0), char(SYNC1),
        char(frame_id & 0xFF), char(frame_id >> 8),
        char(length & 0xFF), char(length >> 8),
    };
    frame.append(header, HEADER_SIZE);
    frame.append(payload.data(), payload.size());
    const std::uint32_t crc = whole_frame_crc32(frame.constData(), frame.size());
    const char trailer[TRAILER_SIZE] = {
        char(crc & 0xFF), char((crc >> 8) & 0xFF), char((crc >> 16) & 0xFF), char(crc >> 24),
    };
    frame.append(trailer, TRAILER_SIZE);
    return frame;
}

FrameCheck check_frame(QByteArrayView bytes, qsizetype* frame_size)
{
    if (bytes.size() < HEADER_SIZE)
        return FrameCheck::TruncatedHeader;
    const char* p = bytes.data();
    if (std::uint8_t(p[0]) != SYNC0 || std::uint8_t(p[1]) != SYNC1)
        return FrameCheck::InvalidHeader;
    const qsizetype length = read_u16(p + 4);
    if (frame_size)
        *frame_size = ENVELOPE_SIZE + length;
    if (bytes.size() < ENVELOPE_SIZE + length)
        return FrameCheck::TruncatedPayload;
    const std::uint32_t expected = whole_frame_crc32(p, HEADER_SIZE + length);
    if (read_u32(p + HEADER_SIZE + length) != expected)
        return FrameCheck::CrcMismatch;
    return FrameCheck::Ok;
}

const char* check_text(FrameCheck check)
{
    switch (check) {
    case FrameCheck::Ok:
        break;
    case FrameCheck::TruncatedHeader:
        return "Truncated frame header.";
    case FrameCheck::InvalidHeader:
        return "Invalid frame header.";
    case FrameCheck::TruncatedPayload:
        return "Truncated frame payload.";
    case FrameCheck::CrcMismatch:
        return "Frame CRC mismatch.";
    }
    return "";
}

} // namespace nmb::protocol

namespace nmb::reelcast {

FrameMetadata read_metadata(const QByteArray& frame)
{
    using namespace nmb::protocol;
    FrameMetadata meta;
    if (frame.size() < HEADER_SIZE)
        return meta;
    const char* p = frame.constData();
    meta.frame_id = read_u16(p + 2);
    meta.payload_length = read_u16(p + 4);
    if (meta.frame_id == 0 && meta.payload_length >= 8 && frame.size() >= HEADER_SIZE + 8) {
        meta.timestamp = read_u64(p + HEADER_SIZE);
        meta.timestamp_scale_us = 1;
    }
    return meta;
}

} // namespace nmb::reelcast
