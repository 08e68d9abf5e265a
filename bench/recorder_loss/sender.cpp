// Paced UDP sender for the recorder loss benchmark: sends valid Mocap frames
// (1860 bytes each, microsecond timestamps one period apart) at a fixed rate
// for a fixed time, against an absolute clock so that a late start of one
// batch does not stretch the run; with --rate 0 it sends as fast as it can
// for that time. Prints what it sent on standard output.
#include <nmb/protocol/crc32.h>
#include <nmb/protocol/mocap_frame.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using nmb::protocol::MocapFrame;

constexpr std::size_t FRAME_SIZE = sizeof(MocapFrame);
constexpr std::size_t STAMPED_PREFIX = offsetof(MocapFrame, poses); // header + timestamp
constexpr int MAX_BATCH = 64;

static_assert(FRAME_SIZE == 1860);

std::int64_t now_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void sleep_until_ns(std::int64_t deadline)
{
    timespec ts{};
    ts.tv_sec = deadline / 1000000000;
    ts.tv_nsec = deadline % 1000000000;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

// Frames differ only in their timestamp, and the checksum is linear in the
// register, so the part of the checksum contributed by the constant tail
// (poses, reserved bytes) is computed once: running the tail from register r
// gives tail(0) XOR the tail images of r's set bits.
class FrameStamper {
public:
    explicit FrameStamper(const MocapFrame& model)
        : model_(model)
    {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(&model_);
        tail_ = bytes + STAMPED_PREFIX;
        tail_size_ = FRAME_SIZE - STAMPED_PREFIX - 4;
        tail_of_zero_ = nmb::protocol::crc32_update(0, tail_, tail_size_);
        for (int bit = 0; bit < 32; ++bit)
            bit_image_[bit] = nmb::protocol::crc32_update(1u << bit, tail_, tail_size_) ^ tail_of_zero_;
    }

    void stamp(std::uint8_t* out, std::uint64_t timestamp_us) const
    {
        MocapFrame frame = model_;
        frame.timestamp_us = timestamp_us;
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(&frame);
        std::uint32_t reg = nmb::protocol::crc32_update(nmb::protocol::CRC32_INITIAL, bytes, STAMPED_PREFIX);
        std::uint32_t crc = tail_of_zero_;
        for (int bit = 0; reg != 0; ++bit, reg >>= 1) {
            if (reg & 1u)
                crc ^= bit_image_[bit];
        }
        frame.crc = crc;
        std::memcpy(out, &frame, FRAME_SIZE);
    }

private:
    MocapFrame model_;
    const std::uint8_t* tail_ = nullptr;
    std::size_t tail_size_ = 0;
    std::uint32_t tail_of_zero_ = 0;
    std::array<std::uint32_t, 32> bit_image_{};
};

MocapFrame model_frame()
{
    MocapFrame frame;
    for (int i = 0; i < MocapFrame::POSE_COUNT; ++i) {
        frame.poses[i].position = {0.01f * float(i), 0.9f + 0.005f * float(i), -0.02f * float(i)};
        frame.poses[i].orientation = {1.0f, 0.0f, 0.0f, 0.0f};
    }
    return frame;
}

bool stamper_matches_the_checksum(const FrameStamper& stamper)
{
    std::uint8_t bytes[FRAME_SIZE];
    for (std::uint64_t ts : {0ull, 1ull, 16667ull, 0xFFFFFFFFull, 0x123456789ABCDEFull}) {
        stamper.stamp(bytes, ts);
        std::uint32_t stored = 0;
        std::memcpy(&stored, bytes + FRAME_SIZE - 4, 4);
        if (stored != nmb::protocol::frame_crc32(bytes, FRAME_SIZE - 4))
            return false;
    }
    return true;
}

int usage()
{
    std::fprintf(stderr, "usage: recorder_loss_sender --port P --rate DATAGRAMS_PER_S (0: unpaced) --seconds S "
                         "[--host 127.0.0.1] [--sink 1]\n"
                         "  --sink 1: also bind the destination port with a socket that never reads, so that\n"
                         "            a packet capture run without a recorder does not answer every datagram\n"
                         "            with an ICMP port unreachable\n");
    return 2;
}

} // namespace

