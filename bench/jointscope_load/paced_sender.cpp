#include "paced_sender.h"

#include <frame_generator.h>

#include <QByteArray>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

namespace nmb::bench {
namespace {

std::int64_t now_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

void sleep_until_ns(std::int64_t due)
{
    timespec ts{};
    ts.tv_sec = due / 1'000'000'000;
    ts.tv_nsec = due % 1'000'000'000;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) != 0) {
    }
}

} // namespace

PacedSendResult send_paced(const std::string& ip, std::uint16_t port, double rate, double seconds,
                           const std::atomic<bool>& stop)
{
    PacedSendResult result;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    if (rate <= 0 || inet_pton(AF_INET, ip.c_str(), &to.sin_addr) != 1)
        return result;
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return result;
    result.ok = true;

    const synth::FrameGenerator frames(rate, {});
    QByteArray datagram;
    const auto total = static_cast<std::uint64_t>(rate * seconds);
    const std::int64_t start = now_ns();
    for (std::uint64_t n = 0; n < total && !stop.load(std::memory_order_relaxed); ++n) {
        const auto due = start + static_cast<std::int64_t>(double(n) * 1e9 / rate);
        sleep_until_ns(due);
        result.max_lag_ms = std::max(result.max_lag_ms, double(now_ns() - due) / 1e6);
        datagram.clear();
        frames.append_frame(static_cast<std::int64_t>(n), datagram);
        if (::sendto(fd, datagram.constData(), size_t(datagram.size()), 0,
                     reinterpret_cast<const sockaddr*>(&to), sizeof to)
            == static_cast<ssize_t>(datagram.size()))
            ++result.sent;
        else
            ++result.failed;
    }
    ::close(fd);
    return result;
}

} // namespace nmb::bench
