#pragma once

#include <QtGlobal>

#include <string>
#include <vector>

namespace nmb::playback {

// How late frames went out against their due times, in bounded memory: a
// histogram of 1 µs buckets up to 16.384 ms and one bucket beyond, plus the
// exact count, maximum and number over 1 ms. An hour of frames costs what a
// minute does (128 KiB, on the heap). Percentiles are nearest-rank and read
// as the upper edge of their bucket, never above the maximum; one that falls
// beyond the histogram reads as the maximum. Pure: the caller passes each
// lateness in.
class LatenessMeter {
public:
    static constexpr qint64 BUCKET_NS = 1'000;
    static constexpr int BUCKETS = 16'384;
    static constexpr qint64 ONE_MS_NS = 1'000'000;

    // Records one frame; a negative lateness (sent early) counts as 0.
    void add(qint64 lateness_ns);
    void reset();

    quint64 count() const { return count_; }
    qint64 max_ns() const { return max_ns_; }
    quint64 over_one_ms() const { return over_one_ms_; }
    // Lateness below which a fraction `p` (0 to 1] of the frames lie; 0
    // without frames.
    qint64 percentile_ns(double p) const;

    // The four console lines: p50, p99 and max in milliseconds with three
    // decimals, then how many of all frames were over 1 ms late.
    std::string report() const;
    // p50 and p99 in one line, for a window.
    std::string summary() const;

private:
    std::vector<quint64> buckets_ = std::vector<quint64>(BUCKETS + 1, 0); // fixed size
    quint64 count_ = 0;
    quint64 over_one_ms_ = 0;
    qint64 max_ns_ = 0;
};

} // namespace nmb::playback
