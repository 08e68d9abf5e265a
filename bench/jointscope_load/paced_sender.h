#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace nmb::bench {

struct PacedSendResult {
    bool ok = false;           // false: the socket could not be made
    std::uint64_t sent = 0;    // datagrams the kernel took
    std::uint64_t failed = 0;  // sendto() failures
    double max_lag_ms = 0;     // worst delay of a send behind its due time
};

// Sends the synthetic source's Mocap frames to ip:port at `rate` frames/s for
// `seconds` (or until `stop` is set). Due times come from one absolute
// monotonic clock (start + n / rate), so a late wake-up is caught up at
// once instead of drifting. Blocks the calling thread.
PacedSendResult send_paced(const std::string& ip, std::uint16_t port, double rate, double seconds,
                           const std::atomic<bool>& stop);

} // namespace nmb::bench
