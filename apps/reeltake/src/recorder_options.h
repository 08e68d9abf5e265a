#pragma once

#include <QCommandLineParser>
#include <QString>

namespace nmb::reeltake {

inline constexpr quint16 DEFAULT_PORT = 9000;

// A validated recorder command line.
struct RecorderOptions {
    quint16 port = DEFAULT_PORT;
    QString directory; // absolute
};

enum class OptionsStatus {
    Ok,
    PositionalArguments,
    InvalidPort,
};

struct OptionsResult {
    OptionsStatus status = OptionsStatus::Ok;
    RecorderOptions options;
    QString message; // what to print when status is not Ok
};

// Sets description, help, version, --port and -d/--directory on `parser`.
void configure_parser(QCommandLineParser& parser);

// Validates a parsed command line: no positional arguments, a decimal port
// in 1..65535; the directory is made absolute against the current directory.
OptionsResult read_options(const QCommandLineParser& parser);

} // namespace nmb::reeltake
