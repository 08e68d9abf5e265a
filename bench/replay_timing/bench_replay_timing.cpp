// Measures how closely nimbra_reelcast keeps the recording's timing: for each
// frame rate it writes a recording of evenly spaced Mocap frames, replays it
// to a loopback receiver that stamps every datagram in the kernel
// (SO_TIMESTAMPNS), and compares arrival times with the ideal schedule.

#include <nmb/test/frames.h>
#include <nmb/test/udp_capture.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

struct Result {
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

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const auto index = std::min(values.size() - 1, std::size_t(std::ceil(p * double(values.size()))) - 1);
    return values[index];
}

Result measure(const QString& program, const QTemporaryDir& dir, int hz, double seconds, double rate)
{
    Result result;
    result.hz = hz;
    result.rate = rate;
    const int count = int(std::lround(seconds * hz)) + 1;
    std::vector<double> ideal_ms; // recording time divided by the rate
    const QString path = dir.filePath(QStringLiteral("take_%1hz.bin").arg(hz));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return result;
        for (int i = 0; i < count; ++i) {
            const auto t_us = quint64(std::llround(double(i) * 1e6 / hz));
            file.write(nmb::test::mocap_frame_bytes(1'000'000 + t_us, float(i)));
            ideal_ms.push_back(double(t_us) / 1000.0 / rate);
        }
    }
    result.frames = count;

    nmb::test::UdpCapture receiver;
    if (!receiver.bind())
        return result;
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, {path, "--rate", QString::number(rate), "--ip", "127.0.0.1", "--port",
                            QString::number(receiver.port())});
    const int budget_ms = int(seconds * 1000.0 / rate) + 10'000;
    QElapsedTimer waited;
    waited.start();
    while (process.state() != QProcess::NotRunning && waited.elapsed() < budget_ms)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(2000);
    }
    QCoreApplication::processEvents();
    result.exit_code = process.exitCode();
    result.received = receiver.count();
    if (receiver.count() != count)
        return result;

    // Ideal schedule anchored at the first arrival.
    const auto& datagrams = receiver.datagrams();
    const qint64 first = datagrams.front().arrival_ns;
    std::vector<double> signed_errors;
    std::vector<double> errors;
    for (int i = 0; i < count; ++i) {
        const double actual = double(datagrams[i].arrival_ns - first) / 1e6;
        signed_errors.push_back(actual - ideal_ms[i]);
        errors.push_back(std::abs(actual - ideal_ms[i]));
    }
    // Drift: how far the typical error moves from the first tenth of the run
    // to the last, per unit of ideal time. Medians keep single late frames
    // (scheduling hiccups) out of it.
    const int tenth = std::max(1, count / 10);
    const std::vector<double> head(signed_errors.begin(), signed_errors.begin() + tenth);
    const std::vector<double> tail(signed_errors.end() - tenth, signed_errors.end());
    const double span = ideal_ms[count - 1 - tenth / 2] - ideal_ms[tenth / 2];
    result.drift_ppm = (percentile(tail, 0.5) - percentile(head, 0.5)) / span * 1e6;
    result.median_ms = percentile(errors, 0.5);
    result.p99_ms = percentile(errors, 0.99);
    result.max_ms = *std::max_element(errors.begin(), errors.end());
    result.end_error_ms = signed_errors.back();
    return result;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Replay timing error of nimbra_reelcast over loopback UDP."));
    parser.addHelpOption();
    parser.addOption({QStringLiteral("hz"), QStringLiteral("Frame rates to test, comma separated."),
                      QStringLiteral("list"), QStringLiteral("120,1000")});
    parser.addOption({QStringLiteral("seconds"), QStringLiteral("Recording length per rate."),
                      QStringLiteral("s"), QStringLiteral("10")});
    parser.addOption({QStringLiteral("rate"), QStringLiteral("Playback speed multiplier."),
                      QStringLiteral("multiplier"), QStringLiteral("1")});
    parser.addOption({QStringLiteral("repeat"), QStringLiteral("Runs per frame rate."),
                      QStringLiteral("n"), QStringLiteral("1")});
    parser.process(app);

    const QString program = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("nimbra_reelcast"));
    QTemporaryDir dir;
    const double seconds = parser.value(QStringLiteral("seconds")).toDouble();
    const double rate = parser.value(QStringLiteral("rate")).toDouble();
    const int repeat = std::max(1, parser.value(QStringLiteral("repeat")).toInt());
    if (!dir.isValid() || !(seconds > 0) || !(rate > 0))
        return 2;

    QTextStream out(stdout);
    out << "  hz  rate  frames  received  median_ms  p99_ms  max_ms  drift_ppm  end_error_ms  exit\n";
    bool complete = true;
    for (const QString& item : parser.value(QStringLiteral("hz")).split(',', Qt::SkipEmptyParts)) {
        for (int run = 0; run < repeat; ++run) {
            const Result r = measure(program, dir, item.toInt(), seconds, rate);
            complete = complete && r.received == r.frames && r.exit_code == 0;
            out << QString::asprintf("%4d %5.2f %7lld %9lld %10.3f %7.3f %7.3f %10.1f %13.3f %5d\n", r.hz,
                                     r.rate, qlonglong(r.frames), qlonglong(r.received), r.median_ms,
                                     r.p99_ms, r.max_ms, r.drift_ppm, r.end_error_ms, r.exit_code);
            out.flush();
        }
    }
    return complete ? 0 : 1;
}
