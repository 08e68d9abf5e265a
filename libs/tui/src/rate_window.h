#pragma once

#include <algorithm>
#include <chrono>
#include <deque>

namespace nmb::detail {

// A channel's rate is the number of prints in the last five seconds
// divided by five. Time points are passed in so the arithmetic can be
// checked without waiting.
inline constexpr std::chrono::nanoseconds RATE_WINDOW{5'000'000'000};
inline constexpr double RATE_WINDOW_SECONDS = 5.0;

// Appends `now` and drops the entries strictly older than now - window (one
// exactly at the cutoff stays). The queue stays sorted because every caller
// reads the clock while holding the channel lock.
template <typename TimePoint>
void record_update(std::deque<TimePoint>& times, TimePoint now)
{
    times.push_back(now);
    const TimePoint cutoff = now - RATE_WINDOW;
    while (!times.empty() && times.front() < cutoff) {
        times.pop_front();
    }
}

// Prints per second among `times` at or after now - window; removes nothing.
template <typename TimePoint>
double rate_hz(const std::deque<TimePoint>& times, TimePoint now)
{
    const TimePoint cutoff = now - RATE_WINDOW;
    const auto first_inside = std::partition_point(
        times.begin(), times.end(), [&](const TimePoint& t) { return t < cutoff; });
    return static_cast<double>(times.end() - first_inside) / RATE_WINDOW_SECONDS;
}

} // namespace nmb::detail
