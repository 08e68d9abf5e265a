// Measures how closely nimbra_reelcast keeps the recording's timing: for each
// frame rate it writes a recording of evenly spaced Mocap frames, replays it
// to a loopback receiver that stamps every datagram in the kernel
// (SO_TIMESTAMPNS), and compares arrival times with the ideal schedule. With
// --tools reelcast,tcpreplay the same frames also go out as a capture file
// through the pcap replayer on lo, measured by the same receiver and
// statistics, and `floor` plays them through a minimal C sender that sleeps
// to absolute deadlines (clock_nanosleep): the floor of this machine.

#include <nmb/protocol/frame.h>
#include <nmb/test/pacing_bench.h>
#include <nmb/test/udp_capture.h>

#include "pcap_file.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <cmath>
#include <vector>

namespace {

struct Result {
    QString tool;
    int hz = 0;
    double rate = 1.0;
    qsizetype frames = 0;
    qsizetype received = 0;
    nmb::test::TimingErrors errors; // arrivals against the ideal schedule
    int exit_code = -1;
};

struct Setup {
    QString reelcast;
    QString tcpreplay;
    QString floor_sender;
    QString interface_name;
    QHostAddress address;
    double seconds = 10;
    double rate = 1;
    QDir dir;
};

// The same frames as the recording at `recording`, as IPv6 UDP datagrams to
// [::1]:port with the recording's own times (ideal offsets times the rate,
// after 1 s) as packet times.
bool write_capture(const QString& path, const QString& recording, const std::vector<double>& ideal_ms,
                   double rate, quint16 port)
{
    QFile file(recording);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray bytes = file.readAll();
    nmb::bench::PcapWriter writer;
    if (!writer.open(path))
        return false;
    qsizetype at = 0;
    for (const double offset_ms : ideal_ms) {
        if (at + nmb::protocol::HEADER_SIZE > bytes.size())
            return false;
        const qsizetype size = nmb::protocol::HEADER_SIZE + nmb::protocol::read_u16(bytes.constData() + at + 4) +
                               nmb::protocol::TRAILER_SIZE;
        const auto time_us = 1'000'000 + std::llround(offset_ms * rate * 1000.0);
        writer.write_packet(time_us, nmb::bench::udp6_loopback_packet(bytes.mid(at, size), 40000, port));
        at += size;
    }
    return writer.close() && at == bytes.size();
}

// Runs `program` to the end (or kills it after `budget_ms`) while the
// receiver collects on this thread's event loop; returns the exit status.
int run_to_end(const QString& program, const QStringList& arguments, int budget_ms)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    // Wait in the event loop rather than poll it: a polling receiver would
    // take CPU time from the player it measures.
    QEventLoop loop;
    QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
    QObject::connect(&process, &QProcess::errorOccurred, &loop, &QEventLoop::quit);
    QTimer::singleShot(budget_ms, &loop, &QEventLoop::quit);
    process.start(program, arguments);
    if (process.state() != QProcess::NotRunning)
        loop.exec();
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(2000);
    }
    QCoreApplication::processEvents();
    const int code = process.exitStatus() == QProcess::NormalExit && process.error() != QProcess::FailedToStart
                         ? process.exitCode()
                         : -1;
    if (code != 0 || qEnvironmentVariableIsSet("NMB_BENCH_VERBOSE"))
        QTextStream(stderr) << QFileInfo(program).fileName() << " ended with " << code << ":\n"
                            << process.readAll();
    return code;
}

