// The stream decoder over arbitrary bytes cut into arbitrary datagrams.
//
// Input: the stream first; the datagram sizes and the per-datagram choice of
// feeding style are taken from the end of the input. Four decoders see the
// same stream:
//   - a plain model written straight from the algorithm (bitwise checksum),
//   - the decoder fed byte by byte,
//   - the decoder fed datagram by datagram through the bulk feed,
//   - the decoder fed with both styles mixed, datagram by datagram.
// All must report the same results at the same bytes and produce the same
// frames. Every FrameReady frame is checked against the bytes it came from:
// the last 10 + N bytes fed form exactly its header, payload and checksum,
// and the checksum over them matches.

#include "fuzz_check.h"

#include <nmb/protocol/crc32.h>
#include <nmb/protocol/mocap_decoder.h>
#include <nmb/protocol/mocap_frame.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

using nmb::codec::DecodeResult;
using nmb::codec::DecoderState;
using nmb::protocol::MocapFrame;
using Decoder = nmb::codec::MocapDecoder;

constexpr std::uint32_t CAPACITY = MocapFrame::PAYLOAD_SIZE;
constexpr std::size_t MAX_DATAGRAMS = 64;
constexpr std::size_t MAX_DATAGRAM_SIZE = 4096;

// The decoding algorithm in its plainest form, as the reference.
class ModelDecoder {
public:
    NMB_FUZZ_UNINSTRUMENTED DecodeResult feed(std::uint8_t b)
    {
        switch (state_) {
        case State::Hunt:
            if (b == 0xAA) {
                reg_ = update(1, b);
                state_ = State::Sync1;
            }
            return DecodeResult::Pending;
        case State::Sync1:
            if (b == 0x55) {
                reg_ = update(reg_, b);
                state_ = State::IdLow;
            } else if (b == 0xAA) {
                reg_ = update(1, b);
            } else {
                state_ = State::Hunt;
            }
            return DecodeResult::Pending;
        case State::IdLow:
            low_ = b;
            reg_ = update(reg_, b);
            state_ = State::IdHigh;
            return DecodeResult::Pending;
        case State::IdHigh:
            id_ = low_ | (std::uint32_t(b) << 8);
            reg_ = update(reg_, b);
            state_ = State::LengthLow;
            return DecodeResult::Pending;
        case State::LengthLow:
            low_ = b;
            reg_ = update(reg_, b);
            state_ = State::LengthHigh;
            return DecodeResult::Pending;
        case State::LengthHigh:
            length_ = low_ | (std::uint32_t(b) << 8);
            reg_ = update(reg_, b);
            received_ = 0;
            if (id_ != 0) {
                length_ += 4;
                state_ = State::Skip;
                return DecodeResult::Pending;
            }
            if (length_ > CAPACITY) {
                state_ = State::Hunt;
                return DecodeResult::LengthTooLarge;
            }
            start_trailer_if_done();
            return DecodeResult::Pending;
        case State::Payload:
            payload_[received_++] = b;
            reg_ = update(reg_, b);
            start_trailer_if_done();
            return DecodeResult::Pending;
        case State::Trailer:
            trailer_ |= std::uint32_t(b) << (8 * trailer_bytes_);
            if (++trailer_bytes_ < 4)
                return DecodeResult::Pending;
            state_ = State::Hunt;
            return trailer_ == reg_ ? DecodeResult::FrameReady : DecodeResult::CrcMismatch;
        case State::Skip:
            if (++received_ < length_)
                return DecodeResult::Pending;
            state_ = State::Hunt;
            return DecodeResult::SkippedOtherId;
        }
        return DecodeResult::Pending;
    }

    // The wire image of the last frame: header, N payload bytes, checksum.
    NMB_FUZZ_UNINSTRUMENTED std::vector<std::uint8_t> wire_image() const
    {
        std::vector<std::uint8_t> bytes{0xAA, 0x55, 0, 0, std::uint8_t(length_), std::uint8_t(length_ >> 8)};
        bytes.insert(bytes.end(), payload_, payload_ + length_);
        for (int i = 0; i < 4; ++i)
            bytes.push_back(std::uint8_t(trailer_ >> (8 * i)));
        return bytes;
    }

    bool hunting() const { return state_ == State::Hunt; }

private:
    enum class State { Hunt, Sync1, IdLow, IdHigh, LengthLow, LengthHigh, Payload, Trailer, Skip };

