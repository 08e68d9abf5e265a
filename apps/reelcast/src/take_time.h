#pragma once

#include <nmb/protocol/frame.h>

#include <QFile>
#include <QtGlobal>

#include <optional>

namespace nmb::reelcast {

// Advance in ticks from the previous timestamp of a time line to `meta`'s,
// or nothing when the time line went backwards. 32-bit counters that wrap
// from their top quarter into their bottom quarter advance across the wrap.
std::optional<quint64> timestamp_advance(const FrameMetadata& meta, quint64 previous);

// Where a frame lies in a take: its timestamp minus the first frame's, in
// microseconds. Advances count as the scheduler counts them (across a
// 32-bit wrap); a step backwards adds nothing, so offsets never decrease.
// Frames without a timestamp leave the clock where it is. A small value:
// copies of it mark places in the take.
class TakeClock {
public:
    // Adds the next frame of the take and returns its offset.
    qint64 add_frame(const FrameMetadata& meta);

    // Offset of the last frame added; 0 before the first one.
    qint64 offset_us() const { return offset_us_; }
    // Whether a frame with a timestamp has been added.
    bool started() const { return started_; }

private:
    bool started_ = false;
    quint64 last_timestamp_ = 0;
    qint64 offset_us_ = 0;
};

// Length of a take: the offset of its last whole frame from its first.
struct TakeSpan {
    quint64 first_timestamp = 0; // raw ticks of the first frame
    qint64 duration_us = 0;      // 0 when the last frame steps back behind the first
};

// Reads the first frame at the start of `file` and finds the last whole
// frame with a matching checksum and a timestamp by stepping back from the
// end of the file, without reading what lies between. Nothing when the take
// has no first frame with a timestamp. The file position is restored.
std::optional<TakeSpan> read_take_span(QFile& file);

} // namespace nmb::reelcast
