#pragma once

#include <nmb/protocol/mocap_decoder.h>
#include <nmb/protocol/mocap_frame.h>

#include <QString>
#include <QtGlobal>

#include <chrono>
#include <cstddef>
#include <list>
#include <map>
#include <utility>

namespace nmb {

// Bounds on the per-sender decoders kept by the bridge.
struct SenderLimits {
    // A sender silent for at least this long loses its decoder.
    std::chrono::milliseconds idle_timeout{30000};
    // At most this many senders are kept (at least 1); a new sender beyond
    // it replaces the one silent longest.
    std::size_t max_senders = 4096;
};

// One Mocap stream decoder per UDP sender (address text, port), so bytes of
// different senders never mix. The table is bounded by SenderLimits; a
// dropped sender that speaks again starts with a fresh decoder, and dropping
// one sender never touches another's decoder. Time is passed in by the
// caller as a monotonic millisecond count (any epoch); the table reads no
// clock. One thread only.
class SenderTable {
public:
    using Decoder = codec::MocapDecoder;
    using Key = std::pair<QString, quint16>;

    explicit SenderTable(SenderLimits limits = {});

    // The decoder of `sender`, created when missing (first dropping the
    // sender silent longest if the table is full), and marks the sender as
    // heard at `now`. The reference stays valid until the next call that
    // adds or drops senders.
    Decoder& decoder_for(const Key& sender, std::chrono::milliseconds now);

    // Drops every sender last heard at least idle_timeout before `now`.
    // Returns how many were dropped.
    std::size_t drop_idle(std::chrono::milliseconds now);

    bool contains(const Key& sender) const;
    std::size_t size() const;
    const SenderLimits& limits() const;

private:
    struct Sender {
        Decoder decoder;
        std::chrono::milliseconds last_heard{0};
        std::list<Key>::iterator recency; // position in recency_
    };

    void drop(std::map<Key, Sender>::iterator sender);

    SenderLimits limits_;
    // Ordered by (address text, port), the order senders are listed in.
    std::map<Key, Sender> decoders;
    // Keys from silent longest (front) to heard last (back).
    std::list<Key> recency_;
};

} // namespace nmb
