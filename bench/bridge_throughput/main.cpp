// Measures nimbra_skelora_bridge end to end: Mocap frames go in over UDP,
// pose_frame messages come out at nimbra_skelora_stub over loopback. Each
// frame carries its sequence number in the first joint's x position, which
// the stub prints, so every printed line is matched to its send time.
//
//   latency:    frames at a steady rate; datagram sent -> line at the service
//   throughput: a window of frames in flight, topped up as lines arrive

#include <nmb/protocol/crc32.h>
#include <nmb/protocol/mocap_frame.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTimer>
#include <QUdpSocket>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <vector>

#include <sched.h>
#include <sys/resource.h>
#include <signal.h>
#include <unistd.h>

namespace {

QElapsedTimer clock_;

qint64 now_ns()
{
    return clock_.nsecsElapsed();
}

// A frame of a moving skeleton: every number changes from one frame to the
// next, as in a live stream, so the cost of formatting them is the real one.
QByteArray frame_for(quint32 sequence)
{
    nmb::protocol::MocapFrame frame;
    frame.timestamp_us = sequence;
    const float t = float(sequence) / 120.0f;
    for (int i = 0; i < nmb::protocol::MocapFrame::POSE_COUNT; ++i) {
        const float phase = t + 0.1f * float(i);
        const float half_angle = 0.4f * std::sin(phase);
        frame.poses[i] = {{0.3f * std::sin(phase), 0.9f + 0.02f * float(i) + 0.05f * std::cos(1.3f * phase),
                           0.2f * std::sin(0.7f * phase)},
                          {std::cos(half_angle), 0.6f * std::sin(half_angle), 0.8f * std::sin(half_angle), 0.0f}};
    }
    frame.poses[0].position.x = float(sequence);
    frame.crc = nmb::protocol::frame_crc32(&frame, sizeof frame - 4);
    return QByteArray(reinterpret_cast<const char*>(&frame), sizeof frame);
}

// Serves the event loop until `done` or the timeout. Blocks between events
// (a spinning wait would take a core from the programs it measures); the
// tick bounds each block.
bool wait_until(const std::function<bool()>& done, int timeout_ms)
{
    QElapsedTimer waited;
    waited.start();
    QTimer tick;
    tick.start(10);
    while (!done()) {
        if (waited.elapsed() > timeout_ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// User plus system CPU time of a process, in seconds.
double cpu_seconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return 0;
    return double(fields[11].toLongLong() + fields[12].toLongLong()) / double(::sysconf(_SC_CLK_TCK));
}

// Renices this program and, by inheritance, the programs it starts. With
// autogroup scheduling a nice value only counts inside its session's group,
// so the bench first takes a session of its own (no longer the terminal's:
// Ctrl-C does not reach it) and renices that group too; the group goes away
// with the session.
bool renice(int value)
{
    if (::setsid() >= 0) {
        QFile group(QStringLiteral("/proc/self/autogroup"));
        if (group.open(QIODevice::WriteOnly))
            group.write(QByteArray::number(value));
    }
    return ::setpriority(PRIO_PROCESS, 0, value) == 0;
}

double percentile(std::vector<double> values, double fraction)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, std::size_t(fraction * double(values.size())))];
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Bridge throughput and latency over loopback."));
    parser.addHelpOption();
    const QCommandLineOption frames_option(QStringLiteral("frames"), QStringLiteral("Latency frames."), QStringLiteral("n"), QStringLiteral("3000"));
    const QCommandLineOption rate_option(QStringLiteral("rate"), QStringLiteral("Latency send rate (Hz)."), QStringLiteral("hz"), QStringLiteral("120"));
    const QCommandLineOption seconds_option(QStringLiteral("seconds"), QStringLiteral("Throughput run length."), QStringLiteral("s"), QStringLiteral("5"));
    const QCommandLineOption window_option(QStringLiteral("window"), QStringLiteral("Frames in flight."), QStringLiteral("n"), QStringLiteral("32"));
    const QCommandLineOption core_option(QStringLiteral("core"), QStringLiteral("CPU the bridge is pinned to (-1: none)."), QStringLiteral("cpu"), QStringLiteral("0"));
    const QCommandLineOption burst_option(QStringLiteral("burst"), QStringLiteral("Frames per burst (0: no burst phase)."), QStringLiteral("n"), QStringLiteral("500"));
    const QCommandLineOption bursts_option(QStringLiteral("bursts"), QStringLiteral("Number of bursts."), QStringLiteral("n"), QStringLiteral("10"));
    const QCommandLineOption nice_option(QStringLiteral("nice"), QStringLiteral("Niceness for this program, the bridge and the stub (below 0 needs privileges; default: unchanged)."), QStringLiteral("n"));
    const QCommandLineOption bridge_option(QStringLiteral("bridge"), QStringLiteral("Bridge program to measure (default: the one next to this program)."), QStringLiteral("path"));
    parser.addOptions({frames_option, rate_option, seconds_option, window_option, core_option, burst_option, bursts_option, nice_option, bridge_option});
    parser.process(app);
    const int latency_frames = parser.value(frames_option).toInt();
    const int rate = std::max(1, parser.value(rate_option).toInt());
    const double seconds = parser.value(seconds_option).toDouble();
    const int window = std::max(1, parser.value(window_option).toInt());
    const int core = parser.value(core_option).toInt();
    const int burst = std::max(0, parser.value(burst_option).toInt());
    const int bursts = std::max(1, parser.value(bursts_option).toInt());
    const QString bin = QCoreApplication::applicationDirPath();
    // Set before the two programs start, so they inherit it: on a busy
    // machine this measures the pipeline rather than the other work.
    if (parser.isSet(nice_option) && !renice(parser.value(nice_option).toInt())) {
        std::perror("setpriority");
        return 1;
    }
    clock_.start();

