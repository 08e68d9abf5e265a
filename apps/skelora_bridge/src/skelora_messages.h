#pragma once

#include "pose_data.h"

#include <nlohmann/json.hpp>

#include <QByteArray>

#include <cstdint>
#include <string>
#include <vector>

// The JSON messages of the pose service, free of sockets and clocks: the
// client passes the time in and sends what comes out.
namespace nmb::skelora {

// {"role":"sender","type":"hello"}
std::string hello_message();

// One compact pose_frame document: keys in lexicographic order, joints in list
// order, empty parents as null, floats widened to double. Invalid UTF-8 in the
// names or the skeleton ID comes out as U+FFFD. `timestamp_ms` is written as is.
// Built as a document and dumped by the JSON library: the reference for the
// client's PoseFrameWriter, which writes the same bytes at a fraction of the cost.
std::string pose_frame_message(const std::string& skeleton_id, const PoseList& poses,
                               std::int64_t timestamp_ms);

// What an incoming text message turned out to be.
enum class IncomingKind {
    Ignored,            // not JSON, not an object, or of no interest
    ServerReady,        // server_ready speaking our protocol
    PoseData,           // well-formed get_pose_data; skeleton_id and poses are set
    InvalidPoseData,    // get_pose_data without a string skeleton or a joint array
    EmptySkeletonId,    // get_pose_data with an empty skeleton
};

struct IncomingMessage {
    IncomingKind kind = IncomingKind::Ignored;
    std::string skeleton_id;
    PoseList poses; // the valid joints, in message order
};

// Classifies one received message. Invalid joints of a get_pose_data message
// are dropped silently; the interest list is the caller's business.
IncomingMessage parse_message(const QByteArray& bytes);

// True when the name is not empty and all seven floats are finite.
bool is_sendable(const nmb::PoseData& pose);

} // namespace nmb::skelora
