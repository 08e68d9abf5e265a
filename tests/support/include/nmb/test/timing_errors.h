#pragma once

#include <vector>

namespace nmb::test {

// How far the actual times of a paced sequence of events stray from their
// ideal times, for the timing benchmarks.
struct TimingErrors {
    double median_ms = 0.0;    // median of |actual - ideal|
    double p99_ms = 0.0;       // 99th percentile of |actual - ideal|
    double max_ms = 0.0;       // largest |actual - ideal|
    double drift_ppm = 0.0;    // how far the median signed error moves from the
                               // first tenth of the run to the last, per unit of
                               // ideal time
    double end_error_ms = 0.0; // signed error of the last event
};

// `actual_ms` and `ideal_ms` pair up by index (same size, milliseconds on
// one clock, both anchored by the caller, e.g. at the first event). Empty
// input gives all zeros.
TimingErrors timing_errors(const std::vector<double>& actual_ms, const std::vector<double>& ideal_ms);

// The value below which a fraction `p` (0 to 1] of `values` lies (nearest
// rank); 0 for no values.
double percentile(std::vector<double> values, double p);

} // namespace nmb::test
