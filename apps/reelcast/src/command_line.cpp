#include "command_line.h"

#include <nmb/udp_adapter.h>

#include <QUrl>

#include <algorithm>
#include <cmath>

namespace nmb::reelcast {

namespace {

bool is_decimal_number(const QString& text)
{
    return !text.isEmpty()
        && std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.isDigit() && c.unicode() < 0x80; });
}

// Reads an optional time option; false (with `error` set) for a bad value.
bool read_time_option(const QCommandLineParser& parser, const QString& name,
                      const QString& message, std::optional<qint64>& value, QString& error)
{
    if (!parser.isSet(name))
        return true;
    const QString text = parser.value(name);
    value = parse_seconds(text);
    if (!value) {
        error = message + text;
        return false;
    }
    return true;
}

} // namespace

std::optional<qint64> parse_seconds(const QString& text)
{
    bool ok = false;
    const double seconds = text.trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(seconds))
        return std::nullopt;
    constexpr double LIMIT_S = 3.15e13; // about a million years, well inside qint64 microseconds
    return qint64(std::llround(std::clamp(seconds, -LIMIT_S, LIMIT_S) * 1e6));
}

bool window_mode_requested(int argc)
{
    if (argc > 1)
        return false;
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        if (!qEnvironmentVariableIsEmpty(name))
            return true;
    }
    return false;
}

void add_replay_options(QCommandLineParser& parser)
{
    parser.setApplicationDescription(
        QStringLiteral("Replay Nimbra binary frames locally or over UDP."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption({{QStringLiteral("r"), QStringLiteral("rate")},
                      QStringLiteral("Playback speed multiplier (must be positive)."),
                      QStringLiteral("multiplier"), QStringLiteral("1.0")});
    parser.addOption({{QStringLiteral("l"), QStringLiteral("loop")},
                      QStringLiteral("Restart playback after reaching the end of the file.")});
    parser.addOption({QStringLiteral("ip"), QStringLiteral("UDP destination IP address."),
                      QStringLiteral("address")});
    parser.addOption({QStringLiteral("port"), QStringLiteral("UDP destination port (1-65535)."),
                      QStringLiteral("port")});
    parser.addOption({QStringLiteral("start"),
                      QStringLiteral("Begin at this offset from the first frame's timestamp."),
                      QStringLiteral("seconds")});
    parser.addOption({QStringLiteral("end"),
                      QStringLiteral("Stop before the first frame at this offset (the loop "
                                     "runs between start and end)."),
                      QStringLiteral("seconds")});
    parser.addOption({QStringLiteral("max-gap"),
                      QStringLiteral("Longest wait between two frames (default: a gap above "
                                     "60 s is skipped)."),
                      QStringLiteral("seconds")});
    parser.addPositionalArgument(
        QStringLiteral("file"),
        QStringLiteral("Binary recording to play. Omit it to open the drag-and-drop window."),
        QStringLiteral("[file]"));
}

bool read_replay_options(const QCommandLineParser& parser, bool window_mode,
                         ReplayOptions& options, QString& error)
{
    const QStringList positional = parser.positionalArguments();
    if (positional.size() > 1 || (!window_mode && positional.size() != 1)) {
        error = QStringLiteral("Exactly one binary recording path is required.\n\n")
            + parser.helpText();
        return false;
    }

    const QString rate_text = parser.value(QStringLiteral("rate"));
    bool rate_ok = false;
    const double rate = rate_text.toDouble(&rate_ok);
    if (!rate_ok || !(rate > 0.0) || !std::isfinite(rate)) {
        error = QStringLiteral("Invalid playback rate: ") + rate_text;
        return false;
    }

    const bool has_ip = parser.isSet(QStringLiteral("ip"));
    const bool has_port = parser.isSet(QStringLiteral("port"));
    if (has_ip != has_port) {
        error = QStringLiteral("UDP destination requires both --ip and --port.");
        return false;
    }

    QHostAddress destination;
    const QString ip_text = parser.value(QStringLiteral("ip"));
    if (has_ip && !destination.setAddress(ip_text)) {
        error = QStringLiteral("Invalid UDP destination IP address: ") + ip_text;
        return false;
    }

    const QString port_text = parser.value(QStringLiteral("port"));
    // Digits only: the general port parser would also take "+80" or " 80".
    const std::optional<quint16> port =
        is_decimal_number(port_text) ? parse_udp_port(port_text) : std::nullopt;
    if (has_port && !port) {
        error = QStringLiteral("Invalid UDP destination port: ") + port_text;
        return false;
    }

    std::optional<qint64> start;
    if (!read_time_option(parser, QStringLiteral("start"), QStringLiteral("Invalid start time: "),
                          start, error))
        return false;
    if (start && *start < 0) {
        error = QStringLiteral("Invalid start time: ") + parser.value(QStringLiteral("start"));
        return false;
    }
    std::optional<qint64> end;
    if (!read_time_option(parser, QStringLiteral("end"), QStringLiteral("Invalid end time: "), end,
                          error))
        return false;
    if (end && *end <= start.value_or(0)) {
        error = QStringLiteral("Invalid end time: ") + parser.value(QStringLiteral("end"));
        return false;
    }
    std::optional<qint64> max_gap;
    if (!read_time_option(parser, QStringLiteral("max-gap"),
                          QStringLiteral("Invalid maximum gap: "), max_gap, error))
        return false;
    if (max_gap && *max_gap <= 0) {
        error = QStringLiteral("Invalid maximum gap: ") + parser.value(QStringLiteral("max-gap"));
        return false;
    }

    options.start_us = start.value_or(0);
    options.end_us = end;
    options.max_gap_us = max_gap;
    options.rate = rate;
    options.loop = parser.isSet(QStringLiteral("loop"));
    options.udp_enabled = has_ip;
    options.destination = destination;
    options.port = port.value_or(0);
    if (!positional.isEmpty()) {
        options.path = positional.constFirst();
        const QUrl url(options.path, QUrl::TolerantMode);
        if (url.isLocalFile())
            options.path = url.toLocalFile();
    }
    return true;
}

} // namespace nmb::reelcast
