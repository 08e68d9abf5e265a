#pragma once

#include <cstdint>
#include <map>

namespace nmb::reelkit {

// Counts of timestamp intervals (microseconds) in bounded memory: exact
// while the recording has at most MAX_BINS distinct intervals (a steady
// source has a handful), coarser by powers of two beyond that.
class IntervalHistogram {
public:
    static constexpr std::size_t MAX_BINS = 4096;

    void add(std::uint64_t interval_us);

    std::uint64_t count() const { return count_; }

    // The lower median of the intervals added; 0 when there are none.
    std::uint64_t median() const;

    // The median refined below a microsecond: a source whose period is not
    // a whole number of microseconds stamps intervals that alternate between
    // neighbours (8333 and 8334 us at 120 Hz), and their mean around the
    // median is the period. The plain median once the bins are coarse.
    double typical_interval() const;

    // How many intervals are longer than `threshold_us`.
    std::uint64_t count_above(std::uint64_t threshold_us) const;

private:
    std::map<std::uint64_t, std::uint64_t> bins_; // interval >> shift_ -> count
    unsigned shift_ = 0;
    std::uint64_t count_ = 0;
};

} // namespace nmb::reelkit