Result measure(const Setup& setup, const QString& tool, int hz)
{
    Result result;
    result.tool = tool;
    result.hz = hz;
    result.rate = setup.rate;
    const QString path = setup.dir.filePath(QStringLiteral("take_%1hz.bin").arg(hz));
    const std::vector<double> ideal_ms = nmb::test::write_paced_recording(path, hz, setup.seconds, setup.rate);
    const auto count = int(ideal_ms.size());
    if (count == 0)
        return result;
    result.frames = count;

    nmb::test::UdpCapture receiver;
    if (!receiver.bind(setup.address))
        return result;
    // A slow player may take several times the recording; past that it is stuck.
    const int budget_ms = int(3 * setup.seconds * 1000.0 / setup.rate) + 10'000;
    if (tool == QLatin1String("tcpreplay")) {
        const QString capture = setup.dir.filePath(QStringLiteral("take_%1hz.pcap").arg(hz));
        if (!write_capture(capture, path, ideal_ms, setup.rate, receiver.port()))
            return result;
        result.exit_code = run_to_end(setup.tcpreplay, {QStringLiteral("-i"), setup.interface_name,
                                                        QStringLiteral("--multiplier=%1").arg(setup.rate), capture},
                                      budget_ms);
    } else if (tool == QLatin1String("floor")) {
        result.exit_code = run_to_end(setup.floor_sender, {path, setup.address.toString(), QString::number(receiver.port()),
                                                    QString::number(setup.rate)},
                                      budget_ms);
    } else {
        result.exit_code = run_to_end(setup.reelcast, {path, QStringLiteral("--rate"), QString::number(setup.rate),
                                                       QStringLiteral("--ip"), setup.address.toString(),
                                                       QStringLiteral("--port"), QString::number(receiver.port())},
                                      budget_ms);
    }
    result.received = receiver.count();
    if (receiver.count() != count)
        return result;

    // Ideal schedule anchored at the first arrival.
    const auto& datagrams = receiver.datagrams();
    const qint64 first = datagrams.front().arrival_ns;
    std::vector<double> actual_ms;
    for (int i = 0; i < count; ++i)
        actual_ms.push_back(double(datagrams[i].arrival_ns - first) / 1e6);
    result.errors = nmb::test::timing_errors(actual_ms, ideal_ms);
    return result;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Replay timing error of nimbra_reelcast over loopback UDP, "
                                                    "optionally beside a pcap replayer sending the same frames."));
    parser.addHelpOption();
    nmb::test::add_pacing_options(parser, QStringLiteral("10"));
    parser.addOption({QStringLiteral("ip"), QStringLiteral("Loopback address to send to (127.0.0.1 or ::1)."),
                      QStringLiteral("address"), QStringLiteral("127.0.0.1")});
    parser.addOption({QStringLiteral("tools"),
                      QStringLiteral("Players, comma separated: reelcast, floor (a minimal sender sleeping to "
                                     "absolute deadlines), tcpreplay (needs --ip ::1 and root)."),
                      QStringLiteral("list"), QStringLiteral("reelcast")});
    parser.addOption({QStringLiteral("interface"), QStringLiteral("Interface the pcap replayer sends on."),
                      QStringLiteral("name"), QStringLiteral("lo")});
    parser.addOption({QStringLiteral("keep"),
                      QStringLiteral("Write the recordings and capture files into this directory and keep them."),
                      QStringLiteral("dir")});
    parser.process(app);

    QTemporaryDir temporary;
    nmb::test::PacingOptions options;
    if (!temporary.isValid() || !nmb::test::read_pacing_options(parser, options))
        return 2;
    Setup setup;
    setup.reelcast = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("nimbra_reelcast"));
    setup.floor_sender = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("bench_floor_sender"));
    setup.tcpreplay = QStandardPaths::findExecutable(QStringLiteral("tcpreplay"));
    setup.interface_name = parser.value(QStringLiteral("interface"));
    setup.address = QHostAddress(parser.value(QStringLiteral("ip")));
    setup.seconds = options.seconds;
    setup.rate = options.rate;
    setup.dir = QDir(parser.isSet(QStringLiteral("keep")) ? parser.value(QStringLiteral("keep")) : temporary.path());
    const QStringList tools = parser.value(QStringLiteral("tools")).split(',', Qt::SkipEmptyParts);
    if (!setup.dir.exists() || !setup.address.isLoopback())
        return 2;
    for (const QString& tool : tools) {
        if (tool != QLatin1String("reelcast") && tool != QLatin1String("tcpreplay") && tool != QLatin1String("floor"))
            return 2;
        if (tool == QLatin1String("tcpreplay") && setup.tcpreplay.isEmpty()) {
            QTextStream(stderr) << "tcpreplay not found (scripts/setup.sh --bench installs it)\n";
            return 2;
        }
        // The kernel drops IPv4 packets to 127.0.0.1 injected on lo as martians.
        if (tool == QLatin1String("tcpreplay") && setup.address != QHostAddress(QHostAddress::LocalHostIPv6)) {
            QTextStream(stderr) << "tcpreplay needs --ip ::1\n";
            return 2;
        }
    }

    QTextStream out(stdout);
    out << "tool        hz  rate  frames  received  median_ms  p99_ms  max_ms  drift_ppm  end_error_ms  exit\n";
    bool complete = true;
    for (const int hz : options.hz) {
        // Runs alternate between the tools so that a busy spell of the
        // machine does not fall on one tool only.
        for (int run = 0; run < options.repeat; ++run) {
            for (const QString& tool : tools) {
                const Result r = measure(setup, tool, hz);
                complete = complete && r.received == r.frames && r.exit_code == 0;
                out << QString::asprintf("%-9s %4d %5.2f %7lld %9lld %10.3f %7.3f %7.3f %10.1f %13.3f %5d\n",
                                         qPrintable(r.tool), r.hz, r.rate, qlonglong(r.frames),
                                         qlonglong(r.received), r.errors.median_ms, r.errors.p99_ms,
                                         r.errors.max_ms, r.errors.drift_ppm, r.errors.end_error_ms, r.exit_code);
                out.flush();
            }
        }
    }
    return complete ? 0 : 1;
}
