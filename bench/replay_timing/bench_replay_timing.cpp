// Measures how closely nimbra_reelcast keeps the recording's timing: for each
// frame rate it writes a recording of evenly spaced Mocap frames, replays it
// to a loopback receiver that stamps every datagram in the kernel
// (SO_TIMESTAMPNS), and compares arrival times with the ideal schedule.

#include <nmb/test/frames.h>
#include <nmb/test/pacing_bench.h>
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
    nmb::test::TimingErrors errors; // arrivals against the ideal schedule
    int exit_code = -1;
};

Result measure(const QString& program, const QTemporaryDir& dir, int hz, double seconds, double rate)
{
    Result result;
    result.hz = hz;
    result.rate = rate;
    const QString path = dir.filePath(QStringLiteral("take_%1hz.bin").arg(hz));
    const std::vector<double> ideal_ms = nmb::test::write_paced_recording(path, hz, seconds, rate);
    const auto count = int(ideal_ms.size());
    if (count == 0)
        return result;
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
    parser.setApplicationDescription(QStringLiteral("Replay timing error of nimbra_reelcast over loopback UDP."));
    parser.addHelpOption();
    nmb::test::add_pacing_options(parser, QStringLiteral("10"));
    parser.process(app);

    const QString program = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("nimbra_reelcast"));
    QTemporaryDir dir;
    nmb::test::PacingOptions options;
    if (!dir.isValid() || !nmb::test::read_pacing_options(parser, options))
        return 2;

    QTextStream out(stdout);
    out << "  hz  rate  frames  received  median_ms  p99_ms  max_ms  drift_ppm  end_error_ms  exit\n";
    bool complete = true;
    for (const int hz : options.hz) {
        for (int run = 0; run < options.repeat; ++run) {
            const Result r = measure(program, dir, hz, options.seconds, options.rate);
            complete = complete && r.received == r.frames && r.exit_code == 0;
            out << QString::asprintf("%4d %5.2f %7lld %9lld %10.3f %7.3f %7.3f %10.1f %13.3f %5d\n", r.hz,
                                     r.rate, qlonglong(r.frames), qlonglong(r.received), r.errors.median_ms,
                                     r.errors.p99_ms, r.errors.max_ms, r.errors.drift_ppm,
                                     r.errors.end_error_ms, r.exit_code);
            out.flush();
        }
    }
    return complete ? 0 : 1;
}
