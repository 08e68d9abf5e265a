#include "progress_text.h"

#include <fmt/format.h>

#include <algorithm>
#include <limits>

namespace nmb::reelcast {

namespace {

constexpr int BAR_CELLS = 20;

} // namespace

std::string format_take_time(qint64 us, bool with_hours, int decimals)
{
    const qint64 clamped = std::max<qint64>(us, 0);
    const qint64 whole_seconds = clamped / 1'000'000;
    const int digits = std::clamp(decimals, 0, 3);
    qint64 fraction = clamped % 1'000'000;
    for (int i = digits; i < 6; ++i)
        fraction /= 10;
    const qint64 seconds = whole_seconds % 60;
    const qint64 minutes = with_hours ? whole_seconds / 60 % 60 : whole_seconds / 60;
    std::string text = with_hours ? fmt::format("{}:{:02}:{:02}", whole_seconds / 3600, minutes, seconds)
                                  : fmt::format("{:02}:{:02}", minutes, seconds);
    if (digits > 0)
        text += fmt::format(".{:0{}}", fraction, digits);
    return text;
}

std::string format_progress(qint64 position_us, qint64 duration_us, const std::string& state)
{
    const qint64 position = std::clamp<qint64>(position_us, 0, std::max<qint64>(duration_us, 0));
    const bool hours = needs_hours(duration_us);
    // Whole cells and whole percents only: the bar is full at the very end.
    // The share is taken in integers where they cannot overflow.
    const auto share = [&](int scale) {
        if (duration_us <= 0)
            return 0;
        if (position <= std::numeric_limits<qint64>::max() / scale)
            return int(position * scale / duration_us);
        return int(double(position) / double(duration_us) * scale);
    };
    const int cells = share(BAR_CELLS);
    const int percent = share(100);
    return fmt::format("time: {} / {}\nprogress: [{}{}] {} %\nstate: {}\n",
                       format_take_time(position, hours), format_take_time(duration_us, hours),
                       std::string(std::size_t(cells), '#'),
                       std::string(std::size_t(BAR_CELLS - cells), '.'), percent, state);
}

std::string format_window_time(qint64 position_us, qint64 duration_us)
{
    const qint64 position = std::clamp<qint64>(position_us, 0, std::max<qint64>(duration_us, 0));
    const bool hours = needs_hours(duration_us);
    return format_take_time(position, hours, 1) + " / " + format_take_time(duration_us, hours, 1);
}

std::string playing_state_text(double rate)
{
    return fmt::format("playing at {}x", rate);
}

} // namespace nmb::reelcast
