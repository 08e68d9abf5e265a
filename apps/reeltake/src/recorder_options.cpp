#include "recorder_options.h"

#include <nmb/udp_adapter.h>

#include <QDir>

namespace nmb::reeltake {

void configure_parser(QCommandLineParser& parser)
{
    parser.setApplicationDescription(
        QStringLiteral("Record UDP Nimbra protocol frames to a binary file."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption({QStringLiteral("port"), QStringLiteral("Local UDP port (1-65535)."),
                      QStringLiteral("port"), QString::number(DEFAULT_PORT)});
    parser.addOption({{QStringLiteral("d"), QStringLiteral("directory")},
                      QStringLiteral("Directory used to save recordings."), QStringLiteral("path"),
                      QStringLiteral(".")});
}

OptionsResult read_options(const QCommandLineParser& parser)
{
    OptionsResult result;
    if (!parser.positionalArguments().isEmpty()) {
        result.status = OptionsStatus::PositionalArguments;
        result.message = QStringLiteral("Unexpected positional arguments.\n\n") + parser.helpText();
        return result;
    }

    const QString port_text = parser.value(QStringLiteral("port"));
    const std::optional<quint16> port = parse_udp_port(port_text);
    if (!port) {
        result.status = OptionsStatus::InvalidPort;
        result.message = QStringLiteral("Invalid local UDP port: ") + port_text;
        return result;
    }
    result.options.port = *port;
    result.options.directory = QDir(parser.value(QStringLiteral("directory"))).absolutePath();
    return result;
}

} // namespace nmb::reeltake
