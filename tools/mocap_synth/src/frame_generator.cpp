#include "frame_generator.h"

#include <nmb/protocol/crc32.h>
#include <nmb/protocol/frame.h>
#include <nmb/protocol/joint_tables.h>

#include <cmath>
#include <cstring>

namespace nmb::synth {
namespace {

// splitmix64: small, fast and good enough for garbage bytes; seeded per
// frame so that any frame can be produced again on its own.
std::uint64_t next_random(std::uint64_t& state)
{
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

template <typename Frame>
qsizetype append_wire_image(Frame& frame, bool corrupt_crc, QByteArray& out)
{
    auto* bytes = reinterpret_cast<unsigned char*>(&frame);
    frame.crc = protocol::frame_crc32(bytes, sizeof(Frame) - 4);
    if (corrupt_crc)
        frame.crc = ~frame.crc;
    out.append(reinterpret_cast<const char*>(bytes), sizeof(Frame));
    return qsizetype(sizeof(Frame));
}

} // namespace

FrameGenerator::FrameGenerator(double rate_hz, FaultPlan faults)
    : rate_hz_(rate_hz)
    , faults_(std::move(faults))
{
}

std::uint64_t FrameGenerator::timestamp_us(std::int64_t index) const
{
    return BASE_TIMESTAMP_US + std::uint64_t(std::llround(double(index) * 1e6 / rate_hz_));
}

qsizetype FrameGenerator::frame_size(std::int64_t index) const
{
    return faults_.other_id_at.contains(index) ? qsizetype(sizeof(protocol::HumanBodyFrame))
                                               : qsizetype(sizeof(protocol::MocapFrame));
}

QByteArray FrameGenerator::garbage_before(std::int64_t index) const
{
    if (!faults_.garbage_at.contains(index))
        return {};
    std::uint64_t state = faults_.seed ^ (std::uint64_t(index) * 0xD1B54A32D192ED03ull);
    QByteArray garbage(qsizetype(1 + next_random(state) % 64), Qt::Uninitialized);
    for (char& c : garbage) {
        auto b = std::uint8_t(next_random(state));
        if (b == protocol::SYNC0)
            b ^= 0x01;
        c = char(b);
    }
    return garbage;
}

qsizetype FrameGenerator::append_frame(std::int64_t index, QByteArray& out) const
{
    const QByteArray garbage = garbage_before(index);
    out.append(garbage);

    const double t = double(index) / rate_hz_;
    const SkeletonPoses poses = model_.poses_at(t);
    const bool corrupt = faults_.bad_crc_at.contains(index);
    if (faults_.other_id_at.contains(index)) {
        protocol::HumanBodyFrame body;
        for (int k = 0; k < protocol::HumanBodyFrame::POSE_COUNT; ++k)
            body.poses[k] = poses[protocol::HUMAN_BODY_JOINTS[k]];
        return garbage.size() + append_wire_image(body, corrupt, out);
    }
    protocol::MocapFrame mocap;
    mocap.timestamp_us = timestamp_us(index);
    std::memcpy(mocap.poses, poses.data(), sizeof mocap.poses);
    return garbage.size() + append_wire_image(mocap, corrupt, out);
}

} // namespace nmb::synth
