#pragma once

#include <nmb/protocol/mocap_frame.h>

#include <cstdint>

namespace nmb::bench {

// A skeleton that stands, sways, swings its arms and curls its fingers, so
// a viewer shows plausible, changing numbers. Positions in metres, y up.
// Fills all 64 poses and the timestamp, and returns the frame's wire image
// with its checksum set.
protocol::MocapFrame moving_skeleton_frame(double seconds, std::uint64_t timestamp_us);

} // namespace nmb::bench
