#include "synth_runner.h"

#include <nmb/udp_adapter.h>

#include <QFile>

#include <cmath>
#include <ctime>

namespace nmb::synth {
namespace {

// Longest single sleep, so a stop request that slips in between the check
// and the sleep is still noticed soon.
constexpr std::int64_t MAX_SLEEP_NS = 100'000'000;
constexpr qsizetype WRITE_CHUNK_BYTES = 256 * 1024;

std::int64_t monotonic_ns()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

void sleep_until_ns(std::int64_t when)
{
    timespec ts{};
    ts.tv_sec = time_t(when / 1'000'000'000);
    ts.tv_nsec = long(when % 1'000'000'000);
    // An interrupting signal ends the sleep early; the caller re-checks.
    ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
}

bool stop_requested(const volatile std::sig_atomic_t* stop)
{
    return stop && *stop != 0;
}

} // namespace

std::int64_t due_time_ns(std::int64_t index, double rate_hz)
{
    return std::llround(double(index) * 1e9 / rate_hz);
}

QString endpoint_text(const QHostAddress& address, quint16 port)
{
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
        ? QStringLiteral("[%1]").arg(address.toString())
        : address.toString();
    return QStringLiteral("%1:%2").arg(host).arg(port);
}

RunResult write_recording(const SynthOptions& options, const FrameGenerator& generator,
                          const volatile std::sig_atomic_t* stop)
{
    RunResult result;
    QFile file(options.output);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        result.error = QStringLiteral("Cannot open %1 for writing: %2")
                           .arg(options.output, file.errorString());
        return result;
    }
    QByteArray chunk;
    chunk.reserve(WRITE_CHUNK_BYTES + 4096);
    auto flush_chunk = [&] {
        if (chunk.isEmpty() || !result.ok())
            return;
        if (file.write(chunk) != chunk.size())
            result.error = QStringLiteral("Cannot write %1: %2").arg(options.output,
                                                                     file.errorString());
        else
            result.bytes += chunk.size();
        chunk.clear();
    };
    for (std::int64_t k = 0; k < options.frame_count && result.ok(); ++k) {
        if (stop_requested(stop))
            break;
        generator.append_frame(k, chunk);
        if (k == options.frame_count - 1 && options.truncate_tail > 0)
            chunk.chop(options.truncate_tail);
        ++result.frames;
        if (chunk.size() >= WRITE_CHUNK_BYTES)
            flush_chunk();
    }
    flush_chunk();
    // A full disk often shows only when the buffered bytes reach the file.
    if (result.ok() && !file.flush())
        result.error = QStringLiteral("Cannot write %1: %2").arg(options.output, file.errorString());
    file.close();
    return result;
}

RunResult send_frames(const SynthOptions& options, const FrameGenerator& generator,
                      const volatile std::sig_atomic_t* stop)
{
    RunResult result;
    UdpAdapter udp;
    QString last_error;
    QObject::connect(&udp, &UdpAdapter::error_occurred, &udp,
                     [&last_error](const QString& message) { last_error = message; });
    udp.initialize();

    QByteArray datagram;
    datagram.reserve(4096);
    const std::int64_t start = monotonic_ns();
    for (std::int64_t k = 0; options.frame_count < 0 || k < options.frame_count; ++k) {
        const std::int64_t due = start + due_time_ns(k, options.rate_hz);
        for (;;) {
            if (stop_requested(stop))
                return result;
            const std::int64_t now = monotonic_ns();
            if (now >= due)
                break;
            sleep_until_ns(std::min(due, now + MAX_SLEEP_NS));
        }
        datagram.clear();
        generator.append_frame(k, datagram);
        const qint64 sent = udp.write(datagram, options.address, options.port);
        if (sent == datagram.size()) {
            ++result.frames;
            result.bytes += sent;
        } else {
            ++result.failed;
            if (result.error.isEmpty())
                result.error = last_error.isEmpty() ? QStringLiteral("datagram not sent")
                                                    : last_error;
        }
    }
    return result;
}

} // namespace nmb::synth
