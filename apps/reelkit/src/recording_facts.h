#pragma once

#include "interval_histogram.h"
#include "recording_scanner.h"

#include <QString>

#include <cmath>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace nmb::reelkit {

// Timing of the Mocap frames (ID 0 with a timestamp) of a recording.
struct MocapTiming {
    std::uint64_t frames = 0;
    std::uint64_t first_us = 0;
    std::uint64_t last_us = 0;
    std::uint64_t duration_us = 0;        // sum of the forward steps
    double median_interval_us = 0;        // 0 with fewer than two frames
    std::uint64_t intervals = 0;          // forward and equal steps
    std::uint64_t gaps = 0;               // steps over 3 x the median
    std::uint64_t longest_step_us = 0;
    std::uint64_t longest_step_after = 0; // index of the frame before it
    std::uint64_t backwards = 0;
};

// What `info` says about one file.
struct RecordingFacts {
    QString file;
    QString error;  // non-empty: the file could not be read
    qint64 size = 0;
    std::uint64_t frames = 0;
    std::map<std::uint16_t, std::uint64_t> frames_by_id;
    MocapTiming timing;
    ScanDamage damage;
    std::uint64_t damaged_stretches = 0;
    qint64 dropped_bytes = 0;

    bool clean() const { return error.isEmpty() && damage.check == nmb::protocol::FrameCheck::Ok; }
    std::uint64_t gap_threshold_us() const { return std::uint64_t(std::llround(3 * timing.median_interval_us)); }
};

// Gathers the facts frame by frame; fed by a scanner's sink.
class FactsCollector {
public:
    void add_frame(std::uint64_t index, QByteArrayView frame);
    // Completes `facts` from the frames seen and the scanner's damage.
    void finish(const RecordingScanner& scanner, RecordingFacts& facts) const;

private:
    std::map<std::uint16_t, std::uint64_t> by_id_;
    MocapTiming timing_;
    IntervalHistogram intervals_;
    std::uint64_t previous_index_ = 0;
};

// The labelled text block, lines ended by '\n'.
std::string facts_text(const RecordingFacts& facts);

// One line of JSON (no line end), keys as in the README.
std::string facts_json(const RecordingFacts& facts);

} // namespace nmb::reelkit