    // The service, and the lines it prints.
    QProcess stub;
    std::vector<qint64> sent_ns;
    std::function<void(quint32, qint64)> on_arrival = [](quint32, qint64) {};
    QByteArray stub_error;
    QObject::connect(&stub, &QProcess::readyReadStandardError, &app, [&] { stub_error += stub.readAllStandardError(); });
    QObject::connect(&stub, &QProcess::readyReadStandardOutput, &app, [&] {
        while (stub.canReadLine()) {
            const QByteArray line = stub.readLine();
            const qsizetype at = line.indexOf("position=[");
            if (at >= 0)
                on_arrival(quint32(line.mid(at + 10, line.indexOf(',', at) - at - 10).toDouble()), now_ns());
        }
    });
    stub.start(bin + QStringLiteral("/nimbra_skelora_stub"), {QStringLiteral("--port"), QStringLiteral("0")});
    if (!wait_until([&] { return stub_error.contains("listening on "); }, 10000)) {
        std::fprintf(stderr, "the stub did not start: %s\n", stub_error.constData());
        return 1;
    }
    const qsizetype url_at = stub_error.indexOf("listening on ") + 13;
    const QString url = QString::fromUtf8(stub_error.mid(url_at, stub_error.indexOf('\n', url_at) - url_at));

    // The bridge, on one core, its per-frame log discarded.
    quint16 port = 0;
    {
        QUdpSocket probe;
        probe.bind(QHostAddress::AnyIPv4, 0);
        port = probe.localPort();
    }
    QProcess bridge;
    bridge.setStandardErrorFile(QProcess::nullDevice());
    bridge.setChildProcessModifier([core] {
        if (core < 0)
            return;
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(core, &set);
        ::sched_setaffinity(0, sizeof set, &set);
    });
    bridge.start(parser.isSet(bridge_option) ? parser.value(bridge_option) : bin + QStringLiteral("/nimbra_skelora_bridge"),
                 {QStringLiteral("--port"), QString::number(port), QStringLiteral("--url"), url});
    if (!bridge.waitForStarted(10000))
        return 1;

    QUdpSocket source;
    quint32 next_sequence = 1;
    const auto send = [&] {
        const quint32 sequence = next_sequence++;
        const QByteArray frame = frame_for(sequence);
        if (sent_ns.size() <= sequence)
            sent_ns.resize(sequence + 1, 0);
        sent_ns[sequence] = now_ns();
        source.writeDatagram(frame, QHostAddress::LocalHost, port);
    };

    // Warm-up: until the handshake is done and a frame comes through.
    bool through = false;
    on_arrival = [&](quint32, qint64) { through = true; };
    for (int i = 0; i < 500 && !through; ++i) {
        send();
        wait_until([&] { return through; }, 20);
    }
    if (!through) {
        std::fprintf(stderr, "no frame reached the service\n");
        return 1;
    }
    wait_until([] { return false; }, 200);

    // Latency at a steady rate.
    std::vector<double> latencies_ms;
    const quint32 first_latency = next_sequence;
    on_arrival = [&](quint32 sequence, qint64 at) {
        if (sequence >= first_latency && sequence < sent_ns.size() && sent_ns[sequence] > 0)
            latencies_ms.push_back(double(at - sent_ns[sequence]) / 1e6);
    };
    QTimer pacer;
    pacer.setTimerType(Qt::PreciseTimer);
    const qint64 start_ns = now_ns();
    int paced = 0;
    QObject::connect(&pacer, &QTimer::timeout, &app, [&] {
        const qint64 due = (now_ns() - start_ns) * rate / 1000000000;
        while (paced < latency_frames && paced <= due) {
            send();
            ++paced;
        }
    });
    pacer.start(1);
    wait_until([&] { return paced >= latency_frames; }, latency_frames * 1000 / rate + 10000);
    pacer.stop();
    wait_until([&] { return int(latencies_ms.size()) >= latency_frames; }, 2000);
    std::printf("latency: %d frames at %d/s: median %.3f ms, p99 %.3f ms, max %.3f ms, lost %d\n", latency_frames, rate,
                percentile(latencies_ms, 0.5), percentile(latencies_ms, 0.99), percentile(latencies_ms, 1.0),
                latency_frames - int(latencies_ms.size()));

