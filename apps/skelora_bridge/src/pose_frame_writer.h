#pragma once

#include "pose_data.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace nmb::skelora {

// Writes pose_frame messages straight into one reused buffer, byte for byte
// what the JSON library's compact dump of pose_frame_message()'s document
// gives, without building that document. Everything but the numbers (keys,
// punctuation, the escaped names, parents and skeleton ID) is text made once
// by the library itself and kept while the joint names and parents stay the
// same, as they do for a stream of frames of one type; each call then only
// formats the numbers, floats with the library's own shortest round-trip
// formatter. One thread only.
class PoseFrameWriter {
public:
    // The message; the view stays valid until the next call. Values that are
    // not finite come out as null, as the library writes them.
    std::string_view write(const std::string& skeleton_id, const PoseList& poses,
                           std::int64_t timestamp_ms);

private:
    // The fixed text around one joint's numbers.
    struct JointText {
        std::string name;   // as given, to notice a change
        std::string parent; // as given
        std::string before_orientation; // ,{"name":"Head","orientation":[
        std::string before_position;    // ],"parent":"Neck","position":[
    };

    bool same_joints(const PoseList& poses) const;
    void rebuild(const PoseList& poses);
    void set_skeleton(const std::string& skeleton_id);

    std::vector<JointText> joints_;
    std::string skeleton_id_;      // as given
    std::string after_joints_;     // ],"skeleton":"mocap","timestamp":
    std::size_t fixed_size_ = 0;   // bytes of all fixed text of one message
    std::string buffer_;           // grows to the largest message, never shrinks
    bool built_ = false;
};

} // namespace nmb::skelora
