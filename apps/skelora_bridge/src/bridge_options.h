#pragma once

#include <QString>
#include <QStringList>

#include <optional>
#include <string>

namespace nmb {

// What the bridge's command line asks for, after every check.
struct BridgeOptions {
    quint16 port = 15000;
    // The service URL, trimmed; unset: the client's default.
    std::optional<QString> server_url;
    // UTF-8 of the trimmed --skeleton text; never empty.
    std::string skeleton;
    // Try the service again after a lost or refused connection.
    bool reconnect = false;
};

enum class [[nodiscard]] OptionsStatus {
    Ok,
    Invalid, // the reason was logged at critical level; exit with status 2
};

// Parses `arguments` (program name first) and checks, in order: no
// positional arguments, the port (1-65535), the URL when given (ws or wss
// with a host, spaces around it allowed) and a non-empty skeleton ID. The
// first failure is logged and ends the checks. --help, --help-all and
// --version print their text and exit the process with status 0, as the
// parser does.
OptionsStatus parse_bridge_options(const QStringList& arguments, BridgeOptions& options);

// Whether `url` (already trimmed) names a ws or wss endpoint with a host;
// the scheme may be written in any case.
bool is_service_url(const QString& url);

} // namespace nmb