    // Throughput with a window of frames in flight.
    qint64 received = 0;
    qint64 sent = 0;
    qint64 lost = 0;
    qint64 last_arrival_ns = now_ns();
    const qint64 run_start_ns = now_ns();
    const qint64 run_end_ns = run_start_ns + qint64(seconds * 1e9);
    const quint32 first_run = next_sequence;
    const auto top_up = [&] {
        while (sent - received - lost < window && now_ns() < run_end_ns) {
            send();
            ++sent;
        }
    };
    on_arrival = [&](quint32 sequence, qint64 at) {
        if (sequence < first_run)
            return;
        ++received;
        last_arrival_ns = at;
        top_up();
    };
    QTimer stall_check; // a dropped datagram would shrink the window for good
    QObject::connect(&stall_check, &QTimer::timeout, &app, [&] {
        if (now_ns() - last_arrival_ns > 300000000 && now_ns() < run_end_ns) {
            lost += sent - received - lost;
            top_up();
        }
    });
    stall_check.start(100);
    const double cpu_before = cpu_seconds(bridge.processId());
    const double stub_cpu_before = cpu_seconds(stub.processId());
    const double own_cpu_before = cpu_seconds(QCoreApplication::applicationPid());
    top_up();
    wait_until([&] { return now_ns() >= run_end_ns && sent - received - lost <= 0; }, int(seconds * 1000) + 3000);
    const double cpu_used = cpu_seconds(bridge.processId()) - cpu_before;
    const double stub_cpu_used = cpu_seconds(stub.processId()) - stub_cpu_before;
    const double own_cpu_used = cpu_seconds(QCoreApplication::applicationPid()) - own_cpu_before;
    const double elapsed_s = double(last_arrival_ns - run_start_ns) / 1e9;
    std::printf("throughput: %lld frames in %.2f s = %.0f frames/s (window %d), lost %lld\n", received, elapsed_s,
                double(received) / elapsed_s, window, sent - received);
    std::printf("CPU share of one core: bridge %.0f%%, stub %.0f%%, this program %.0f%%\n", 100.0 * cpu_used / elapsed_s,
                100.0 * stub_cpu_used / elapsed_s, 100.0 * own_cpu_used / elapsed_s);
    // What one saturated core could forward, from the bridge's own CPU time
    // per frame; holds even when the service or this program is the limit.
    if (received > 0 && cpu_used > 0)
        std::printf("bridge CPU per frame: %.0f us, i.e. %.0f frames/s on one saturated core\n",
                    1e6 * cpu_used / double(received), double(received) / cpu_used);

    // Bursts: frames sent back to back, so the bridge drains many datagrams
    // per wake-up as a saturated bridge does; its CPU time per frame then
    // holds no idle wake-ups.
    if (burst > 0) {
        qint64 burst_received = 0;
        const quint32 first_burst = next_sequence;
        on_arrival = [&](quint32 sequence, qint64) {
            if (sequence >= first_burst)
                ++burst_received;
        };
        const double burst_cpu_before = cpu_seconds(bridge.processId());
        const qint64 burst_start_ns = now_ns();
        qint64 burst_sent = 0;
        for (int round = 0; round < bursts; ++round) {
            for (int i = 0; i < burst; ++i)
                send();
            burst_sent += burst;
            wait_until([&] { return burst_received >= burst_sent; }, 10000);
        }
        const double burst_cpu = cpu_seconds(bridge.processId()) - burst_cpu_before;
        const double burst_s = double(now_ns() - burst_start_ns) / 1e9;
        std::printf("bursts: %d x %d frames, %lld arrived in %.2f s (%.0f frames/s), lost %lld\n", bursts, burst,
                    burst_received, burst_s, double(burst_received) / burst_s, burst_sent - burst_received);
        if (burst_received > 0 && burst_cpu > 0)
            std::printf("bridge CPU per frame in bursts: %.0f us, i.e. %.0f frames/s on one saturated core\n",
                        1e6 * burst_cpu / double(burst_received), double(burst_received) / burst_cpu);
    }

    ::kill(pid_t(bridge.processId()), SIGINT);
    ::kill(pid_t(stub.processId()), SIGINT);
    bridge.waitForFinished(5000);
    stub.waitForFinished(5000);
    return 0;
}
