#pragma once

#include <nmb/protocol/mocap_frame.h>

#include <QByteArray>

#include <cstdint>

namespace nmb::test {

// Whole frame bytes for tests, built through the protocol's own framing.
QByteArray frame_bytes(std::uint16_t frame_id, const QByteArray& payload);

// A 1860-byte Mocap frame with the given timestamp; pose i is filled with
// values derived from i and `seed`, so every joint differs.
QByteArray mocap_frame_bytes(std::uint64_t timestamp_us, float seed = 0.0f);

// The wire image of a MocapFrame value (checksum recomputed).
QByteArray mocap_frame_bytes(const nmb::protocol::MocapFrame& frame);

// A frame of `length` payload bytes (patterned), ID `frame_id`.
QByteArray patterned_frame(std::uint16_t frame_id, int length, std::uint8_t seed = 0);

} // namespace nmb::test
