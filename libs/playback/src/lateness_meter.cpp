#include <nmb/playback/lateness_meter.h>

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

namespace nmb::playback {

namespace {

double to_ms(qint64 ns)
{
    return double(ns) / 1e6;
}

} // namespace

void LatenessMeter::add(qint64 lateness_ns)
{
    const qint64 late = std::max<qint64>(lateness_ns, 0);
    const qint64 bucket = std::min<qint64>(late / BUCKET_NS, BUCKETS);
    ++buckets_[std::size_t(bucket)];
    ++count_;
    if (late > ONE_MS_NS)
        ++over_one_ms_;
    max_ns_ = std::max(max_ns_, late);
}

void LatenessMeter::reset()
{
    std::fill(buckets_.begin(), buckets_.end(), 0);
    count_ = 0;
    over_one_ms_ = 0;
    max_ns_ = 0;
}

qint64 LatenessMeter::percentile_ns(double p) const
{
    if (count_ == 0)
        return 0;
    const double clamped = std::clamp(p, 0.0, 1.0);
    const quint64 rank = std::max<quint64>(quint64(std::ceil(clamped * double(count_))), 1);
    quint64 seen = 0;
    for (int i = 0; i < BUCKETS; ++i) {
        seen += buckets_[std::size_t(i)];
        if (seen >= rank)
            return std::min((i + 1) * BUCKET_NS, max_ns_);
    }
    return max_ns_; // in the bucket beyond the histogram
}

std::string LatenessMeter::report() const
{
    return fmt::format("late p50: {:.3f} ms\nlate p99: {:.3f} ms\nlate max: {:.3f} ms\n"
                       "late over 1 ms: {} of {}",
                       to_ms(percentile_ns(0.5)), to_ms(percentile_ns(0.99)), to_ms(max_ns_),
                       over_one_ms_, count_);
}

std::string LatenessMeter::summary() const
{
    return fmt::format("late p50: {:.3f} ms, p99: {:.3f} ms", to_ms(percentile_ns(0.5)),
                       to_ms(percentile_ns(0.99)));
}

} // namespace nmb::playback
