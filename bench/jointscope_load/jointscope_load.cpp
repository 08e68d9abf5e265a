// jointscope_load: runs the real viewer on a free port, feeds it Mocap
// frames at a series of steady rates, and reports per rate the viewer's CPU
// use (utime + stime from /proc/<pid>/stat) and its socket's receive queue
// and drop counter (from /proc/net/udp).
//
// Usage: jointscope_load [--viewer PATH] [--rates 0,120,1000] [--seconds 10] [--warmup 2]
#include "paced_sender.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QUdpSocket>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <optional>
#include <thread>

namespace {

struct SocketRow {
    quint64 rx_queue = 0; // bytes waiting in the receive buffer
    quint64 drops = 0;    // datagrams the kernel dropped for this socket
};

// The row of the socket bound to 0.0.0.0:port.
std::optional<SocketRow> socket_row(quint16 port)
{
    QFile table(QStringLiteral("/proc/net/udp"));
    if (!table.open(QIODevice::ReadOnly | QIODevice::Text))
        return std::nullopt;
    const QByteArray local = "00000000:" + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const QByteArray& line : table.readAll().split('\n')) {
        const QList<QByteArray> f = line.simplified().split(' ');
        if (f.size() < 13 || f.at(1) != local)
            continue;
        SocketRow row;
        row.rx_queue = f.at(4).split(':').value(1).toULongLong(nullptr, 16);
        row.drops = f.last().toULongLong();
        return row;
    }
    return std::nullopt;
}

// utime + stime of a process, in seconds.
double cpu_seconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    // Fields after the command name, which is in parentheses and may hold spaces.
    const QList<QByteArray> f = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (f.size() < 13)
        return -1;
    return double(f.at(11).toULongLong() + f.at(12).toULongLong()) / double(sysconf(_SC_CLK_TCK));
}

quint64 rss_kib(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly | QIODevice::Text))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.simplified().split(' ').value(1).toULongLong();
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QString viewer_path = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("nimbra_jointscope"));
    QList<double> rates = {0, 120, 1000};
    double seconds = 10;
    double warmup = 2;
    const QStringList args = QCoreApplication::arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--viewer"))
            viewer_path = args[i + 1];
        else if (args[i] == QLatin1String("--rates")) {
            rates.clear();
            for (const QString& r : args[i + 1].split(QLatin1Char(',')))
                rates << r.toDouble();
        } else if (args[i] == QLatin1String("--seconds"))
            seconds = args[i + 1].toDouble();
        else if (args[i] == QLatin1String("--warmup"))
            warmup = args[i + 1].toDouble();
    }

    quint16 port = 0;
    {
        QUdpSocket probe;
        if (probe.bind(QHostAddress::LocalHost, 0))
            port = probe.localPort();
    }
    QProcess viewer;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!env.contains(QStringLiteral("QT_QPA_PLATFORM")) && !env.contains(QStringLiteral("DISPLAY")))
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    viewer.setProcessEnvironment(env);
    viewer.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    viewer.start(viewer_path, {QStringLiteral("--port"), QString::number(port)});
    if (port == 0 || !viewer.waitForStarted(5000)) {
        std::fprintf(stderr, "cannot start %s\n", qPrintable(viewer_path));
        return 1;
    }
    const qint64 pid = viewer.processId();
    for (int i = 0; i < 200 && !socket_row(port); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (!socket_row(port)) {
        std::fprintf(stderr, "viewer did not bind port %u\n", port);
        viewer.kill();
        return 1;
    }

    std::printf("viewer pid %lld, port %u, platform %s, %.0f s per rate after %.0f s warm-up\n", pid,
                port, qPrintable(env.value(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"))),
                seconds, warmup);
    std::printf("%8s %8s %8s %10s %12s %12s %8s %10s %9s\n", "rate/s", "sent", "failed", "cpu %",
                "rxq max B", "rxq mean B", "drops", "lag max ms", "rss KiB");
    int status = 0;
    for (const double rate : rates) {
        std::atomic<bool> stop{false};
        nmb::bench::PacedSendResult sent;
        std::thread sender;
        if (rate > 0)
            sender = std::thread([&] { sent = nmb::bench::send_paced("127.0.0.1", port, rate, warmup + seconds + 1, stop); });
        std::this_thread::sleep_for(std::chrono::duration<double>(warmup));

        const SocketRow before = socket_row(port).value_or(SocketRow{});
        const double cpu_before = cpu_seconds(pid);
        const auto wall_before = std::chrono::steady_clock::now();
        quint64 rxq_max = 0;
        quint64 rxq_sum = 0;
        quint64 samples = 0;
        const auto end = wall_before + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < end) {
            const SocketRow row = socket_row(port).value_or(SocketRow{});
            rxq_max = std::max(rxq_max, row.rx_queue);
            rxq_sum += row.rx_queue;
            ++samples;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        const double cpu_after = cpu_seconds(pid);
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_before).count();
        const SocketRow after = socket_row(port).value_or(SocketRow{});
        stop = true;
        if (sender.joinable())
            sender.join();
        if (viewer.state() != QProcess::Running) {
            std::fprintf(stderr, "viewer ended during the run\n");
            return 1;
        }
        std::printf("%8.0f %8llu %8llu %10.2f %12llu %12llu %8llu %10.2f %9llu\n", rate,
                    static_cast<unsigned long long>(sent.sent), static_cast<unsigned long long>(sent.failed),
                    100.0 * (cpu_after - cpu_before) / wall, static_cast<unsigned long long>(rxq_max),
                    static_cast<unsigned long long>(samples ? rxq_sum / samples : 0),
                    static_cast<unsigned long long>(after.drops - before.drops), sent.max_lag_ms,
                    static_cast<unsigned long long>(rss_kib(pid)));
        std::fflush(stdout);
        if (after.drops != before.drops)
            status = 1;
    }
    viewer.kill();
    viewer.waitForFinished(5000);
    return status;
}
