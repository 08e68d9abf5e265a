#include "interval_histogram.h"

namespace nmb::reelkit {

void IntervalHistogram::add(std::uint64_t interval_us)
{
    ++bins_[interval_us >> shift_];
    ++count_;
    while (bins_.size() > MAX_BINS) {
        std::map<std::uint64_t, std::uint64_t> coarser;
        for (const auto& [bin, n] : bins_)
            coarser[bin >> 1] += n;
        bins_.swap(coarser);
        ++shift_;
    }
}

std::uint64_t IntervalHistogram::median() const
{
    if (count_ == 0)
        return 0;
    const std::uint64_t rank = (count_ - 1) / 2; // zero-based, lower median
    std::uint64_t seen = 0;
    for (const auto& [bin, n] : bins_) {
        seen += n;
        if (seen > rank)
            return bin << shift_;
    }
    return 0;
}

double IntervalHistogram::typical_interval() const
{
    const std::uint64_t median_us = median();
    if (count_ == 0 || shift_ != 0)
        return double(median_us);
    double sum = 0;
    std::uint64_t n = 0;
    for (auto it = bins_.lower_bound(median_us == 0 ? 0 : median_us - 1);
         it != bins_.end() && it->first <= median_us + 1; ++it) {
        sum += double(it->first) * double(it->second);
        n += it->second;
    }
    return sum / double(n);
}

std::uint64_t IntervalHistogram::count_above(std::uint64_t threshold_us) const
{
    std::uint64_t above = 0;
    for (auto it = bins_.upper_bound(threshold_us >> shift_); it != bins_.end(); ++it)
        above += it->second;
    return above;
}

} // namespace nmb::reelkit
