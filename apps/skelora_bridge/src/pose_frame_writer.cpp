#include "pose_frame_writer.h"

#include <nlohmann/json.hpp>

#include <charconv>
#include <cmath>
#include <cstring>

namespace nmb::skelora {

namespace {

using nlohmann::json;

// The numbers are written by the library's own shortest round-trip
// formatter, nlohmann::detail::to_chars: it is not public, but nothing public
// gives the same bytes without building a document per number. Its digits
// come from Grisu2, which is not always the shortest form (std::to_chars is),
// and its exponent form ("1e-05", "1e+20") is its own, so a standard
// formatter would differ from the library's dump on some values. The tests
// compare whole messages with the library's dump; this check makes a library
// upgrade stop the build until that comparison has been run on it.
static_assert(NLOHMANN_JSON_VERSION_MAJOR == 3 && NLOHMANN_JSON_VERSION_MINOR == 11,
              "check the pose frame writer's bytes against the new JSON library (tst_pose_frame_writer)");

// Room for one number: the library writes a double in at most 24 bytes
// ("-1.2345678901234567e-308") and an int64 takes at most 20.
constexpr std::size_t NUMBER_ROOM = 32;

constexpr std::string_view MESSAGE_START = R"({"joints":[)";
constexpr std::string_view JOINT_END = "]}";
constexpr std::string_view MESSAGE_END = R"(,"type":"pose_frame"})";

// A string as the library writes it, bad UTF-8 replaced by U+FFFD.
std::string json_text(const std::string& text)
{
    return json(text).dump(-1, ' ', false, json::error_handler_t::replace);
}

char* append(char* out, std::string_view text)
{
    std::memcpy(out, text.data(), text.size());
    return out + text.size();
}

char* append_number(char* out, float value)
{
    const double widened = value; // the library stores every number as double
    if (!std::isfinite(widened))
        return append(out, "null");
    // The library's own formatter, so the digits, the exponent form and the
    // ".0" of whole numbers are exactly what its dump writes.
    return nlohmann::detail::to_chars(out, out + NUMBER_ROOM, widened);
}

template <std::size_t N>
char* append_numbers(char* out, const std::array<float, N>& values)
{
    out = append_number(out, values[0]);
    for (std::size_t i = 1; i < N; ++i) {
        *out++ = ',';
        out = append_number(out, values[i]);
    }
    return out;
}

} // namespace

std::string_view PoseFrameWriter::write(const std::string& skeleton_id, const PoseList& poses,
                                        std::int64_t timestamp_ms)
{
    if (!built_ || !same_joints(poses))
        rebuild(poses);
    if (!built_ || skeleton_id != skeleton_id_)
        set_skeleton(skeleton_id);
    built_ = true;

    // Per joint seven numbers and the five commas between them, then the
    // timestamp.
    const std::size_t bound =
        fixed_size_ + after_joints_.size() + poses.size() * (7 * NUMBER_ROOM + 5) + NUMBER_ROOM;
    if (buffer_.size() < bound)
        buffer_.resize(bound);

    char* const start = buffer_.data();
    char* out = append(start, MESSAGE_START);
    for (std::size_t i = 0; i < poses.size(); ++i) {
        out = append(out, joints_[i].before_orientation);
        out = append_numbers(out, poses[i].orientation);
        out = append(out, joints_[i].before_position);
        out = append_numbers(out, poses[i].position);
        out = append(out, JOINT_END);
    }
    out = append(out, after_joints_);
    out = std::to_chars(out, out + NUMBER_ROOM, timestamp_ms).ptr;
    out = append(out, MESSAGE_END);
    return {start, std::size_t(out - start)};
}

bool PoseFrameWriter::same_joints(const PoseList& poses) const
{
    if (joints_.size() != poses.size())
        return false;
    for (std::size_t i = 0; i < poses.size(); ++i)
        if (joints_[i].name != poses[i].name || joints_[i].parent != poses[i].parent)
            return false;
    return true;
}

void PoseFrameWriter::rebuild(const PoseList& poses)
{
    joints_.resize(poses.size());
    fixed_size_ = MESSAGE_START.size() + MESSAGE_END.size();
    for (std::size_t i = 0; i < poses.size(); ++i) {
        JointText& text = joints_[i];
        text.name = poses[i].name;
        text.parent = poses[i].parent;
        text.before_orientation = (i == 0 ? "" : ",") + (R"({"name":)" + json_text(text.name))
            + R"(,"orientation":[)";
        text.before_position = R"(],"parent":)" + (text.parent.empty() ? "null" : json_text(text.parent))
            + R"(,"position":[)";
        fixed_size_ += text.before_orientation.size() + text.before_position.size() + JOINT_END.size();
    }
}

void PoseFrameWriter::set_skeleton(const std::string& skeleton_id)
{
    skeleton_id_ = skeleton_id;
    after_joints_ = R"(],"skeleton":)" + json_text(skeleton_id) + R"(,"timestamp":)";
}

} // namespace nmb::skelora
