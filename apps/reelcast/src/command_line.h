#pragma once

#include <QCommandLineParser>
#include <QHostAddress>
#include <QString>

#include <optional>

namespace nmb::reelcast {

// What the command line asks the replay program to do.
struct ReplayOptions {
    QString path;      // recording to play; a local-file URL is turned into its path
    double rate = 1.0; // finite, above 0
    bool loop = false;
    bool udp_enabled = false; // --ip and --port both given
    QHostAddress destination;
    quint16 port = 0;
    qint64 start_us = 0;                 // play from the first frame at or after this offset
    std::optional<qint64> end_us;        // stop before the first frame at or after this offset
    std::optional<qint64> max_gap_us;    // longest wait between two frames; unset: the 60 s rule
};

// Decimal seconds as whole microseconds (rounded to nearest), or nothing for
// text that is not a finite number. Values beyond a million years saturate.
std::optional<qint64> parse_seconds(const QString& text);

// True when the program was started without any argument on a desktop
// (DISPLAY, WAYLAND_DISPLAY or QT_QPA_PLATFORM set and not empty).
bool window_mode_requested(int argc);

// Declares the program's options, positional argument, help and version.
void add_replay_options(QCommandLineParser& parser);

// Checks the processed command line in a fixed order (path count, rate,
// destination pair, address, port, start, end, maximum gap). On the first failure returns false with
// the message to log in `error`; the caller exits with status 2. In window
// mode no path is needed.
bool read_replay_options(const QCommandLineParser& parser, bool window_mode,
                         ReplayOptions& options, QString& error);

} // namespace nmb::reelcast
