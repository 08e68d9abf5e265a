#pragma once

#include <bit>
#include <cstdint>

// Frame types mirror the wire image byte for byte (packed, little-endian
// hosts only), so a decoded frame is filled by copying and its fields are
// read in place.
static_assert(std::endian::native == std::endian::little, "the wire format is little-endian");

namespace nmb::types {

#pragma pack(push, 1)
struct Vec3 {
    float x = 0;
    float y = 0;
    float z = 0;
};

// Stored scalar first; consumers pass the values on in this order.
struct Quat {
    float w = 0;
    float x = 0;
    float y = 0;
    float z = 0;
};

// One joint pose: 28 bytes on the wire, no padding.
struct Pose {
    Vec3 position;
    Quat orientation;
};
#pragma pack(pop)

static_assert(sizeof(Pose) == 28);

} // namespace nmb::types

namespace nmb::protocol {

inline constexpr std::uint16_t FRAME_SYNC_WORD = 0x55AA; // AA 55 read as one LE u16

#pragma pack(push, 1)
// Frame ID 0: timestamp and the 64 skeleton poses (SKELETON_JOINT_DESCRIPTIONS).
struct MocapFrame {
    static constexpr std::uint16_t ID = 0;
    static constexpr std::uint16_t PAYLOAD_SIZE = 1850;
    static constexpr int POSE_COUNT = 64;

    std::uint16_t sync = FRAME_SYNC_WORD;
    std::uint16_t frame_id = ID;
    std::uint16_t payload_length = PAYLOAD_SIZE;
    std::uint64_t timestamp_us = 0;
    types::Pose poses[POSE_COUNT] = {};
    std::uint8_t reserved[50] = {}; // carried, never interpreted
    std::uint32_t crc = 0;
};

// Frame ID 1: 24 body poses, slot k named by HUMAN_BODY_JOINTS[k].
struct HumanBodyFrame {
    static constexpr std::uint16_t ID = 1;
    static constexpr std::uint16_t PAYLOAD_SIZE = 676;
    static constexpr int POSE_COUNT = 24;

    std::uint16_t sync = FRAME_SYNC_WORD;
    std::uint16_t frame_id = ID;
    std::uint16_t payload_length = PAYLOAD_SIZE;
    std::uint8_t reserved[4] = {}; // never read
    types::Pose poses[POSE_COUNT] = {};
    std::uint32_t crc = 0;
};

// Frame IDs 3 and 4 (same layout and joint table): 22 hand poses
// (HAND_JOINT_DESCRIPTIONS).
struct HumanHandFrame {
    static constexpr std::uint16_t ID = 3;
    static constexpr std::uint16_t OTHER_ID = 4;
    static constexpr std::uint16_t PAYLOAD_SIZE = 620;
    static constexpr int POSE_COUNT = 22;

    std::uint16_t sync = FRAME_SYNC_WORD;
    std::uint16_t frame_id = ID;
    std::uint16_t payload_length = PAYLOAD_SIZE;
    std::uint8_t reserved[4] = {}; // never read
    types::Pose poses[POSE_COUNT] = {};
    std::uint32_t crc = 0;
};
#pragma pack(pop)

static_assert(sizeof(MocapFrame) == 6 + 1850 + 4);
static_assert(sizeof(HumanBodyFrame) == 6 + 676 + 4);
static_assert(sizeof(HumanHandFrame) == 6 + 620 + 4);

} // namespace nmb::protocol
