#pragma once

#include <QElapsedTimer>
#include <QTimer>

namespace nmb::protocol {

// Longest single wait of a frame timer, in milliseconds (one day; it also
// keeps the interval inside an int).
inline constexpr double MAX_FRAME_WAIT_MS = 86'400'000.0;

// Whole milliseconds a timer armed at `now_ms` waits for a frame due at
// `due_ms` (both on one clock): the difference rounded to the nearest
// millisecond with halves away from zero, 0 for a frame that is already
// due, at most MAX_FRAME_WAIT_MS. A NaN difference waits the maximum.
int frame_wait_ms(double due_ms, double now_ms);

// Paces played frames against an absolute playback clock. Every frame's due
// time is its predecessor's due time plus its delay, and the single-shot
// timer is armed for "due time minus now", so timer overshoot, whole
// millisecond rounding and the work done per frame never add up over a
// recording. The owner connects timer().timeout to its frame step; the timer
// is single-shot and precise. Lives on the thread of its owner.
class FramePacer {
public:
    FramePacer();

    QTimer& timer() { return timer_; }

    // Milliseconds on the playback clock since construction.
    double now_ms() const;
    // Due time of the frame the timer waits for, on the same clock.
    double due_ms() const { return due_ms_; }

    // Starts a fresh schedule: the next frame is due now, and the schedule
    // counts from the moment that frame has been played (frame_played), so
    // a slow start does not squeeze the frames after it.
    void reanchor();
    // Call right after a frame went out; anchors a fresh schedule there.
    void frame_played();

    // The next frame is due `delay_ms` after the previous due time; arms the
    // timer for it. A due time more than a day ahead is pulled in to one day
    // from now, so the frames after it keep their spacing from that frame.
    void arm(double delay_ms);
    // Scales the remaining wait of an armed timer by `factor` (> 0) and arms
    // it again; nothing when the timer is idle or the frame is already due.
    void rescale_remaining(double factor);

    void stop() { timer_.stop(); }
    bool is_armed() const { return timer_.isActive(); }

private:
    void start_timer();

    QElapsedTimer clock_;
    QTimer timer_;
    double due_ms_ = 0.0;
    bool anchor_pending_ = false;
};

} // namespace nmb::protocol
