#include "timestamp_scheduler.h"

#include "take_time.h"

#include <algorithm>
#include <optional>

namespace nmb::reelcast {

namespace {

constexpr quint64 GAP_LIMIT_US = 60'000'000;

} // namespace

double TimestampScheduler::add_frame(const FrameMetadata& meta, double rate)
{
    StreamState& state = streams[meta.frame_id];
    if (!state.started) {
        state.started = true;
        state.last_timestamp = meta.timestamp;
        state.elapsed_us = 0;
        state.base_us = clock_us;
        return 0.0;
    }

    std::optional<quint64> advance = timestamp_advance(meta, state.last_timestamp);
    const quint64 limit_us = gap_cap_us.value_or(GAP_LIMIT_US);
    const quint64 limit = meta.timestamp_scale_us ? limit_us / meta.timestamp_scale_us : 0;
    const bool long_gap = advance && *advance > limit;

    quint64 due = clock_us;
    if (long_gap && gap_cap_us) {
        // The frame after a long gap waits the cap after its predecessor;
        // its successors keep their spacing from there.
        state.base_us += state.elapsed_us + *gap_cap_us;
        state.elapsed_us = 0;
        due = state.base_us;
    } else if (advance && !long_gap) {
        state.elapsed_us += *advance * meta.timestamp_scale_us;
        due = state.base_us + state.elapsed_us;
    } else {
        state.elapsed_us = 0;
        state.base_us = clock_us;
    }
    state.last_timestamp = meta.timestamp;

    const quint64 new_clock = std::max(clock_us, due);
    const quint64 delay_us = new_clock - clock_us;
    clock_us = new_clock;
    return double(delay_us) / 1000.0 / rate;
}

void TimestampScheduler::set_gap_cap_us(std::optional<quint64> cap_us)
{
    gap_cap_us = cap_us;
}

void TimestampScheduler::reset()
{
    streams.clear();
    clock_us = 0;
}

} // namespace nmb::reelcast