    NMB_FUZZ_UNINSTRUMENTED static std::uint32_t update(std::uint32_t reg, std::uint8_t b)
    {
        reg ^= b;
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg & 1u) ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
        return reg;
    }

    NMB_FUZZ_UNINSTRUMENTED void start_trailer_if_done()
    {
        if (received_ < length_) {
            state_ = State::Payload;
            return;
        }
        trailer_ = 0;
        trailer_bytes_ = 0;
        state_ = State::Trailer;
    }

    State state_ = State::Hunt;
    std::uint32_t reg_ = 0;
    std::uint32_t id_ = 0;
    std::uint32_t length_ = 0;
    std::uint32_t received_ = 0;
    std::uint32_t trailer_ = 0;
    int trailer_bytes_ = 0;
    std::uint8_t low_ = 0;
    std::uint8_t payload_[CAPACITY] = {};
};

// What the decoder reported at one byte of the stream.
struct Event {
    std::size_t offset; // index of the byte in the stream
    DecodeResult result;
    std::size_t image_begin = 0; // FrameReady: the frame's wire image in `images`
    std::size_t image_size = 0;
};

// The decoder's frame as it went over the wire, checked for the shape the
// decoder promises: sync word, wanted ID, length within capacity, zeros
// after the payload.
std::vector<std::uint8_t> wire_image(const MocapFrame& frame)
{
    NMB_FUZZ_CHECK(frame.sync == 0x55AA);
    NMB_FUZZ_CHECK(frame.frame_id == 0);
    NMB_FUZZ_CHECK(frame.payload_length <= CAPACITY);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&frame);
    const std::size_t covered = 6 + frame.payload_length;
    for (std::size_t i = covered; i < sizeof(MocapFrame) - 4; ++i)
        NMB_FUZZ_CHECK(bytes[i] == 0);
    std::vector<std::uint8_t> image(bytes, bytes + covered);
    for (int i = 0; i < 4; ++i)
        image.push_back(std::uint8_t(frame.crc >> (8 * i)));
    return image;
}

// The decoder and the model agree on one byte.
NMB_FUZZ_UNINSTRUMENTED __attribute__((noinline)) void check_agreement(ModelDecoder& model, std::uint8_t b,
                                                                       const Decoder& decoder,
                                                                       DecodeResult result)
{
    NMB_FUZZ_CHECK(result == model.feed(b));
    NMB_FUZZ_CHECK(decoder.last_result() == result);
    if (result != DecodeResult::Pending)
        NMB_FUZZ_CHECK(decoder.state() == DecoderState::HuntSync0 && model.hunting());
}

struct Reference {
    std::vector<Event> events;
    std::vector<std::uint8_t> images; // wire images of the frames, back to back
    DecoderState final_state = DecoderState::HuntSync0;
};

// One byte into the decoder: the decoder's code is what the coverage
// feedback watches, the loops around this call are not.
__attribute__((noinline)) DecodeResult feed_one(Decoder& decoder, std::uint8_t b)
{
    return decoder.feed(b);
}

// Byte by byte, the decoder against the model and against the stream itself.
NMB_FUZZ_UNINSTRUMENTED Reference feed_byte_by_byte(const std::vector<std::uint8_t>& stream)
{
    Reference reference;
    ModelDecoder model;
    Decoder decoder;
    for (std::size_t i = 0; i < stream.size(); ++i) {
        const DecodeResult result = feed_one(decoder, stream[i]);
        check_agreement(model, stream[i], decoder, result);
        if (result == DecodeResult::Pending)
            continue;
        Event event{i, result};
        if (result == DecodeResult::FrameReady) {
            const std::vector<std::uint8_t> image = wire_image(decoder.frame());
            NMB_FUZZ_CHECK(image == model.wire_image());
            // The frame is exactly the last 10 + N bytes fed, and its stored
            // checksum is the checksum of those bytes.
            NMB_FUZZ_CHECK(image.size() <= i + 1);
            const std::uint8_t* source = stream.data() + (i + 1 - image.size());
            NMB_FUZZ_CHECK(std::memcmp(source, image.data(), image.size()) == 0);
            const std::size_t covered = image.size() - 4;
            NMB_FUZZ_CHECK(nmb::protocol::frame_crc32(source, covered) == decoder.frame().crc);
            event.image_begin = reference.images.size();
            event.image_size = image.size();
            reference.images.insert(reference.images.end(), image.begin(), image.end());
        }
        reference.events.push_back(event);
    }
    reference.final_state = decoder.state();
    return reference;
}

// Compares what a decoder reports with the reference, event by event.
class EventMatcher {
public:
    explicit EventMatcher(const Reference& reference)
        : reference_(reference)
    {
    }

