#pragma once

// Shared pieces of the pacing benchmarks: their common options, the evenly
// spaced recording they play, and the error statistics they print.

#include <QCommandLineParser>
#include <QList>
#include <QString>

#include <vector>

namespace nmb::test {

struct PacingOptions {
    QList<int> hz;       // frame rates, one run series each
    double seconds = 0;  // recording length
    double rate = 1.0;   // playback speed multiplier
    int repeat = 1;      // runs per frame rate
};

// Adds --hz (default 120,1000), --seconds, --rate and --repeat.
void add_pacing_options(QCommandLineParser& parser, const QString& default_seconds);

// Reads them after process(); false when a value is out of range.
bool read_pacing_options(const QCommandLineParser& parser, PacingOptions& options);

// Writes a recording of Mocap frames at `hz` lasting `seconds` (timestamps
// 1 s + round(i x 1e6 / hz) us) to `path`, and returns each frame's ideal
// time in ms after the first at playback `rate`; empty when the file could
// not be written.
std::vector<double> write_paced_recording(const QString& path, int hz, double seconds, double rate);

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
