#pragma once

#include <QString>
#include <QStringList>

namespace nmb::reelkit {

inline constexpr quint16 DEFAULT_EXPORT_PORT = 15000;

enum class Command { Info, Salvage, Export, Import };

// A validated command line.
struct ReelkitOptions {
    Command command = Command::Info;
    QStringList inputs;  // info: every file; otherwise one
    QString output;
    bool json = false;   // info --json
    bool force = false;  // replace an existing output
    quint16 port = DEFAULT_EXPORT_PORT; // export: destination; import: filter when port_given
    bool port_given = false;
};

struct ParsedCommandLine {
    enum class Outcome {
        Run,   // `options` hold what to do
        Print, // print `text` on standard output and end with status 0 (help, version)
        Error, // print `text` on standard error and end with status 2
    };
    Outcome outcome = Outcome::Error;
    ReelkitOptions options;
    QString text;
};

// Parses `arguments` (the program name first, then the command and its
// options). Refuses, before anything is created: a missing or unknown
// command, unknown options, wrong argument counts, a bad port, an output
// that exists (unless --force) or that is the input.
ParsedCommandLine parse_command_line(const QStringList& arguments);

} // namespace nmb::reelkit
