#pragma once

#include <nmb/protocol/frame.h>

#include <QHash>
#include <QtGlobal>

#include <limits>

namespace nmb::reelcast {

// How a timeline treats the timestamps that do not simply move forward. The
// replay program and the recording adapter's playback share one scheduler
// and differ only here.
struct TimingPolicy {
    // A frame whose timestamp lies before its predecessor's (of the same ID).
    enum class BackwardStep {
        Reanchor, // the timeline starts afresh at the clock: due at once
        Follow,   // the step is taken as it is: later frames are due at once
                  // until the timeline passes the clock again
    };
    // A 32-bit counter (FrameMetadata::timestamp_wraps_32bit) that decreased.
    enum class Wrap {
        TopToBottomQuarter, // wrapped only from its top quarter to its bottom
                            // quarter; any other decrease is a step backwards
        Modulo,             // differences modulo 2^32: it only ever moves forward
    };

    // A forward step above `max_gap_us`.
    enum class LongGap {
        Reanchor, // the timeline starts afresh at the clock: due at once
        WaitCap,  // due `max_gap_us` after its predecessor; later frames keep
                  // their spacing from there
    };

    static constexpr quint64 NO_GAP_CAP = std::numeric_limits<quint64>::max();
    static constexpr quint64 DEFAULT_MAX_GAP_US = 60'000'000;

    BackwardStep backward_step = BackwardStep::Reanchor;
    Wrap wrap = Wrap::TopToBottomQuarter;
    // A forward step above this (microseconds, counted in whole ticks) is
    // treated as `long_gap` says; NO_GAP_CAP takes every gap as it is.
    quint64 max_gap_us = DEFAULT_MAX_GAP_US;
    LongGap long_gap = LongGap::Reanchor;

    // The replay program: backwards steps and gaps above `max_gap_us`
    // re-anchor, so one bad timestamp never stalls playback.
    static TimingPolicy replay(quint64 max_gap_us = DEFAULT_MAX_GAP_US)
    {
        return {BackwardStep::Reanchor, Wrap::TopToBottomQuarter, max_gap_us};
    }
    // The replay program with a wait cap: no wait is longer than `cap_us`.
    static TimingPolicy replay_capped(quint64 cap_us)
    {
        return {BackwardStep::Reanchor, Wrap::TopToBottomQuarter, cap_us, LongGap::WaitCap};
    }
    // The recording adapter: timelines are never re-anchored; the pacer caps
    // a single wait instead.
    static TimingPolicy follow_timestamps()
    {
        return {BackwardStep::Follow, Wrap::Modulo, NO_GAP_CAP};
    }
};

// Turns the timestamps of consecutive frames into the delays that space them
// out during playback. Every frame ID has its own time line, anchored to a
// common clock when its first frame is seen; the time lines merge into one
// non-decreasing sequence of due times. What a step backwards or a long gap
// does is the policy's choice. Pure arithmetic: no timers, no files.
class TimestampScheduler {
public:
    struct StreamState {
        quint64 last_timestamp = 0; // ticks of the previous frame of this ID
        qint64 elapsed_us = 0;      // recording time advanced since the anchor;
                                    // negative only when following a step back
        quint64 base_us = 0;        // clock_us at which the time line was anchored
        bool started = false;
    };

    explicit TimestampScheduler(TimingPolicy policy = TimingPolicy::replay())
        : policy_(policy)
    {
    }

    // Registers the next frame to play and returns, in milliseconds, how long
    // after the previously scheduled frame it is due, divided by `rate`
    // (> 0). Fractions of a millisecond are kept.
    double add_frame(const FrameMetadata& meta, double rate);

    // Forgets every time line; the next frame of any ID is due at once.
    void reset();

    const TimingPolicy& policy() const { return policy_; }
    // Applies from the next frame on; the time lines stay as they are.
    void set_policy(const TimingPolicy& policy) { policy_ = policy; }

private:
    QHash<quint16, StreamState> streams;
    quint64 clock_us = 0; // latest due time handed out, recording time
    TimingPolicy policy_;
};

} // namespace nmb::reelcast
