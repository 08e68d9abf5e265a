#pragma once

#include <QObject>
#include <QTimer>
#include <QtGlobal>

class QSocketNotifier;

namespace nmb::playback {

// Longest single wait for a frame, in nanoseconds (one day).
inline constexpr qint64 MAX_FRAME_WAIT_NS = 86'400'000'000'000;

// Nanoseconds on CLOCK_MONOTONIC: the clock every due time is kept on.
qint64 monotonic_now_ns();

// Paces played frames against an absolute playback clock. Every frame's due
// time is its predecessor's due time plus its delay, and the wait ends at
// that absolute time, so wake-up latency and the work done per frame never
// add up over a recording. The wait is a kernel timer armed with an
// absolute nanosecond deadline on CLOCK_MONOTONIC, watched by a socket
// notifier on the owner's thread: no extra thread, no busy waiting, no
// millisecond rounding. (Should the kernel timer be unavailable, a precise
// QTimer waits to the nearest millisecond instead.) frame_due is emitted
// from the event loop when the armed deadline has passed.
class FramePacer : public QObject {
    Q_OBJECT

public:
    explicit FramePacer(QObject* parent = nullptr);
    ~FramePacer() override;

    qint64 now_ns() const { return monotonic_now_ns(); }
    // Due time of the frame the pacer waits (or last waited) for.
    qint64 due_ns() const { return due_ns_; }

    // Starts a fresh schedule: the next frame is due now, and the schedule
    // counts from the moment that frame has been played (frame_played), so
    // a slow start does not squeeze the frames after it.
    void reanchor();
    // Call right after a frame went out at `played_ns` (on this clock);
    // anchors a fresh schedule there.
    void frame_played(qint64 played_ns);
    void frame_played() { frame_played(now_ns()); }
    // The same for a hand-over that started at `started_ns` and returned at
    // `finished_ns`: a quick one (up to QUICK_HANDOVER_NS) anchors at its
    // start, when the frame left; a slow one at its end, so that a slow
    // first send does not squeeze the frames after it.
    static constexpr qint64 QUICK_HANDOVER_NS = 1'000'000;
    void frame_played(qint64 started_ns, qint64 finished_ns)
    {
        frame_played(finished_ns - started_ns <= QUICK_HANDOVER_NS ? started_ns : finished_ns);
    }

    // The next frame is due `delay_ms` (fractions kept, carried below a
    // nanosecond) after the previous due time; arms the wait for it. A due
    // time more than a day ahead is pulled in to one day from now, so the
    // frames after it keep their spacing from that frame.
    void arm(double delay_ms);
    // Scales the remaining wait by `factor` (> 0) and arms it again; nothing
    // when idle or when the frame is already due.
    void rescale_remaining(double factor);

    void stop();
    bool is_armed() const { return armed_; }
    // False when no kernel timer could be made and waits are whole
    // milliseconds of a QTimer.
    bool has_kernel_timer() const { return fd_ >= 0; }

Q_SIGNALS:
    void frame_due();

private:
    void start_wait();
    void expire();

    int fd_ = -1;
    QSocketNotifier* notifier_ = nullptr; // child, watches fd_
    QTimer fallback_;
    qint64 due_ns_ = 0;
    double carry_ns_ = 0.0; // fraction of a nanosecond not yet in due_ns_
    bool armed_ = false;
    bool anchor_pending_ = false;
};

} // namespace nmb::playback
