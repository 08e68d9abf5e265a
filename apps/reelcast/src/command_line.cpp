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

} // namespace

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
