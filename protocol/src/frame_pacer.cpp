#include <nmb/protocol/frame_pacer.h>

#include <algorithm>
#include <cmath>

namespace nmb::protocol {

int frame_wait_ms(double due_ms, double now_ms)
{
    double wait = due_ms - now_ms;
    if (!(wait < MAX_FRAME_WAIT_MS))
        wait = MAX_FRAME_WAIT_MS;
    const long long rounded = std::llround(wait); // halves away from zero
    return int(std::max(rounded, 0LL));
}

FramePacer::FramePacer()
{
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    clock_.start();
}

double FramePacer::now_ms() const
{
    return double(clock_.nsecsElapsed()) / 1e6;
}

void FramePacer::reanchor()
{
    due_ms_ = now_ms();
    anchor_pending_ = true;
}

void FramePacer::frame_played()
{
    if (anchor_pending_) {
        anchor_pending_ = false;
        due_ms_ = now_ms();
    }
}

void FramePacer::arm(double delay_ms)
{
    due_ms_ += delay_ms;
    start_timer();
}

void FramePacer::rescale_remaining(double factor)
{
    if (!timer_.isActive())
        return;
    const double now = now_ms();
    const double remaining = due_ms_ - now;
    if (remaining > 0.0) {
        due_ms_ = now + remaining * factor;
        start_timer();
    }
}

void FramePacer::start_timer()
{
    const double now = now_ms();
    // A frame never waits more than a day; pulling its due time in keeps the
    // frames after it from inheriting the rest of the jump.
    if (!(due_ms_ <= now + MAX_FRAME_WAIT_MS))
        due_ms_ = now + MAX_FRAME_WAIT_MS;
    timer_.start(frame_wait_ms(due_ms_, now));
}

} // namespace nmb::protocol