int main(int argc, char* argv[])
{
    std::string host = "127.0.0.1";
    long port = 0;
    double rate = 0;
    double seconds = 0;
    bool sink = false;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--host")
            host = argv[i + 1];
        else if (option == "--port")
            port = std::strtol(argv[i + 1], nullptr, 10);
        else if (option == "--rate")
            rate = std::strtod(argv[i + 1], nullptr);
        else if (option == "--seconds")
            seconds = std::strtod(argv[i + 1], nullptr);
        else if (option == "--sink")
            sink = std::string(argv[i + 1]) == "1";
        else
            return usage();
    }
    if (port < 1 || port > 65535 || rate < 0 || seconds <= 0 || argc % 2 == 0)
        return usage();

    sockaddr_in destination{};
    destination.sin_family = AF_INET;
    destination.sin_port = htons(std::uint16_t(port));
    if (inet_pton(AF_INET, host.c_str(), &destination.sin_addr) != 1)
        return usage();
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        std::perror("socket");
        return 1;
    }
    int sink_fd = -1;
    if (sink) {
        sink_fd = socket(AF_INET, SOCK_DGRAM, 0);
        if (sink_fd < 0 || bind(sink_fd, reinterpret_cast<const sockaddr*>(&destination), sizeof destination) != 0) {
            std::perror("sink");
            return 1;
        }
    }
    int send_buffer = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof send_buffer);

    const FrameStamper stamper(model_frame());
    if (!stamper_matches_the_checksum(stamper)) {
        std::fprintf(stderr, "frame checksum self-check failed\n");
        return 1;
    }

    const bool paced = rate > 0;
    const auto total = paced ? std::uint64_t(rate * seconds + 0.5) : UINT64_MAX;
    const double period_ns = paced ? 1e9 / rate : 20'000.0; // unpaced: timestamps 20 us apart
    std::vector<std::uint8_t> buffers(FRAME_SIZE * MAX_BATCH);
    std::array<iovec, MAX_BATCH> vectors{};
    std::array<mmsghdr, MAX_BATCH> messages{};
    for (int k = 0; k < MAX_BATCH; ++k) {
        vectors[k] = {buffers.data() + k * FRAME_SIZE, FRAME_SIZE};
        messages[k].msg_hdr.msg_name = &destination;
        messages[k].msg_hdr.msg_namelen = sizeof destination;
        messages[k].msg_hdr.msg_iov = &vectors[k];
        messages[k].msg_hdr.msg_iovlen = 1;
    }

    std::uint64_t sent = 0;
    std::uint64_t failed = 0;
    std::int64_t worst_lag_ns = 0;
    const std::int64_t start = now_ns();
    const auto end = start + std::int64_t(seconds * 1e9);
    while (sent + failed < total) {
        const std::uint64_t done = sent + failed;
        const std::int64_t now = now_ns();
        std::uint64_t due = done + MAX_BATCH;
        if (paced) {
            // Datagram i is due at start + i * period.
            due = std::uint64_t(double(now - start) / period_ns) + 1;
            if (due > total)
                due = total;
            if (due <= done) {
                sleep_until_ns(start + std::int64_t(double(done) * period_ns));
                continue;
            }
            worst_lag_ns = std::max(worst_lag_ns, now - (start + std::int64_t(double(done) * period_ns)));
        } else if (now >= end) {
            break;
        }
        const int batch = int(std::min<std::uint64_t>(due - done, MAX_BATCH));
        for (int k = 0; k < batch; ++k) {
            const std::uint64_t index = done + std::uint64_t(k);
            stamper.stamp(buffers.data() + k * FRAME_SIZE, std::uint64_t(double(index) * period_ns / 1000.0));
        }
        const int result = sendmmsg(fd, messages.data(), unsigned(batch), 0);
        if (result < 0) {
            if (errno != EINTR)
                ++failed; // counted and skipped, so a persistent error cannot stall the run
            continue;
        }
        sent += std::uint64_t(result);
    }
    const double elapsed = double(now_ns() - start) / 1e9;
    close(fd);
    if (sink_fd >= 0)
        close(sink_fd);

    std::printf("sent %llu datagrams, %llu bytes, failed %llu, in %.3f s (%.0f/s), worst lag %.3f ms\n",
                static_cast<unsigned long long>(sent), static_cast<unsigned long long>(sent * FRAME_SIZE),
                static_cast<unsigned long long>(failed), elapsed, double(sent) / elapsed,
                double(worst_lag_ns) / 1e6);
    return failed == 0 ? 0 : 1;
}
