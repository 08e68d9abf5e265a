// Decoder throughput over a stream of Mocap frames, beside zlib's crc32 and
// our checksum over the same bytes in the same run. Each figure is the best
// of several passes timed by the thread's own CPU clock, so other programs
// sharing the cores inflate it far less than they would wall time.

#include "frame_generator.h"

#include <nmb/protocol/crc32.h>
#include <nmb/protocol/mocap_decoder.h>
#include <nmb/protocol/mocap_frame.h>

#include <zlib.h>

#include <ctime>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>

namespace {

using Decoder = nmb::codec::MocapDecoder;

// Defeats dead-code elimination of the measured loops.
volatile std::uint64_t sink = 0;

double thread_seconds()
{
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// Best seconds for one pass of `run` over the stream.
double best_seconds(int passes, const std::function<void()>& run)
{
    double best = 1e9;
    for (int i = 0; i < passes; ++i) {
        const double start = thread_seconds();
        run();
        best = std::min(best, thread_seconds() - start);
    }
    return best;
}

void report(const char* what, double seconds, std::size_t bytes, std::size_t frames)
{
    const double mb_per_s = double(bytes) / seconds / 1e6;
    if (frames > 0)
        std::printf("%-34s %9.1f MB/s %12.0f frames/s\n", what, mb_per_s, double(frames) / seconds);
    else
        std::printf("%-34s %9.1f MB/s\n", what, mb_per_s);
}

std::uint32_t bitwise_crc(const std::uint8_t* data, std::size_t size)
{
    std::uint32_t reg = nmb::protocol::CRC32_INITIAL;
    for (std::size_t i = 0; i < size; ++i) {
        reg ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg & 1u) ? (reg >> 1) ^ nmb::protocol::CRC32_POLYNOMIAL : reg >> 1;
    }
    return reg;
}

} // namespace

int main(int argc, char* argv[])
{
    const int frame_count = argc > 1 ? std::atoi(argv[1]) : 20000;
    const int passes = argc > 2 ? std::atoi(argv[2]) : 7;
    if (frame_count < 1 || passes < 1) {
        std::fprintf(stderr, "usage: bench_decoder_throughput [frames (20000)] [passes (7)]\n");
        return 2;
    }

    const nmb::synth::FrameGenerator generator(120, {});
    QByteArray stream;
    stream.reserve(qsizetype(frame_count) * qsizetype(sizeof(nmb::protocol::MocapFrame)));
    for (int k = 0; k < frame_count; ++k)
        generator.append_frame(k, stream);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(stream.constData());
    const auto size = std::size_t(stream.size());
    std::printf("%d Mocap frames, %zu bytes, best of %d passes\n\n", frame_count, size, passes);

    Decoder decoder;
    std::size_t frames = 0;
    const double feed_s = best_seconds(passes, [&] {
        frames = 0;
        for (std::size_t i = 0; i < size; ++i)
            frames += decoder.feed(bytes[i]) == nmb::codec::DecodeResult::FrameReady;
        sink = sink + decoder.frame().timestamp_us;
    });
    if (frames != std::size_t(frame_count)) {
        std::fprintf(stderr, "decoder produced %zu of %d frames\n", frames, frame_count);
        return 1;
    }
    report("decoder, feed() per byte", feed_s, size, frames);

    // The bulk feed, handed one datagram (one frame) at a time as the
    // programs receive them.
    const std::size_t frame_size = sizeof(nmb::protocol::MocapFrame);
    const double bulk_s = best_seconds(passes, [&] {
        frames = 0;
        for (std::size_t at = 0; at < size; at += frame_size) {
            const std::uint8_t* datagram = bytes + at;
            for (std::size_t used = 0; used < frame_size;) {
                const nmb::codec::FeedStep step = decoder.feed(datagram + used, frame_size - used);
                used += step.consumed;
                frames += step.result == nmb::codec::DecodeResult::FrameReady;
            }
        }
        sink = sink + decoder.frame().timestamp_us;
    });
    if (frames != std::size_t(frame_count)) {
        std::fprintf(stderr, "bulk feed produced %zu of %d frames\n", frames, frame_count);
        return 1;
    }
    report("decoder, feed() per datagram", bulk_s, size, frames);

    const double table_s = best_seconds(passes, [&] {
        std::uint32_t reg = nmb::protocol::CRC32_INITIAL;
        for (std::size_t i = 0; i < size; ++i)
            reg = nmb::protocol::crc32_update(reg, bytes[i]);
        sink = sink + reg;
    });
    report("checksum, byte table", table_s, size, 0);

    const double sliced_s = best_seconds(passes, [&] {
        sink = sink + nmb::protocol::frame_crc32(bytes, size);
    });
    report("checksum, frame_crc32 (by 8)", sliced_s, size, 0);

    const double zlib_s = best_seconds(passes, [&] {
        sink = sink + ::crc32(0xFFFFFFFEul, bytes, uInt(size));
    });
    report("zlib crc32", zlib_s, size, 0);

    const double bitwise_s = best_seconds(std::min(passes, 3), [&] {
        sink = sink + bitwise_crc(bytes, size);
    });
    report("checksum, bit by bit (reference)", bitwise_s, size, 0);
    return 0;
}
