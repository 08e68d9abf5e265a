#pragma once

#include <nmb/protocol/mocap_frame.h>

#include <array>

namespace nmb::synth {

inline constexpr int JOINT_COUNT = protocol::MocapFrame::POSE_COUNT;

using SkeletonPoses = std::array<types::Pose, JOINT_COUNT>;

// A figure about 1.7 m tall that walks slowly round a circle of 1.5 m
// radius, swings its left arm, waves with its raised right arm and keeps
// curling its fingers. Poses are world poses in the slot order of
// SKELETON_JOINT_DESCRIPTIONS: positions in metres (y up, the figure's
// left at +x when it faces +z), orientations unit quaternions (w, x, y, z)
// giving each joint's world rotation. Every pose comes from forward
// kinematics along the joint table from the Waist, so the distance of a
// joint from its parent is the same at every instant.
class SkeletonModel {
public:
    SkeletonModel();

    // Poses at `t` seconds into the motion (any real t, negative included).
    SkeletonPoses poses_at(double t) const;

    // Slot of each joint's parent; -1 for the root (Waist).
    const std::array<int, JOINT_COUNT>& parents() const { return parents_; }

    // Distance of joint `slot` from its parent in metres; 0 for the root.
    double bone_length(int slot) const;

private:
    enum class Kind : std::uint8_t {
        Root, Spine, Neck, Head, Collar, Shoulder, Elbow, Wrist, Hand,
        Hip, Knee, Ankle, Foot, Finger,
    };

    struct Joint {
        Kind kind = Kind::Root;
        double side = 0;     // +1 left, -1 right, 0 on the middle line
        int finger = 0;      // 0 thumb .. 4 pinky
        int segment = 0;     // 0 near .. 3 end
        double offset[3] = {}; // from the parent, in the parent's frame
    };

    std::array<int, JOINT_COUNT> parents_{};
    std::array<int, JOINT_COUNT> order_{}; // every parent before its children
    std::array<Joint, JOINT_COUNT> joints_{};
};

} // namespace nmb::synth
