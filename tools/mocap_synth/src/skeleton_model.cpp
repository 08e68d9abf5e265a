#include "skeleton_model.h"

#include <nmb/protocol/joint_tables.h>

#include <cmath>
#include <numbers>
#include <string_view>

namespace nmb::synth {
namespace {

constexpr double TAU = 2 * std::numbers::pi;

struct Vec {
    double x, y, z;
};

struct Rot {
    double w, x, y, z;
};

Rot operator*(const Rot& a, const Rot& b)
{
    return {a.w * b.w - a.x * b.x - a.y * b.y - a.z * b.z,
            a.w * b.x + a.x * b.w + a.y * b.z - a.z * b.y,
            a.w * b.y - a.x * b.z + a.y * b.w + a.z * b.x,
            a.w * b.z + a.x * b.y - a.y * b.x + a.z * b.w};
}

Vec rotate(const Rot& q, const Vec& v)
{
    // v' = v + 2w(u x v) + 2 u x (u x v), u = vector part of q
    const Vec u{q.x, q.y, q.z};
    const Vec c{u.y * v.z - u.z * v.y, u.z * v.x - u.x * v.z, u.x * v.y - u.y * v.x};
    const Vec cc{u.y * c.z - u.z * c.y, u.z * c.x - u.x * c.z, u.x * c.y - u.y * c.x};
    return {v.x + 2 * (q.w * c.x + cc.x), v.y + 2 * (q.w * c.y + cc.y),
            v.z + 2 * (q.w * c.z + cc.z)};
}

Rot about_x(double a) { return {std::cos(a / 2), std::sin(a / 2), 0, 0}; }
Rot about_y(double a) { return {std::cos(a / 2), 0, std::sin(a / 2), 0}; }
Rot about_z(double a) { return {std::cos(a / 2), 0, 0, std::sin(a / 2)}; }

Rot normalised(const Rot& q)
{
    const double n = std::sqrt(q.w * q.w + q.x * q.x + q.y * q.y + q.z * q.z);
    return {q.w / n, q.x / n, q.y / n, q.z / n};
}

// Rest offsets of the left side and the middle line, x towards the figure's
// left, y up, z forward; the right side mirrors x.
struct RestBone {
    std::string_view name;
    Vec offset;
};
constexpr RestBone REST_BONES[] = {
    {"Spine1", {0, 0.10, -0.01}}, {"Spine2", {0, 0.12, 0}},      {"Chest", {0, 0.12, 0.01}},
    {"Neck", {0, 0.17, -0.01}},   {"Head", {0, 0.11, 0.02}},     {"Collar", {0.03, 0.13, 0}},
    {"Shoulder", {0.15, 0, -0.01}}, {"Elbow", {0, -0.28, 0}},    {"Wrist", {0, -0.25, 0}},
    {"Hand", {0, -0.09, 0}},      {"Hip", {0.09, -0.06, 0}},     {"Knee", {0, -0.42, 0}},
    {"Ankle", {0, -0.41, -0.01}}, {"Foot", {0, -0.06, 0.13}},
};

constexpr std::string_view FINGER_NAMES[] = {"Thumb", "Index", "Middle", "Ring", "Pinky"};
constexpr std::string_view SEGMENT_NAMES[] = {"Near", "Mid", "Far", "End"};
// Finger roots from the wrist, then the lengths of the near, mid and far bones.
constexpr Vec FINGER_ROOTS[] = {
    {-0.01, -0.025, 0.03}, {0, -0.09, 0.025}, {0, -0.095, 0.005}, {0, -0.09, -0.013},
    {0, -0.08, -0.03},
};
constexpr double FINGER_BONES[5][3] = {
    {0.035, 0.03, 0.025}, {0.045, 0.025, 0.02}, {0.05, 0.03, 0.02}, {0.045, 0.028, 0.02},
    {0.035, 0.02, 0.018},
};

constexpr double WAIST_HEIGHT = 0.98;
constexpr double CIRCLE_RADIUS = 1.5;
constexpr double TURN_SPEED = 0.4;  // rad/s round the circle: about 0.6 m/s
constexpr double STEP_RATE = 0.9;   // gait cycles per second
constexpr double WAVE_RATE = 1.5;   // waves of the right forearm per second
constexpr double CURL_RATE = 0.6;   // finger curl cycles per second

int slot_of(std::string_view name)
{
    for (int i = 0; i < JOINT_COUNT; ++i) {
        if (name == protocol::SKELETON_JOINT_DESCRIPTIONS[i].name)
            return i;
    }
    return -1;
}

} // namespace

SkeletonModel::SkeletonModel()
{
    static_assert(std::size(REST_BONES) == 14);
    for (int i = 0; i < JOINT_COUNT; ++i) {
        const auto& entry = protocol::SKELETON_JOINT_DESCRIPTIONS[i];
        parents_[i] = entry.parent ? slot_of(entry.parent) : -1;

        std::string_view name = entry.name;
        Joint& joint = joints_[i];
        if (name.starts_with("Left")) {
            joint.side = 1;
            name.remove_prefix(4);
        } else if (name.starts_with("Right")) {
            joint.side = -1;
            name.remove_prefix(5);
        }
        Vec offset{0, 0, 0};
        for (const RestBone& bone : REST_BONES) {
            if (bone.name == name)
                offset = bone.offset;
        }
        static constexpr std::pair<std::string_view, Kind> KINDS[] = {
            {"Waist", Kind::Root},     {"Spine1", Kind::Spine}, {"Spine2", Kind::Spine},
            {"Chest", Kind::Spine},    {"Neck", Kind::Neck},    {"Head", Kind::Head},
            {"Collar", Kind::Collar},  {"Shoulder", Kind::Shoulder}, {"Elbow", Kind::Elbow},
            {"Wrist", Kind::Wrist},    {"Hand", Kind::Hand},    {"Hip", Kind::Hip},
            {"Knee", Kind::Knee},      {"Ankle", Kind::Ankle},  {"Foot", Kind::Foot},
        };
        joint.kind = Kind::Finger;
        for (const auto& [kind_name, kind] : KINDS) {
            if (kind_name == name)
                joint.kind = kind;
        }
        if (joint.kind == Kind::Finger) {
            for (int f = 0; f < 5; ++f) {
                if (name.starts_with(FINGER_NAMES[f]))
                    joint.finger = f;
            }
            for (int s = 0; s < 4; ++s) {
                if (name.ends_with(SEGMENT_NAMES[s]))
                    joint.segment = s;
            }
            if (joint.segment == 0) {
                offset = FINGER_ROOTS[joint.finger];
            } else {
                // Thumbs point forward and down, the other fingers down.
                const double length = FINGER_BONES[joint.finger][joint.segment - 1];
                offset = joint.finger == 0 ? Vec{0, -0.6 * length, 0.8 * length}
                                           : Vec{0, -length, 0};
            }
        }
        joint.offset[0] = offset.x * (joint.side < 0 ? -1 : 1);
        joint.offset[1] = offset.y;
        joint.offset[2] = offset.z;
    }

    // Parents first: repeatedly take every joint whose parent is placed.
    std::array<bool, JOINT_COUNT> placed{};
    int count = 0;
    while (count < JOINT_COUNT) {
        for (int i = 0; i < JOINT_COUNT; ++i) {
            if (!placed[i] && (parents_[i] < 0 || placed[parents_[i]])) {
                placed[i] = true;
                order_[count++] = i;
            }
        }
    }
}

double SkeletonModel::bone_length(int slot) const
{
    if (slot < 0 || slot >= JOINT_COUNT || parents_[slot] < 0)
        return 0;
    const double* o = joints_[slot].offset;
    return std::sqrt(o[0] * o[0] + o[1] * o[1] + o[2] * o[2]);
}

SkeletonPoses SkeletonModel::poses_at(double t) const
{
    const double gait = TAU * STEP_RATE * t;
    const double stride = 0.35 * std::sin(gait); // left leg forward when positive
    const double heading = TURN_SPEED * t;

    std::array<Vec, JOINT_COUNT> positions{};
    std::array<Rot, JOINT_COUNT> rotations{};
    for (const int i : order_) {
        const Joint& j = joints_[i];
        const double s = j.side;
        Rot local{1, 0, 0, 0};
        switch (j.kind) {
        case Kind::Root:
            // Facing along the circle's tangent, with a slight sway.
            local = about_y(heading + std::numbers::pi / 2) * about_z(0.03 * std::sin(gait));
            break;
        case Kind::Spine:
            local = about_y(-0.06 * std::sin(gait)) * about_x(0.03);
            break;
        case Kind::Neck:
            local = about_x(0.05 * std::sin(TAU * 0.3 * t));
            break;
        case Kind::Head:
            local = about_y(0.2 * std::sin(TAU * 0.1 * t)) * about_x(0.1 * std::sin(TAU * 0.25 * t));
            break;
        case Kind::Collar:
        case Kind::Hand:
        case Kind::Foot:
            break;
        case Kind::Shoulder:
            if (s > 0) // the left arm swings against the left leg
                local = about_x(0.8 * stride) * about_z(0.12);
            else // the right arm is raised sideways to wave
                local = about_z(-(2.4 + 0.1 * std::sin(TAU * 0.2 * t)));
            break;
        case Kind::Elbow:
            if (s > 0)
                local = about_x(-(0.25 + 0.15 * std::sin(gait)));
            else
                local = about_z(-0.6 * std::sin(TAU * WAVE_RATE * t));
            break;
        case Kind::Wrist:
            local = about_z(s * 0.1 * std::sin(TAU * 0.7 * t));
            break;
        case Kind::Hip:
            local = about_x(-s * stride);
            break;
        case Kind::Knee:
            local = about_x(0.3 + 0.25 * std::sin(gait + s * std::numbers::pi / 2));
            break;
        case Kind::Ankle:
            local = about_x(-0.1 * s * std::sin(gait));
            break;
        case Kind::Finger:
            if (j.segment < 3) {
                // Curl towards the palm, each finger a little behind the last.
                static constexpr double SEGMENT_WEIGHT[] = {1.0, 0.9, 0.7};
                const double wave = 0.5 + 0.5 * std::sin(TAU * CURL_RATE * t - 0.5 * j.finger);
                const double curl = (0.15 + 0.6 * wave) * SEGMENT_WEIGHT[j.segment];
                // The thumb points forward, so it folds about the side axis.
                local = j.finger == 0 ? about_x(0.8 * curl) : about_z(-s * curl);
            }
            break;
        }

        const int parent = parents_[i];
        const Vec offset{j.offset[0], j.offset[1], j.offset[2]};
        if (parent < 0) {
            positions[i] = {CIRCLE_RADIUS * std::sin(heading),
                            WAIST_HEIGHT + 0.015 * std::cos(2 * gait),
                            CIRCLE_RADIUS * std::cos(heading)};
            rotations[i] = normalised(local);
        } else {
            const Vec d = rotate(rotations[parent], offset);
            const Vec& p = positions[parent];
            positions[i] = {p.x + d.x, p.y + d.y, p.z + d.z};
            rotations[i] = normalised(rotations[parent] * local);
        }
    }

    SkeletonPoses poses{};
    for (int i = 0; i < JOINT_COUNT; ++i) {
        const Vec& p = positions[i];
        const Rot& q = rotations[i];
        poses[i].position = {float(p.x), float(p.y), float(p.z)};
        poses[i].orientation = {float(q.w), float(q.x), float(q.y), float(q.z)};
    }
    return poses;
}

} // namespace nmb::synth
