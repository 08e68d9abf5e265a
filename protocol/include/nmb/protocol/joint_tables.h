#pragma once

#include <array>
#include <cstdint>

namespace nmb::protocol {

// One joint of a skeleton table; `parent` is null for the root.
struct JointDescription {
    const char* name;
    const char* parent;
};

// The 64 joints of MocapFrame::poses, in slot order (root: Waist).
extern const std::array<JointDescription, 64> SKELETON_JOINT_DESCRIPTIONS;

// The 22 joints of HumanHandFrame::poses, in slot order (root: Arm).
extern const std::array<JointDescription, 22> HAND_JOINT_DESCRIPTIONS;

// For each of the 24 HumanBodyFrame slots, its index into
// SKELETON_JOINT_DESCRIPTIONS.
inline constexpr std::array<std::int32_t, 24> HUMAN_BODY_JOINTS = {
    5, 11, 40, 4, 12, 41, 3, 13, 42, 2, 14, 43, 1, 6, 35, 0, 7, 36, 8, 37, 9, 38, 10, 39,
};

} // namespace nmb::protocol
