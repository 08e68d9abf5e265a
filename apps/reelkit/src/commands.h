#pragma once

#include "command_line.h"

namespace nmb::reelkit {

// The subcommands. Each returns the exit status: 0 done, 1 a run-time
// failure (an unreadable or damaged input, a failed write). An output is
// written to a temporary file beside it and renamed only when complete, so
// a failure never leaves a partial output behind.

// Reports every file on standard output; 1 when any is damaged or unreadable.
int run_info(const ReelkitOptions& options);
// Copies the whole frames of the input to the output.
int run_salvage(const ReelkitOptions& options);
// Writes the whole frames as UDP datagrams in a pcap file.
int run_export(const ReelkitOptions& options);
// Writes the UDP payloads of a pcap or pcapng file as a recording.
int run_import(const ReelkitOptions& options);

} // namespace nmb::reelkit
