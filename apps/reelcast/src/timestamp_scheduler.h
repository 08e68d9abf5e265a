#pragma once

#include <nmb/protocol/frame.h>

#include <QHash>
#include <QtGlobal>

#include <optional>

namespace nmb::reelcast {

// Turns the timestamps of consecutive frames into the delays that space them
// out during playback. Every frame ID has its own time line, anchored to a
// common clock when its first frame is seen; the time lines merge into one
// non-decreasing sequence of due times. A step backwards or a gap above 60 s
// re-anchors the time line at the clock, so one bad timestamp never stalls
// playback. Pure arithmetic: no timers, no files.
class TimestampScheduler {
public:
    struct StreamState {
        quint64 last_timestamp = 0; // ticks of the previous frame of this ID
        quint64 elapsed_us = 0;     // recording time advanced since the anchor
        quint64 base_us = 0;        // clock_us at which the time line was anchored
        bool started = false;
    };

    TimestampScheduler() = default;

    // Registers the next frame to play (its timestamp_scale_us must not be 0)
    // and returns, in milliseconds, how long after the previously scheduled
    // frame it is due, divided by `rate` (> 0). Fractions of a millisecond
    // are kept.
    double add_frame(const FrameMetadata& meta, double rate);

    // Forgets every time line; the next frame of any ID is due at once.
    void reset();

    // Without a cap (the default) a gap above 60 s re-anchors: the frame
    // after it is due at once. With a cap, a gap above the cap makes the
    // frame after it due the cap after its predecessor, and the frames after
    // it keep their spacing from there. Kept across reset().
    void set_gap_cap_us(std::optional<quint64> cap_us);

private:
    QHash<quint16, StreamState> streams;
    quint64 clock_us = 0; // latest due time handed out, recording time
    std::optional<quint64> gap_cap_us;
};

} // namespace nmb::reelcast
