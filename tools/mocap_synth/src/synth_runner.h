#pragma once

#include "frame_generator.h"
#include "synth_command_line.h"

#include <QString>

#include <csignal>
#include <cstdint>

namespace nmb::synth {

// What a run produced.
struct RunResult {
    std::int64_t frames = 0;  // frames written or handed to the system
    std::int64_t bytes = 0;   // bytes written or sent, garbage included
    std::int64_t failed = 0;  // datagrams the system refused to send
    QString error;            // first run-time failure; empty when none

    bool ok() const { return error.isEmpty(); }
};

// Nanoseconds after the start at which frame `index` falls due at `rate_hz`.
// Computed from the index alone, so lateness never accumulates.
std::int64_t due_time_ns(std::int64_t index, double rate_hz);

// Writes options.frame_count frames to options.output as fast as the disk
// takes them (the last one cut short by options.truncate_tail bytes). Stops
// early, after a whole frame, once *stop is non-zero. A file that cannot be
// opened or written sets error; what was written stays.
RunResult write_recording(const SynthOptions& options, const FrameGenerator& generator,
                          const volatile std::sig_atomic_t* stop);

// Sends each frame as one UDP datagram to options.address:options.port,
// frame k at start + k / rate on the monotonic clock (a late frame goes out
// at once and the ones after it keep their own times). Ends after
// options.frame_count frames, or, when that is -1, only once *stop is
// non-zero; *stop also ends a bounded run early. Refused datagrams are
// counted in failed and the first refusal is kept in error.
RunResult send_frames(const SynthOptions& options, const FrameGenerator& generator,
                      const volatile std::sig_atomic_t* stop);

// "127.0.0.1:15000", "[::1]:15000".
QString endpoint_text(const QHostAddress& address, quint16 port);

} // namespace nmb::synth
