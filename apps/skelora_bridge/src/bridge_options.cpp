#include "bridge_options.h"

#include <nmb/udp_adapter.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QUrl>

namespace nmb {

bool is_service_url(const QString& url)
{
    const QUrl parsed(url, QUrl::TolerantMode);
    const QString scheme = parsed.scheme().toLower();
    return parsed.isValid() && !parsed.host(QUrl::FullyDecoded).isEmpty()
        && (scheme == QLatin1String("ws") || scheme == QLatin1String("wss"));
}

OptionsStatus parse_bridge_options(const QStringList& arguments, BridgeOptions& options)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Forward UDP Mocap frames to a Skelora service."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption port_option(QStringLiteral("port"), QStringLiteral("Local UDP port (1-65535)."),
                                         QStringLiteral("port"), QStringLiteral("15000"));
    const QCommandLineOption url_option(QStringLiteral("url"), QStringLiteral("Skelora ws/wss server URL."),
                                        QStringLiteral("url"));
    const QCommandLineOption skeleton_option(QStringLiteral("skeleton"), QStringLiteral("Skeleton ID sent to Skelora."),
                                             QStringLiteral("id"), QStringLiteral("mocap"));
    const QCommandLineOption reconnect_option(
        QStringLiteral("reconnect"),
        QStringLiteral("Reconnect to Skelora after the connection is lost or refused (waits 0.5 s, doubling to 10 s)."));
    parser.addOptions({port_option, url_option, skeleton_option, reconnect_option});

    // parse() rather than process(): an unknown option or a missing value is
    // a command-line error like any other and ends with status 2, where
    // process() would exit with 1.
    if (!parser.parse(arguments)) {
        qCritical().noquote() << parser.errorText();
        return OptionsStatus::Invalid;
    }
    // The arguments parse, so this only answers --version, --help and
    // --help-all, in the parser's own order, and exits.
    parser.process(arguments);

    if (!parser.positionalArguments().isEmpty()) {
        qCritical().noquote() << "Unexpected positional arguments.\n\n" << parser.helpText();
        return OptionsStatus::Invalid;
    }
    const std::optional<quint16> port = parse_udp_port(parser.value(port_option));
    if (!port) {
        qCritical().noquote() << "Invalid local UDP port:" << parser.value(port_option);
        return OptionsStatus::Invalid;
    }
    options.port = *port;
    if (parser.isSet(url_option)) {
        const QString url = parser.value(url_option);
        if (!is_service_url(url.trimmed())) {
            qCritical().noquote() << "Invalid Skelora server URL:" << url;
            return OptionsStatus::Invalid;
        }
        options.server_url = url.trimmed();
    }
    const QString skeleton = parser.value(skeleton_option).trimmed();
    if (skeleton.isEmpty()) {
        qCritical().noquote() << "Skeleton ID must not be empty.";
        return OptionsStatus::Invalid;
    }
    options.skeleton = skeleton.toStdString();
    options.reconnect = parser.isSet(reconnect_option);
    return OptionsStatus::Ok;
}

} // namespace nmb
