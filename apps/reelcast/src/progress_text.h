#pragma once

#include <QtGlobal>

#include <string>

namespace nmb::reelcast {

// A take time as minutes and seconds ("01:15.000"), or with hours in front
// ("1:01:15.000") when `with_hours` is set; `decimals` digits of the second
// (0 to 3), cut rather than rounded so a time never shows ahead of itself.
// Negative times show as 0.
std::string format_take_time(qint64 us, bool with_hours, int decimals = 3);

// Whether times of a take this long are written with hours.
inline bool needs_hours(qint64 duration_us)
{
    return duration_us >= qint64(3'600'000'000);
}

// The console's progress block: the time against the take's length, a bar of
// 20 cells and the playback state, three lines each ended by a line feed.
// The position is clamped to the length; a take of no length shows 0 %.
std::string format_progress(qint64 position_us, qint64 duration_us, const std::string& state);

// The window's time text: "00:12.3 / 01:15.0", tenths of a second.
std::string format_window_time(qint64 position_us, qint64 duration_us);

// The state line's text for playing at `rate`: "playing at 1x", "playing at 0.5x".
std::string playing_state_text(double rate);

} // namespace nmb::reelcast
