// read_metadata and format_frame over arbitrary frames.
//
// Input: the frame bytes first; the frame number is taken from the last 8
// bytes of the input. The frame is handed over without a copy in a buffer of
// exactly its size, so AddressSanitizer sees any read past its end (a
// QByteArray copy would carry a terminator and spare capacity). The metadata
// is held against the header fields read here, and the text against the
// four lines built here from them.

#include "format_frame.h"
#include "fuzz_check.h"

#include <nmb/protocol/frame.h>

#include <QByteArray>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

std::uint64_t little_endian(const std::vector<char>& bytes, std::size_t at, int size)
{
    std::uint64_t value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = (value << 8) | std::uint8_t(bytes[at + std::size_t(i)]);
    return value;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    const std::uint64_t frame_number = input.ConsumeIntegral<std::uint64_t>();
    const std::vector<char> bytes = input.ConsumeRemainingBytes<char>();
    const QByteArray frame = QByteArray::fromRawData(bytes.data(), qsizetype(bytes.size()));

    // A buffer shorter than the header carries nothing; an ID-0 frame
    // carries its timestamp when it declares and holds 8 payload bytes.
    std::uint64_t id = 0;
    std::uint64_t length = 0;
    std::uint64_t timestamp = 0;
    bool has_timestamp = false;
    if (bytes.size() >= 6) {
        id = little_endian(bytes, 2, 2);
        length = little_endian(bytes, 4, 2);
        has_timestamp = id == 0 && length >= 8 && bytes.size() >= 14;
        if (has_timestamp)
            timestamp = little_endian(bytes, 6, 8);
    }

    const nmb::reelcast::FrameMetadata meta = nmb::reelcast::read_metadata(frame);
    NMB_FUZZ_CHECK(meta.frame_id == id);
    NMB_FUZZ_CHECK(meta.payload_length == length);
    NMB_FUZZ_CHECK(meta.timestamp == timestamp);
    NMB_FUZZ_CHECK(meta.timestamp_scale_us == (has_timestamp ? 1u : 0u));
    NMB_FUZZ_CHECK(!meta.timestamp_wraps_32bit);

    const std::string expected = "frame: " + std::to_string(frame_number) + "\nid: " + std::to_string(id)
        + "\nlength: " + std::to_string(length) + "\ntimestamp: " + std::to_string(timestamp) + " us\n";
    NMB_FUZZ_CHECK(nmb::reelcast::format_frame(frame, frame_number) == expected);
    return 0;
}
