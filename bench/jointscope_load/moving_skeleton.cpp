#include "moving_skeleton.h"

#include <nmb/protocol/crc32.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

namespace nmb::bench {
namespace {

struct Point {
    float x, y, z;
};

// Standing pose of one side (left; the right one is mirrored in x), in
// skeleton order from the collar down to the foot.
constexpr std::array<Point, 9> LEFT_LIMBS = {{
    {0.05f, 1.48f, 0.0f}, // collar
    {0.18f, 1.45f, 0.0f}, // shoulder
    {0.22f, 1.18f, 0.0f}, // elbow
    {0.24f, 0.93f, 0.02f}, // wrist
    {0.25f, 0.86f, 0.03f}, // hand
    {0.10f, 0.95f, 0.0f}, // hip
    {0.11f, 0.52f, 0.01f}, // knee
    {0.11f, 0.09f, 0.0f}, // ankle
    {0.11f, 0.02f, 0.12f}, // foot
}};

constexpr std::array<Point, 6> SPINE = {{
    {0.0f, 1.68f, 0.0f}, // head
    {0.0f, 1.55f, 0.0f}, // neck
    {0.0f, 1.38f, 0.0f}, // chest
    {0.0f, 1.10f, 0.0f}, // spine 1
    {0.0f, 1.24f, 0.0f}, // spine 2
    {0.0f, 1.00f, 0.0f}, // waist
}};

// Unit quaternion for a rotation of `angle` radians about a unit axis.
types::Quat rotation(float angle, float ax, float ay, float az)
{
    const float s = std::sin(angle / 2);
    return {std::cos(angle / 2), ax * s, ay * s, az * s};
}

void set_pose(protocol::MocapFrame& frame, int joint, Point p, types::Quat q)
{
    frame.poses[joint].position = {p.x, p.y, p.z};
    frame.poses[joint].orientation = q;
}

// Fingers hang down from the wrist: five fingers of four joints each,
// curling together with a phase per finger.
void set_hand(protocol::MocapFrame& frame, int first_joint, Point wrist, float side, float t)
{
    for (int finger = 0; finger < 5; ++finger) {
        const float curl = 0.6f + 0.5f * std::sin(2.0f * t + 0.4f * finger);
        for (int k = 0; k < 4; ++k) {
            const float reach = 0.025f * (k + 1) * (finger == 0 ? 0.8f : 1.0f);
            const Point p = {wrist.x + side * (0.01f + 0.012f * (finger - 2)),
                             wrist.y - 0.07f - reach * std::cos(curl * k / 3.0f),
                             wrist.z + 0.01f + reach * std::sin(curl * k / 3.0f)};
            set_pose(frame, first_joint + 4 * finger + k, p, rotation(curl * (k + 1) / 4.0f, 1, 0, 0));
        }
    }
}

} // namespace

protocol::MocapFrame moving_skeleton_frame(double seconds, std::uint64_t timestamp_us)
{
    protocol::MocapFrame frame;
    frame.timestamp_us = timestamp_us;
    const auto t = static_cast<float>(seconds);
    const float sway = 0.03f * std::sin(0.8f * t);
    const float turn = 0.25f * std::sin(0.3f * t);
    const types::Quat body = rotation(turn, 0, 1, 0);

    for (int i = 0; i < int(SPINE.size()); ++i) {
        const Point p = SPINE[i];
        set_pose(frame, i, {p.x + sway, p.y + 0.01f * std::sin(1.6f * t), p.z}, body);
    }
    for (int side = 0; side < 2; ++side) {
        const float mirror = side == 0 ? 1.0f : -1.0f;
        const int first = side == 0 ? 6 : 35;
        // Arms and legs swing in opposite phase, as in walking on the spot.
        const float swing = 0.5f * std::sin(2.0f * t + (side == 0 ? 0.0f : 3.14159f));
        for (int k = 0; k < int(LEFT_LIMBS.size()); ++k) {
            const Point base = LEFT_LIMBS[k];
            const bool arm = k < 5;
            const float lever = arm ? std::max(0.0f, 1.45f - base.y) : std::max(0.0f, 0.95f - base.y);
            const float angle = arm ? swing : -0.6f * swing;
            const Point p = {mirror * base.x + sway, base.y - lever * (1 - std::cos(angle)),
                             base.z + lever * std::sin(angle)};
            set_pose(frame, first + k, p, rotation(angle, 1, 0, 0));
        }
        const auto wrist = frame.poses[first + 3].position;
        set_hand(frame, side == 0 ? 15 : 44, {wrist.x, wrist.y, wrist.z}, mirror, t);
    }

    auto* bytes = reinterpret_cast<unsigned char*>(&frame);
    frame.crc = protocol::frame_crc32(bytes, sizeof frame - 4);
    return frame;
}

} // namespace nmb::bench
