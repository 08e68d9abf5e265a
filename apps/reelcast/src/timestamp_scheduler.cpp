#include "timestamp_scheduler.h"

#include <algorithm>
#include <optional>

namespace nmb::reelcast {

namespace {

constexpr quint64 GAP_LIMIT_US = 60'000'000;

// Advance in ticks from `previous` to `current`, or nothing when the time
// line went backwards.
std::optional<quint64> advance_ticks(const FrameMetadata& meta, quint64 previous)
{
    if (meta.timestamp_wraps_32bit) {
        const quint32 t = quint32(meta.timestamp);
        const quint32 p = quint32(previous);
        // A counter in its top quarter followed by one in its bottom quarter
        // has wrapped; any other decrease is a real step backwards.
        if (p > t && p > 0xBFFFFFFFu && t <= 0x40000000u)
            return quint64(quint32(t - p));
        if (t >= p)
            return quint64(t - p);
        return std::nullopt;
    }
    if (meta.timestamp < previous)
        return std::nullopt;
    return meta.timestamp - previous;
}

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

    std::optional<quint64> advance = advance_ticks(meta, state.last_timestamp);
    const quint64 limit = meta.timestamp_scale_us ? GAP_LIMIT_US / meta.timestamp_scale_us : 0;
    if (advance && *advance > limit)
        advance.reset();

    quint64 due = clock_us;
    if (advance) {
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

void TimestampScheduler::reset()
{
    streams.clear();
    clock_us = 0;
}

} // namespace nmb::reelcast
