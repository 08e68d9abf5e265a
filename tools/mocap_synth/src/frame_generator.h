#pragma once

#include "skeleton_model.h"

#include <QByteArray>

#include <cstdint>
#include <set>

namespace nmb::synth {

// Faults to put into an otherwise clean stream, by 0-based frame index.
struct FaultPlan {
    std::set<std::int64_t> other_id_at; // a body frame (ID 1, 676 bytes) instead
    std::set<std::int64_t> bad_crc_at;  // the stored checksum inverted
    std::set<std::int64_t> garbage_at;  // 1 to 64 random bytes before the frame
    std::uint64_t seed = 1;             // drives the garbage bytes
};

// Produces the frames of a synthetic take: frame k shows the skeleton at
// k / rate seconds and carries the timestamp BASE_TIMESTAMP_US +
// round(k * 1e6 / rate) microseconds. The output depends only on the rate,
// the plan and k, so a frame can be produced again, in any order.
class FrameGenerator {
public:
    static constexpr std::uint64_t BASE_TIMESTAMP_US = 1'000'000;

    // `rate_hz` must be above 0 (the command line keeps it within 1..1e6).
    FrameGenerator(double rate_hz, FaultPlan faults);

    double rate_hz() const { return rate_hz_; }
    const FaultPlan& faults() const { return faults_; }

    std::uint64_t timestamp_us(std::int64_t index) const;

    // Size of frame `index` itself, garbage before it not counted.
    qsizetype frame_size(std::int64_t index) const;

    // Appends garbage (when planned) and then frame `index` to `out`;
    // returns the number of bytes appended.
    qsizetype append_frame(std::int64_t index, QByteArray& out) const;

    // The garbage planned before frame `index`: never contains the first
    // sync byte, so a decoder hunting for a frame drops all of it.
    QByteArray garbage_before(std::int64_t index) const;

private:
    double rate_hz_;
    FaultPlan faults_;
    SkeletonModel model_;
};

} // namespace nmb::synth
