#include <nmb/test/frames.h>

#include <nmb/protocol/crc32.h>
#include <nmb/protocol/frame.h>

#include <cstring>

namespace nmb::test {

QByteArray frame_bytes(std::uint16_t frame_id, const QByteArray& payload)
{
    return nmb::protocol::build_frame(frame_id, payload);
}

QByteArray mocap_frame_bytes(const nmb::protocol::MocapFrame& frame)
{
    QByteArray bytes(reinterpret_cast<const char*>(&frame), sizeof frame);
    const std::uint32_t crc = nmb::protocol::frame_crc32(bytes.constData(), bytes.size() - 4);
    std::memcpy(bytes.data() + bytes.size() - 4, &crc, 4);
    return bytes;
}

QByteArray mocap_frame_bytes(std::uint64_t timestamp_us, float seed)
{
    nmb::protocol::MocapFrame frame;
    frame.timestamp_us = timestamp_us;
    for (int i = 0; i < nmb::protocol::MocapFrame::POSE_COUNT; ++i) {
        auto& pose = frame.poses[i];
        const float base = seed + float(i);
        pose.position = {base * 0.01f, base * 0.02f, base * -0.03f};
        pose.orientation = {1.0f, base * 0.001f, base * -0.002f, 0.5f};
    }
    return mocap_frame_bytes(frame);
}

QByteArray patterned_frame(std::uint16_t frame_id, int length, std::uint8_t seed)
{
    QByteArray payload(length, Qt::Uninitialized);
    for (int i = 0; i < length; ++i)
        payload[i] = char(std::uint8_t(seed + i * 7));
    return frame_bytes(frame_id, payload);
}

} // namespace nmb::test
