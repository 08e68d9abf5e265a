#pragma once

#include "udp_packet.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <optional>

#include <pcap/pcap.h>

namespace nmb::reelkit {

// What reading a capture found.
struct CaptureCounts {
    bool ok = false;     // false: `error` says why reading stopped
    QString error;
    std::uint64_t datagrams = 0; // passed to the sink
    std::uint64_t bytes = 0;
    std::uint64_t fragments = 0; // IP fragments, skipped
    std::uint64_t cut_short = 0; // UDP datagrams the capture did not keep whole, skipped
};

// Called with each UDP payload (valid only during the call); false stops.
using PayloadSink = std::function<bool(QByteArrayView payload)>;

// Reads every packet of an open capture in order and passes the payload of
// each non-empty UDP datagram (only those to `port`, when given) to `sink`,
// as the recorder would have written them. Fails on a link type it cannot
// read and on a damaged or cut capture.
CaptureCounts read_udp_payloads(pcap_t* capture, std::optional<std::uint16_t> port, const PayloadSink& sink);

} // namespace nmb::reelkit
