#include "skelora_messages.h"

#include <nlohmann/json.hpp>

#include <cmath>

namespace nmb::skelora {

namespace {

using nlohmann::json;

// The largest finite float; wider values cannot be stored in a pose.
constexpr double FLOAT_LIMIT = 3.4028234663852886e38;

bool string_field_equals(const json& object, const char* key, const char* text)
{
    const auto it = object.find(key);
    return it != object.end() && it->is_string() && it->get_ref<const json::string_t&>() == text;
}

json float_array(const float* values, std::size_t count)
{
    json array(json::value_t::array);
    auto& items = array.get_ref<json::array_t&>();
    items.reserve(count);
    for (std::size_t i = 0; i < count; ++i)
        items.emplace_back(static_cast<double>(values[i]));
    return array;
}

// The keys go in through end hints in descending order, so the object (a
// sorted map) takes them without searching.
json joint_object(const nmb::PoseData& pose)
{
    json joint(json::value_t::object);
    auto& keys = joint.get_ref<json::object_t&>();
    auto hint = keys.end();
    hint = keys.emplace_hint(hint, "position", float_array(pose.position.data(), pose.position.size()));
    hint = keys.emplace_hint(hint, "parent", pose.parent.empty() ? json(nullptr) : json(pose.parent));
    hint = keys.emplace_hint(hint, "orientation",
                             float_array(pose.orientation.data(), pose.orientation.size()));
    keys.emplace_hint(hint, "name", pose.name);
    return joint;
}

std::string dump_pose_frame(const json& document)
{
    // Names come from the network and from callers; bad UTF-8 must not stop
    // the frame (the strict default would throw).
    return document.dump(-1, ' ', false, json::error_handler_t::replace);
}

// Fills `out` from a JSON array of exactly N numbers within float range.
template <std::size_t N>
bool read_floats(const json& object, const char* key, std::array<float, N>& out)
{
    const auto it = object.find(key);
    if (it == object.end() || !it->is_array() || it->size() != N)
        return false;
    for (std::size_t i = 0; i < N; ++i) {
        const json& item = (*it)[i];
        if (!item.is_number())
            return false;
        const double value = item.get<double>();
        if (!std::isfinite(value) || std::fabs(value) > FLOAT_LIMIT)
            return false;
        out[i] = static_cast<float>(value);
    }
    return true;
}

bool read_joint(const json& item, nmb::PoseData& pose)
{
    if (!item.is_object())
        return false;
    const auto name = item.find("name");
    if (name == item.end() || !name->is_string() || name->get_ref<const json::string_t&>().empty())
        return false;
    pose.name = name->get<std::string>();
    const auto parent = item.find("parent");
    if (parent != item.end() && !parent->is_null()) {
        if (!parent->is_string())
            return false;
        pose.parent = parent->get<std::string>();
    }
    return read_floats(item, "position", pose.position)
        && read_floats(item, "orientation", pose.orientation);
}

} // namespace

std::string hello_message()
{
    return json{{"type", "hello"}, {"role", "sender"}}.dump();
}

std::string pose_frame_message(const std::string& skeleton_id, const PoseList& poses,
                               std::int64_t timestamp_ms)
{
    json joints(json::value_t::array);
    auto& items = joints.get_ref<json::array_t&>();
    items.reserve(poses.size());
    for (const nmb::PoseData& pose : poses)
        items.push_back(joint_object(pose));
    json frame(json::value_t::object);
    frame["type"] = "pose_frame";
    frame["timestamp"] = timestamp_ms;
    frame["skeleton"] = skeleton_id;
    frame["joints"] = std::move(joints);
    return dump_pose_frame(frame);
}

IncomingMessage parse_message(const QByteArray& bytes)
{
    IncomingMessage message;
    const json document = json::parse(bytes.cbegin(), bytes.cend(), nullptr, false);
    if (document.is_discarded() || !document.is_object())
        return message;

    if (string_field_equals(document, "type", "server_ready")
        && string_field_equals(document, "protocol", "pose_frame.v1")) {
        message.kind = IncomingKind::ServerReady;
        return message;
    }
    if (!string_field_equals(document, "type", "get_pose_data"))
        return message;

    const auto skeleton = document.find("skeleton");
    const auto joints = document.find("joint");
    if (skeleton == document.end() || !skeleton->is_string() || joints == document.end()
        || !joints->is_array()) {
        message.kind = IncomingKind::InvalidPoseData;
        return message;
    }
    message.skeleton_id = skeleton->get<std::string>();
    if (message.skeleton_id.empty()) {
        message.kind = IncomingKind::EmptySkeletonId;
        return message;
    }
    message.kind = IncomingKind::PoseData;
    message.poses.reserve(joints->size());
    for (const json& item : *joints) {
        nmb::PoseData pose;
        if (read_joint(item, pose))
            message.poses.push_back(std::move(pose));
    }
    return message;
}

bool is_sendable(const nmb::PoseData& pose)
{
    if (pose.name.empty())
        return false;
    for (const float value : pose.position)
        if (!std::isfinite(value))
            return false;
    for (const float value : pose.orientation)
        if (!std::isfinite(value))
            return false;
    return true;
}

} // namespace nmb::skelora
