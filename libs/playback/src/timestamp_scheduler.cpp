#include <nmb/playback/timestamp_scheduler.h>

#include <QtNumeric>

#include <algorithm>
#include <optional>

namespace nmb::reelcast {

namespace {

constexpr qint64 QINT64_MAX = std::numeric_limits<qint64>::max();
constexpr qint64 QINT64_MIN = std::numeric_limits<qint64>::min();

// Signed advance in ticks from `previous` to this frame, saturated to the
// range of the result, or nothing for a step the policy re-anchors on.
std::optional<qint64> advance_ticks(const FrameMetadata& meta, quint64 previous,
                                    const TimingPolicy& policy, bool& long_gap)
{
    long_gap = false;
    quint64 forward = 0;
    quint64 backward = 0;
    if (meta.timestamp_wraps_32bit) {
        const quint32 t = quint32(meta.timestamp);
        const quint32 p = quint32(previous);
        // A counter in its top quarter followed by one in its bottom quarter
        // has wrapped; under the quarter rule any other decrease is a real
        // step backwards.
        const bool wrapped = p > t && p > 0xBFFFFFFFu && t <= 0x40000000u;
        if (t >= p || wrapped || policy.wrap == TimingPolicy::Wrap::Modulo)
            forward = quint32(t - p);
        else
            backward = p - t;
    } else if (meta.timestamp >= previous) {
        forward = meta.timestamp - previous;
    } else {
        backward = previous - meta.timestamp;
    }

    if (backward != 0) {
        if (policy.backward_step == TimingPolicy::BackwardStep::Reanchor)
            return std::nullopt;
        return backward > quint64(QINT64_MAX) ? QINT64_MIN : -qint64(backward);
    }
    const quint64 scale = meta.timestamp_scale_us;
    const quint64 limit = scale ? policy.max_gap_us / scale : 0; // in ticks
    if (forward > limit) {
        long_gap = true;
        return std::nullopt;
    }
    return forward > quint64(QINT64_MAX) ? QINT64_MAX : qint64(forward);
}

qint64 saturating_mul(qint64 a, qint64 b)
{
    qint64 product = 0;
    if (qMulOverflow(a, b, &product))
        return (a < 0) != (b < 0) ? QINT64_MIN : QINT64_MAX;
    return product;
}

qint64 saturating_add(qint64 a, qint64 b)
{
    qint64 sum = 0;
    if (qAddOverflow(a, b, &sum))
        return b < 0 ? QINT64_MIN : QINT64_MAX;
    return sum;
}

// Where a time line's frame falls on the clock, saturating at both ends: a
// frame that steps back before the clock's start is due at 0.
quint64 due_on_clock(quint64 base_us, qint64 elapsed_us)
{
    if (elapsed_us < 0) {
        const quint64 magnitude = 0 - quint64(elapsed_us);
        return magnitude > base_us ? 0 : base_us - magnitude;
    }
    quint64 due = 0;
    return qAddOverflow(base_us, quint64(elapsed_us), &due) ? std::numeric_limits<quint64>::max()
                                                            : due;
}

} // namespace

double TimestampScheduler::add_frame(const FrameMetadata& meta, double rate)
{
    StreamState& state = streams[meta.frame_id];
    if (!state.started) {
        state = StreamState{meta.timestamp, 0, clock_us, true};
        return 0.0;
    }

    bool long_gap = false;
    const std::optional<qint64> advance = advance_ticks(meta, state.last_timestamp, policy_, long_gap);
    state.last_timestamp = meta.timestamp;
    quint64 due = clock_us;
    if (long_gap && policy_.long_gap == TimingPolicy::LongGap::WaitCap) {
        // Due the cap after its predecessor; the timeline restarts there.
        state.base_us = due_on_clock(due_on_clock(state.base_us, state.elapsed_us),
                                     qint64(std::min<quint64>(policy_.max_gap_us, QINT64_MAX)));
        state.elapsed_us = 0;
        due = state.base_us;
    } else if (advance) {
        const qint64 step_us = saturating_mul(*advance, qint64(std::min<quint64>(
                                                            meta.timestamp_scale_us, QINT64_MAX)));
        state.elapsed_us = saturating_add(state.elapsed_us, step_us);
        due = due_on_clock(state.base_us, state.elapsed_us);
    } else {
        state.elapsed_us = 0;
        state.base_us = clock_us;
    }

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
