// Measures how closely nimbra_reelcast keeps the recording's timing: for each
// frame rate it writes a recording of evenly spaced Mocap frames, replays it
// to a loopback receiver that stamps every datagram in the kernel
// (SO_TIMESTAMPNS), and compares arrival times with the ideal schedule. With
// --tools reelcast,tcpreplay the same frames also go out as a capture file
// through the pcap replayer on lo, measured by the same receiver and
// statistics.

#include <nmb/test/frames.h>
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

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

struct Result {
    QString tool;
    int hz = 0;
    double rate = 1.0;
    qsizetype frames = 0;
    qsizetype received = 0;
    double median_ms = 0.0;
    double p99_ms = 0.0;
    double max_ms = 0.0;
    double drift_ppm = 0.0;     // change of the median error over the run
    double end_error_ms = 0.0;  // last frame's arrival minus its ideal time
    int exit_code = -1;
};

// What one run plays: the same frames and timestamps for every tool.
struct Take {
    QList<QByteArray> frames;
    std::vector<qint64> time_us;  // recording timestamps
    std::vector<double> ideal_ms; // offsets from the first frame, divided by the rate
};

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const auto index = std::min(values.size() - 1, std::size_t(std::ceil(p * double(values.size()))) - 1);
    return values[index];
}

Take make_take(int hz, double seconds, double rate)
{
    Take take;
    const int count = int(std::lround(seconds * hz)) + 1;
    for (int i = 0; i < count; ++i) {
        const auto t_us = qint64(std::llround(double(i) * 1e6 / hz));
        take.frames.append(nmb::test::mocap_frame_bytes(quint64(1'000'000 + t_us), float(i)));
        take.time_us.push_back(1'000'000 + t_us);
        take.ideal_ms.push_back(double(t_us) / 1000.0 / rate);
    }
    return take;
}

bool write_recording(const QString& path, const Take& take)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    for (const QByteArray& frame : take.frames)
        if (file.write(frame) != frame.size())
            return false;
    return file.flush();
}

