#include "format_frame.h"

#include <nmb/protocol/frame.h>

#include <fmt/format.h>

namespace nmb::reelcast {

std::string format_frame(const QByteArray& frame, quint64 frame_number)
{
    const FrameMetadata meta = read_metadata(frame);
    const char* unit = meta.timestamp_scale_us == 1000 ? "ms" : "us";
    return fmt::format("frame: {}\nid: {}\nlength: {}\ntimestamp: {} {}\n",
                       static_cast<unsigned long long>(frame_number), meta.frame_id,
                       meta.payload_length, static_cast<unsigned long long>(meta.timestamp),
                       unit);
}

} // namespace nmb::reelcast
