// bench_seek: how long the replay program's reader takes to place a large
// recording on the frame at a given fraction (seek_to_fraction, which reads
// and checks every frame before the target). The recording is made once by
// nimbra_mocap_synth into a cache directory and reused by later runs.
//
// Then the same seek through the take index and jumps by time, each on a
// fresh index (first) and again once the index knows the take (repeated),
// and what opening a recording costs up to its first frame.
//
// Usage: bench_seek [--cache DIR] [--megabytes 1000] [--fraction 0.9] [--repeat 5] [--file PATH]
#include <nmb/playback/recorded_frame_reader.h>

#include "navigation_bench.h"

#include <nmb/protocol/mocap_frame.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr qint64 FRAME_SIZE = sizeof(nmb::protocol::MocapFrame);

double thread_cpu_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

// The cached recording of `frames` Mocap frames, made by the synthetic
// source when missing. It is written under a temporary name and renamed
// when complete, so an interrupted run never leaves a short file behind.
QString cached_recording(const QString& cache, qint64 frames)
{
    const QString path = QDir(cache).filePath(QStringLiteral("seek_%1_frames.bin").arg(frames));
    if (QFileInfo(path).size() == frames * FRAME_SIZE)
        return path;
    if (!QDir().mkpath(cache))
        return {};
    const QString partial = path + QStringLiteral(".part");
    QFile::remove(partial);
    std::printf("generating %s (%lld frames) with nimbra_mocap_synth\n", qPrintable(path), frames);
    std::fflush(stdout);
    QProcess synth;
    synth.setProcessChannelMode(QProcess::ForwardedChannels);
    synth.start(QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("nimbra_mocap_synth")),
                {QStringLiteral("-o"), partial, QStringLiteral("--rate"), QStringLiteral("1000"),
                 QStringLiteral("--frames"), QString::number(frames)});
    if (!synth.waitForFinished(30 * 60 * 1000) || synth.exitStatus() != QProcess::NormalExit ||
        synth.exitCode() != 0 || QFileInfo(partial).size() != frames * FRAME_SIZE) {
        std::fprintf(stderr, "the synthetic source did not write %s\n", qPrintable(partial));
        QFile::remove(partial);
        return {};
    }
    QFile::remove(path);
    return QFile::rename(partial, path) ? path : QString();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Time of seek_to_fraction in a large recording."));
    parser.addHelpOption();
    const QCommandLineOption cache_option(QStringLiteral("cache"), QStringLiteral("Directory of the generated recording."),
                                          QStringLiteral("dir"), QStringLiteral("cache"));
    const QCommandLineOption size_option(QStringLiteral("megabytes"), QStringLiteral("Size of the generated recording (10^6 bytes)."),
                                         QStringLiteral("n"), QStringLiteral("1000"));
    const QCommandLineOption fraction_option(QStringLiteral("fraction"), QStringLiteral("Where to seek (0 to 1)."),
                                             QStringLiteral("f"), QStringLiteral("0.9"));
    const QCommandLineOption repeat_option(QStringLiteral("repeat"), QStringLiteral("Seeks to time."),
                                           QStringLiteral("n"), QStringLiteral("5"));
    const QCommandLineOption file_option(QStringLiteral("file"), QStringLiteral("Use this recording instead."),
                                         QStringLiteral("path"));
    parser.addOptions({cache_option, size_option, fraction_option, repeat_option, file_option});
    parser.process(app);

    const double fraction = parser.value(fraction_option).toDouble();
    const int repeat = std::clamp(parser.value(repeat_option).toInt(), 1, 1000);
    const qint64 megabytes = parser.value(size_option).toLongLong();
    if (megabytes < 1 || megabytes > 100'000) {
        std::fprintf(stderr, "--megabytes: 1 to 100000\n");
        return 2;
    }
    const QString path = parser.isSet(file_option)
                             ? parser.value(file_option)
                             : cached_recording(parser.value(cache_option),
                                                (megabytes * 1'000'000 + FRAME_SIZE - 1) / FRAME_SIZE);
    QFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot open the recording %s\n", qPrintable(path));
        return 1;
    }
    std::printf("%s: %lld bytes, seek_to_fraction(%g), %d time(s)\n", qPrintable(path), file.size(), fraction, repeat);
    std::printf("%4s %12s %12s %12s %14s\n", "run", "wall ms", "cpu ms", "frame", "position");

    std::vector<double> wall;
    nmb::reelcast::RecordedFrameReader reader(file);
    for (int run = 0; run < repeat; ++run) {
        // Start each seek from the beginning of a file whose reader holds nothing.
        if (!file.seek(0))
            return 1;
        quint64 index = 0;
        const double cpu_before = thread_cpu_ms();
        QElapsedTimer timer;
        timer.start();
        const nmb::reelcast::ReadStatus status = reader.seek_to_fraction(fraction, index);
        const double wall_ms = double(timer.nsecsElapsed()) / 1e6;
        const double cpu_ms = thread_cpu_ms() - cpu_before;
        if (status != nmb::reelcast::ReadStatus::Ok) {
            std::fprintf(stderr, "seek failed: %s\n", qPrintable(reader.error_string()));
            return 1;
        }
        wall.push_back(wall_ms);
        std::printf("%4d %12.1f %12.1f %12llu %14lld\n", run + 1, wall_ms, cpu_ms,
                    static_cast<unsigned long long>(index), file.pos());
        std::fflush(stdout);
    }
    std::printf("seek: median %.1f ms, min %.1f ms, max %.1f ms\n", median(wall),
                *std::min_element(wall.begin(), wall.end()), *std::max_element(wall.begin(), wall.end()));
    return nmb::bench::run_navigation(file, fraction, repeat) ? 0 : 1;
}
