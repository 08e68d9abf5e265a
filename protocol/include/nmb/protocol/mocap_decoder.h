#pragma once

#include <nmb/protocol/decoder.h>
#include <nmb/protocol/mocap_frame.h>

#include <cstddef>
#include <cstdint>

namespace nmb::codec {

// The decoder of Mocap streams: frames of ID 0 behind the sync bytes
// 0xAA 0x55. The one instantiation the programs, benchmarks and fuzz targets
// use.
using MocapDecoder = DecoderT<protocol::MocapFrame, protocol::MocapFrame::ID, 0xAA, 0x55>;

// Feeds `size` bytes (one datagram) to `decoder` with the bulk feed, which
// stops at every result, so each result is acted on in stream order:
// on_frame(decoder.frame()) for every decoded frame, on_rejected(result) for
// every rejection (other ID, length too large, checksum mismatch).
template <typename Decoder, typename OnFrame, typename OnRejected>
void feed_datagram(Decoder& decoder, const void* data, std::size_t size, OnFrame on_frame, OnRejected on_rejected)
{
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    for (std::size_t offset = 0; offset < size;) {
        const FeedStep step = decoder.feed(bytes + offset, size - offset);
        offset += step.consumed;
        switch (step.result) {
        case DecodeResult::Pending:
            break;
        case DecodeResult::FrameReady:
            on_frame(decoder.frame());
            break;
        case DecodeResult::SkippedOtherId:
        case DecodeResult::LengthTooLarge:
        case DecodeResult::CrcMismatch:
            on_rejected(step.result);
            break;
        }
    }
}

} // namespace nmb::codec
