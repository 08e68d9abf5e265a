#pragma once

#include "frame_generator.h"

#include <QCommandLineParser>
#include <QHostAddress>
#include <QString>
#include <QStringList>

#include <cstdint>

namespace nmb::synth {

// What one run of the synthetic source does.
struct SynthOptions {
    QString output;           // recording file to write; empty when sending
    QHostAddress address;     // destination when sending
    quint16 port = 0;         // destination port; 0 when writing a file
    double rate_hz = 120;     // frames per second
    std::int64_t frame_count = -1; // frames in all; -1: until stopped
    int truncate_tail = 0;    // bytes cut off the last frame of a file
    FaultPlan faults;

    bool sends() const { return port != 0; }
};

enum class [[nodiscard]] ParseStatus { Ok, Help, Version, Error };

// The command line of nimbra_mocap_synth: its options, their defaults and
// their checks. Parsing never exits the process; the caller acts on the
// status (Error: error_text() holds one line for the user).
class SynthCommandLine {
public:
    SynthCommandLine();

    ParseStatus parse(const QStringList& arguments);

    const SynthOptions& options() const { return options_; }
    const QString& error_text() const { return error_; }
    QString help_text() const { return parser_.helpText(); }

private:
    ParseStatus fail(const QString& message);
    bool read_indices(const QString& name, std::set<std::int64_t>& into);

    QCommandLineParser parser_;
    SynthOptions options_;
    QString error_;
};

} // namespace nmb::synth