// The same frames as IPv6 UDP datagrams to [::1]:port, the frame timestamps
// as packet times.
bool write_capture(const QString& path, const Take& take, quint16 port)
{
    nmb::bench::PcapWriter writer;
    if (!writer.open(path))
        return false;
    for (qsizetype i = 0; i < take.frames.size(); ++i)
        writer.write_packet(take.time_us[std::size_t(i)], nmb::bench::udp6_loopback_packet(take.frames[i], 40000, port));
    return writer.close();
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

// Errors of the kernel arrival times against the ideal schedule, anchored
// at the first arrival.
void evaluate(const nmb::test::UdpCapture& receiver, const Take& take, Result& result)
{
    const qsizetype count = take.frames.size();
    result.received = receiver.count();
    if (receiver.count() != count)
        return;
    const auto& datagrams = receiver.datagrams();
    const qint64 first = datagrams.front().arrival_ns;
    std::vector<double> signed_errors;
    std::vector<double> errors;
    for (qsizetype i = 0; i < count; ++i) {
        const double actual = double(datagrams[i].arrival_ns - first) / 1e6;
        signed_errors.push_back(actual - take.ideal_ms[std::size_t(i)]);
        errors.push_back(std::abs(signed_errors.back()));
    }
    // Drift: how far the typical error moves from the first tenth of the run
    // to the last, per unit of ideal time. Medians keep single late frames
    // (scheduling hiccups) out of it.
    const auto tenth = std::size_t(std::max<qsizetype>(1, count / 10));
    const std::vector<double> head(signed_errors.begin(), signed_errors.begin() + std::ptrdiff_t(tenth));
    const std::vector<double> tail(signed_errors.end() - std::ptrdiff_t(tenth), signed_errors.end());
    const double span = take.ideal_ms[std::size_t(count) - 1 - tenth / 2] - take.ideal_ms[tenth / 2];
    result.drift_ppm = (percentile(tail, 0.5) - percentile(head, 0.5)) / span * 1e6;
    result.median_ms = percentile(errors, 0.5);
    result.p99_ms = percentile(errors, 0.99);
    result.max_ms = *std::max_element(errors.begin(), errors.end());
    result.end_error_ms = signed_errors.back();
}

struct Setup {
    QString reelcast;
    QString tcpreplay;
    QString interface_name;
    QHostAddress address;
    double seconds = 10;
    double rate = 1;
    QDir dir;
};

Result measure(const Setup& setup, const QString& tool, int hz, const Take& take)
{
    Result result;
    result.tool = tool;
    result.hz = hz;
    result.rate = setup.rate;
    result.frames = take.frames.size();

    nmb::test::UdpCapture receiver;
    if (!receiver.bind(setup.address))
        return result;
    // A slow player may take several times the recording; past that it is stuck.
    const int budget_ms = int(3 * setup.seconds * 1000.0 / setup.rate) + 10'000;
    if (tool == QLatin1String("tcpreplay")) {
        const QString path = setup.dir.filePath(QStringLiteral("take_%1hz.pcap").arg(hz));
        if (!write_capture(path, take, receiver.port()))
            return result;
        result.exit_code = run_to_end(setup.tcpreplay, {QStringLiteral("-i"), setup.interface_name,
                                                        QStringLiteral("--multiplier=%1").arg(setup.rate), path},
                                      budget_ms);
    } else {
        const QString path = setup.dir.filePath(QStringLiteral("take_%1hz.bin").arg(hz));
        if (!write_recording(path, take))
            return result;
        result.exit_code = run_to_end(setup.reelcast, {path, QStringLiteral("--rate"), QString::number(setup.rate),
                                                       QStringLiteral("--ip"), setup.address.toString(),
                                                       QStringLiteral("--port"), QString::number(receiver.port())},
                                      budget_ms);
    }
    evaluate(receiver, take, result);
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
    parser.addOption({QStringLiteral("hz"), QStringLiteral("Frame rates to test, comma separated."),
                      QStringLiteral("list"), QStringLiteral("120,1000")});
    parser.addOption({QStringLiteral("seconds"), QStringLiteral("Recording length per rate."),
                      QStringLiteral("s"), QStringLiteral("10")});
    parser.addOption({QStringLiteral("rate"), QStringLiteral("Playback speed multiplier."),
                      QStringLiteral("multiplier"), QStringLiteral("1")});
    parser.addOption({QStringLiteral("repeat"), QStringLiteral("Runs per frame rate."),
                      QStringLiteral("n"), QStringLiteral("1")});
    parser.addOption({QStringLiteral("ip"), QStringLiteral("Loopback address to send to (127.0.0.1 or ::1)."),
                      QStringLiteral("address"), QStringLiteral("127.0.0.1")});
    parser.addOption({QStringLiteral("tools"),
                      QStringLiteral("Players, comma separated: reelcast, tcpreplay (needs --ip ::1 and root)."),
                      QStringLiteral("list"), QStringLiteral("reelcast")});
    parser.addOption({QStringLiteral("interface"), QStringLiteral("Interface the pcap replayer sends on."),
                      QStringLiteral("name"), QStringLiteral("lo")});
    parser.addOption({QStringLiteral("keep"),
                      QStringLiteral("Write the recordings and capture files into this directory and keep them."),
                      QStringLiteral("dir")});
    parser.process(app);

    QTemporaryDir temporary;
    Setup setup;
    setup.reelcast = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("nimbra_reelcast"));
    setup.tcpreplay = QStandardPaths::findExecutable(QStringLiteral("tcpreplay"));
    setup.interface_name = parser.value(QStringLiteral("interface"));
    setup.address = QHostAddress(parser.value(QStringLiteral("ip")));
    setup.seconds = parser.value(QStringLiteral("seconds")).toDouble();
    setup.rate = parser.value(QStringLiteral("rate")).toDouble();
    setup.dir = QDir(parser.isSet(QStringLiteral("keep")) ? parser.value(QStringLiteral("keep")) : temporary.path());
    const int repeat = std::max(1, parser.value(QStringLiteral("repeat")).toInt());
    const QStringList tools = parser.value(QStringLiteral("tools")).split(',', Qt::SkipEmptyParts);
    if (!temporary.isValid() || !setup.dir.exists() || !(setup.seconds > 0) || !(setup.rate > 0) || !setup.address.isLoopback())
        return 2;
    for (const QString& tool : tools) {
        if (tool != QLatin1String("reelcast") && tool != QLatin1String("tcpreplay"))
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
    for (const QString& item : parser.value(QStringLiteral("hz")).split(',', Qt::SkipEmptyParts)) {
        const int hz = item.toInt();
        if (hz <= 0)
            return 2;
        const Take take = make_take(hz, setup.seconds, setup.rate);
        // Runs alternate between the tools so that a busy spell of the
        // machine does not fall on one tool only.
        for (int run = 0; run < repeat; ++run) {
            for (const QString& tool : tools) {
                const Result r = measure(setup, tool, hz, take);
                complete = complete && r.received == r.frames && r.exit_code == 0;
                out << QString::asprintf("%-9s %4d %5.2f %7lld %9lld %10.3f %7.3f %7.3f %10.1f %13.3f %5d\n",
                                         qPrintable(r.tool), r.hz, r.rate, qlonglong(r.frames),
                                         qlonglong(r.received), r.median_ms, r.p99_ms, r.max_ms, r.drift_ppm,
                                         r.end_error_ms, r.exit_code);
                out.flush();
            }
        }
    }
    return complete ? 0 : 1;
}
