#include <nmb/playback/frame_pacer.h>

#include <QSocketNotifier>

#include <algorithm>
#include <cmath>

#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

namespace nmb::playback {

namespace {

constexpr qint64 NS_PER_S = 1'000'000'000;

itimerspec deadline(qint64 due_ns)
{
    // An all-zero value would disarm the timer; a deadline in the past fires
    // at once.
    const qint64 at = std::max<qint64>(due_ns, 1);
    itimerspec wake_at{};
    wake_at.it_value.tv_sec = time_t(at / NS_PER_S);
    wake_at.it_value.tv_nsec = long(at % NS_PER_S);
    return wake_at;
}

} // namespace

qint64 monotonic_now_ns()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * NS_PER_S + now.tv_nsec;
}

FramePacer::FramePacer(QObject* parent)
    : QObject(parent)
{
    fallback_.setSingleShot(true);
    fallback_.setTimerType(Qt::PreciseTimer);
    connect(&fallback_, &QTimer::timeout, this, &FramePacer::expire);
    fd_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd_ >= 0) {
        notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, [this] {
            quint64 expirations = 0;
            // Re-arming or stopping resets the count: a wake-up that lost
            // that race reads nothing and is not a frame.
            if (::read(fd_, &expirations, sizeof expirations) == sizeof expirations)
                expire();
        });
    }
    due_ns_ = now_ns();
}

FramePacer::~FramePacer()
{
    delete notifier_;
    if (fd_ >= 0)
        ::close(fd_);
}

void FramePacer::reanchor()
{
    due_ns_ = now_ns();
    carry_ns_ = 0.0;
    anchor_pending_ = true;
}

void FramePacer::frame_played(qint64 played_ns)
{
    if (anchor_pending_) {
        anchor_pending_ = false;
        due_ns_ = played_ns;
    }
}

void FramePacer::arm(double delay_ms)
{
    double delay_ns = delay_ms * 1e6 + carry_ns_;
    if (!(delay_ns < double(MAX_FRAME_WAIT_NS))) // NaN included
        delay_ns = double(MAX_FRAME_WAIT_NS);
    delay_ns = std::max(delay_ns, 0.0);
    const double whole = std::floor(delay_ns);
    carry_ns_ = delay_ns - whole;
    due_ns_ += qint64(whole);
    start_wait();
}

void FramePacer::rescale_remaining(double factor)
{
    if (!armed_)
        return;
    const qint64 now = now_ns();
    const qint64 remaining = due_ns_ - now;
    if (remaining > 0) {
        due_ns_ = now + std::llround(double(remaining) * factor);
        start_wait();
    }
}

void FramePacer::stop()
{
    armed_ = false;
    fallback_.stop();
    if (fd_ >= 0) {
        const itimerspec disarm{};
        timerfd_settime(fd_, 0, &disarm, nullptr);
    }
}

void FramePacer::start_wait()
{
    const qint64 now = now_ns();
    // A frame never waits more than a day; pulling its due time in keeps the
    // frames after it from inheriting the rest of the jump.
    if (due_ns_ - now > MAX_FRAME_WAIT_NS) {
        due_ns_ = now + MAX_FRAME_WAIT_NS;
        carry_ns_ = 0.0;
    }
    armed_ = true;
    if (fd_ >= 0) {
        const itimerspec wake_at = deadline(due_ns_);
        if (timerfd_settime(fd_, TFD_TIMER_ABSTIME, &wake_at, nullptr) == 0)
            return;
    }
    // Whole milliseconds, halves away from zero; never negative.
    const qint64 wait_ms = std::max<qint64>((due_ns_ - now + 500'000) / 1'000'000, 0);
    fallback_.start(int(wait_ms));
}

void FramePacer::expire()
{
    if (!armed_)
        return;
    armed_ = false;
    Q_EMIT frame_due();
}

} // namespace nmb::playback