    void expect(std::size_t offset, DecodeResult result, const Decoder& decoder)
    {
        NMB_FUZZ_CHECK(next_ < reference_.events.size());
        const Event& event = reference_.events[next_++];
        NMB_FUZZ_CHECK(event.offset == offset);
        NMB_FUZZ_CHECK(event.result == result);
        NMB_FUZZ_CHECK(decoder.last_result() == result);
        if (result != DecodeResult::FrameReady)
            return;
        const std::vector<std::uint8_t> image = wire_image(decoder.frame());
        NMB_FUZZ_CHECK(image.size() == event.image_size);
        NMB_FUZZ_CHECK(std::memcmp(image.data(), reference_.images.data() + event.image_begin,
                                   image.size())
                       == 0);
    }

    void expect_end(const Decoder& decoder) const
    {
        NMB_FUZZ_CHECK(next_ == reference_.events.size());
        NMB_FUZZ_CHECK(decoder.state() == reference_.final_state);
    }

private:
    const Reference& reference_;
    std::size_t next_ = 0;
};

void feed_bulk(Decoder& decoder, const std::uint8_t* data, std::size_t size, std::size_t offset,
               EventMatcher& matcher)
{
    std::size_t used = 0;
    // Each call consumes at least one byte, so size + 1 calls always suffice.
    for (std::size_t calls = 0; used < size; ++calls) {
        NMB_FUZZ_CHECK(calls <= size);
        const nmb::codec::FeedStep step = decoder.feed(data + used, size - used);
        NMB_FUZZ_CHECK(step.consumed >= 1 && step.consumed <= size - used);
        used += step.consumed;
        if (step.result != DecodeResult::Pending)
            matcher.expect(offset + used - 1, step.result, decoder);
        else
            NMB_FUZZ_CHECK(used == size);
    }
    // An empty datagram changes nothing.
    const nmb::codec::FeedStep none = decoder.feed(data + size, 0);
    NMB_FUZZ_CHECK(none.consumed == 0 && none.result == DecodeResult::Pending);
}

NMB_FUZZ_UNINSTRUMENTED void feed_single(Decoder& decoder, const std::uint8_t* data, std::size_t size, std::size_t offset,
                 EventMatcher& matcher)
{
    for (std::size_t i = 0; i < size; ++i) {
        const DecodeResult result = feed_one(decoder, data[i]);
        if (result != DecodeResult::Pending)
            matcher.expect(offset + i, result, decoder);
    }
}

void check_fresh_decoder()
{
    const Decoder decoder;
    const MocapFrame& frame = decoder.frame();
    NMB_FUZZ_CHECK(frame.sync == 0x55AA && frame.frame_id == 0 && frame.payload_length == CAPACITY);
    NMB_FUZZ_CHECK(frame.timestamp_us == 0 && frame.crc == 0);
    NMB_FUZZ_CHECK(decoder.state() == DecoderState::HuntSync0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    const std::size_t count = input.ConsumeIntegralInRange<std::size_t>(0, MAX_DATAGRAMS);
    std::vector<std::size_t> sizes;
    for (std::size_t i = 0; i < count; ++i)
        sizes.push_back(input.ConsumeIntegralInRange<std::size_t>(0, MAX_DATAGRAM_SIZE));
    const std::uint64_t styles = input.ConsumeIntegral<std::uint64_t>();
    // Exactly sized, so that AddressSanitizer sees any read past the end.
    const std::vector<std::uint8_t> stream = input.ConsumeRemainingBytes<std::uint8_t>();

    // The datagrams: the sizes taken in order while bytes last; whatever is
    // left over is the last datagram.
    std::vector<std::size_t> datagrams;
    std::size_t cut = 0;
    for (std::size_t s : sizes) {
        s = std::min(s, stream.size() - cut);
        datagrams.push_back(s);
        cut += s;
    }
    datagrams.push_back(stream.size() - cut);

    check_fresh_decoder();
    const Reference reference = feed_byte_by_byte(stream);

    Decoder bulk;
    Decoder mixed;
    EventMatcher bulk_matcher(reference);
    EventMatcher mixed_matcher(reference);
    std::size_t offset = 0;
    for (std::size_t d = 0; d < datagrams.size(); ++d) {
        // Copied into a buffer of its own, as a socket would hand it over.
        const std::vector<std::uint8_t> datagram(stream.begin() + std::ptrdiff_t(offset),
                                                 stream.begin() + std::ptrdiff_t(offset + datagrams[d]));
        feed_bulk(bulk, datagram.data(), datagram.size(), offset, bulk_matcher);
        if ((styles >> (d % 64)) & 1u)
            feed_bulk(mixed, datagram.data(), datagram.size(), offset, mixed_matcher);
        else
            feed_single(mixed, datagram.data(), datagram.size(), offset, mixed_matcher);
        offset += datagram.size();
    }
    bulk_matcher.expect_end(bulk);
    mixed_matcher.expect_end(mixed);
    return 0;
}
