#include "timing_report.h"

#include <nmb/playback/frame_pacer.h>

namespace nmb::reelcast {

TimingReport::TimingReport(QObject* parent)
    : QObject(parent)
{
    deferred_.setSingleShot(true);
    deferred_.setTimerType(Qt::PreciseTimer);
    connect(&deferred_, &QTimer::timeout, this,
            [this] { publish(playback::monotonic_now_ns()); });
}

void TimingReport::add(qint64 lateness_ns, qint64 now_ns)
{
    meter_.add(lateness_ns);
    if (deferred_.isActive())
        return;
    const qint64 wait_ns = last_published_ns_ + MIN_INTERVAL_NS - now_ns;
    if (wait_ns <= 0)
        publish(now_ns);
    else
        deferred_.start(int((wait_ns + 999'999) / 1'000'000)); // never early
}

void TimingReport::reset()
{
    deferred_.stop();
    meter_.reset();
}

void TimingReport::publish(qint64 now_ns)
{
    last_published_ns_ = now_ns;
    if (meter_.count() > 0)
        Q_EMIT report_ready();
}

} // namespace nmb::reelcast
