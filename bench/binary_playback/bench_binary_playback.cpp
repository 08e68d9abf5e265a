// Measures how closely BinaryAdapter's playback keeps a recording's timing:
// for each frame rate it writes a recording of evenly spaced Mocap frames,
// plays it in-process and stamps every data_received on a monotonic clock.
// With --compare it also paces the same schedule the way a relative timer
// does (each wait started when the previous frame went out, the rounding
// remainder carried), to show what the absolute playback clock saves.

#include <nmb/binary_adapter.h>
#include <nmb/test/pacing_bench.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <cmath>
#include <vector>

namespace {

struct Run {
    QString pacing;
    int hz = 0;
    std::size_t frames = 0;
    std::vector<double> ideal_ms;  // recording time divided by the rate
    std::vector<double> actual_ms; // emission times, first frame at 0
};

// Emission times of BinaryAdapter playing `path`.
void play_recording(const QString& path, double rate, Run& run)
{
    nmb::BinaryAdapter adapter;
    QElapsedTimer clock;
    QEventLoop loop;
    QObject::connect(&adapter, &nmb::BinaryAdapter::data_received, &loop,
                     [&] { run.actual_ms.push_back(double(clock.nsecsElapsed()) / 1e6); });
    QObject::connect(&adapter, &nmb::BinaryAdapter::finished, &loop, &QEventLoop::quit);
    if (!adapter.open(path) || !adapter.set_playback_rate(rate))
        return;
    clock.start();
    adapter.play();
    if (adapter.is_playing())
        loop.exec();
}

// The same schedule paced by a relative timer: each wait is the next gap
// plus the rounding remainder, started when the previous frame went out.
void play_relative(Run& run)
{
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    QElapsedTimer clock;
    QEventLoop loop;
    double remainder = 0.0;
    const auto emit_frame = [&] {
        run.actual_ms.push_back(double(clock.nsecsElapsed()) / 1e6);
        const std::size_t next = run.actual_ms.size();
        if (next == run.frames) {
            loop.quit();
            return;
        }
        const double wait = run.ideal_ms[next] - run.ideal_ms[next - 1] + remainder;
        const double rounded = double(std::llround(wait));
        remainder = wait - rounded;
        timer.start(int(std::max(rounded, 0.0)));
    };
    QObject::connect(&timer, &QTimer::timeout, &loop, emit_frame);
    clock.start();
    emit_frame();
    if (run.frames > 1)
        loop.exec();
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Emission timing of recording playback."));
    parser.addHelpOption();
    nmb::test::add_pacing_options(parser, QStringLiteral("5"));
    parser.addOption({QStringLiteral("compare"),
                      QStringLiteral("Also pace each schedule with a relative timer.")});
    parser.process(app);

    QTemporaryDir dir;
    nmb::test::PacingOptions options;
    if (!dir.isValid() || !nmb::test::read_pacing_options(parser, options))
        return 2;
    const double rate = options.rate;

    QTextStream out(stdout);
    out << "pacing      hz  rate  frames  emitted  median_ms  p99_ms  max_ms  drift_ppm  end_error_ms"
           "  slow_pct\n";
    bool complete = true;
    for (const int hz : options.hz) {
        Run base;
        base.hz = hz;
        const QString path = dir.filePath(QStringLiteral("take_%1hz.bin").arg(hz));
        base.ideal_ms = nmb::test::write_paced_recording(path, hz, options.seconds, rate);
        base.frames = base.ideal_ms.size();
        if (base.frames == 0)
            return 1;

        for (int r = 0; r < options.repeat; ++r) {
            QList<Run> runs{base};
            runs.back().pacing = QStringLiteral("absolute");
            play_recording(path, rate, runs.back());
            if (parser.isSet(QStringLiteral("compare"))) {
                runs << base;
                runs.back().pacing = QStringLiteral("relative");
                play_relative(runs.back());
            }
            for (const Run& run : runs) {
                complete = complete && run.actual_ms.size() == run.frames;
                const nmb::test::TimingErrors e = nmb::test::timing_errors(run.actual_ms, run.ideal_ms);
                const double ideal_span = run.ideal_ms.back();
                const double slow_pct = run.actual_ms.size() == run.frames && ideal_span > 0.0
                    ? (run.actual_ms.back() / ideal_span - 1.0) * 100.0
                    : 0.0;
                out << QString::asprintf("%-8s %5d %5.2f %7zu %8zu %10.3f %7.3f %7.3f %10.1f %13.3f %9.2f\n",
                                         qPrintable(run.pacing), run.hz, rate, run.frames,
                                         run.actual_ms.size(), e.median_ms, e.p99_ms, e.max_ms,
                                         e.drift_ppm, e.end_error_ms, slow_pct);
                out.flush();
            }
        }
    }
    return complete ? 0 : 1;
}
