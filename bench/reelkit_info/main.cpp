// Speed of `nimbra_reelkit info` on a recording in the page cache, beside
// the floor of its work: zlib's crc32 over the same bytes, read the same way
// (1 MiB pieces). Each run times both; the recording is made once by
// nimbra_mocap_synth into the cache directory and reused.
//
// Usage: bench_reelkit_info [--cache DIR] [--megabytes 1000] [--repeat 5] [--file PATH]
// Prints per run: "<run> <info GB/s> <zlib GB/s> <info CPU s> <zlib CPU s>", then the medians.

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <zlib.h>

#include <sys/resource.h>
#include <time.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr qint64 FRAME_SIZE = 1860;

QString tool(const QString& name)
{
    return QDir(QCoreApplication::applicationDirPath()).filePath(name);
}

QString cached_recording(const QString& cache, qint64 frames)
{
    const QString path = QDir(cache).filePath(QStringLiteral("info_%1_frames.bin").arg(frames));
    if (QFileInfo(path).size() == frames * FRAME_SIZE)
        return path;
    if (!QDir().mkpath(cache))
        return {};
    const QString partial = path + QStringLiteral(".part");
    std::printf("generating %s with nimbra_mocap_synth\n", qPrintable(path));
    QProcess synth;
    synth.start(tool(QStringLiteral("nimbra_mocap_synth")),
                {QStringLiteral("-o"), partial, QStringLiteral("--rate"), QStringLiteral("1000"),
                 QStringLiteral("--frames"), QString::number(frames), QStringLiteral("--duration"),
                 QString::number(frames)});
    if (!synth.waitForFinished(30 * 60 * 1000) || synth.exitCode() != 0
        || QFileInfo(partial).size() != frames * FRAME_SIZE) {
        QFile::remove(partial);
        return {};
    }
    QFile::remove(path);
    return QFile::rename(partial, path) ? path : QString();
}

double thread_cpu_seconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// Seconds for zlib's crc32 over the whole file, read in 1 MiB pieces; its
// CPU seconds go to `cpu`.
double zlib_seconds(const QString& path, double& cpu)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    std::vector<char> buffer(std::size_t(1) << 20);
    QElapsedTimer timer;
    timer.start();
    const double cpu_start = thread_cpu_seconds();
    uLong crc = crc32(0, nullptr, 0);
    qint64 got = 0;
    while ((got = file.read(buffer.data(), qint64(buffer.size()))) > 0)
        crc = crc32(crc, reinterpret_cast<const Bytef*>(buffer.data()), uInt(got));
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    cpu = thread_cpu_seconds() - cpu_start;
    std::fprintf(stderr, "zlib crc32 %08lx\n", crc);
    return seconds;
}

// Wall seconds of `nimbra_reelkit info`, and its CPU seconds.
bool info_seconds(const QString& path, double& wall, double& cpu)
{
    QProcess info;
    info.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer timer;
    timer.start();
    info.start(tool(QStringLiteral("nimbra_reelkit")), {QStringLiteral("info"), path});
    if (!info.waitForFinished(10 * 60 * 1000) || info.exitCode() != 0)
        return false;
    wall = double(timer.nsecsElapsed()) / 1e9;
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    static double before = 0;
    const double total = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    cpu = total - before;
    before = total;
    return true;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({QStringLiteral("cache"), QStringLiteral("Directory of the generated recording."),
                      QStringLiteral("dir"), QStringLiteral("cache")});
    parser.addOption({QStringLiteral("megabytes"), QStringLiteral("Size of the generated recording."),
                      QStringLiteral("n"), QStringLiteral("1000")});
    parser.addOption({QStringLiteral("repeat"), QStringLiteral("Runs."), QStringLiteral("n"), QStringLiteral("5")});
    parser.addOption({QStringLiteral("file"), QStringLiteral("Use this recording instead."), QStringLiteral("path")});
    parser.process(app);

    QString path = parser.value(QStringLiteral("file"));
    if (path.isEmpty()) {
        const qint64 frames = parser.value(QStringLiteral("megabytes")).toLongLong() * 1'000'000 / FRAME_SIZE + 1;
        path = cached_recording(parser.value(QStringLiteral("cache")), frames);
    }
    const double gigabytes = double(QFileInfo(path).size()) / 1e9;
    if (path.isEmpty() || gigabytes <= 0) {
        std::fprintf(stderr, "no recording\n");
        return 1;
    }
    double zlib_cpu = 0;
    (void)zlib_seconds(path, zlib_cpu); // brings the file into the page cache
    std::printf("file %s, %.3f GB\nrun info_GB/s zlib_GB/s info_cpu_s zlib_cpu_s\n", qPrintable(path), gigabytes);
    std::vector<double> ours, reference;
    const int repeat = std::max(1, parser.value(QStringLiteral("repeat")).toInt());
    for (int run = 1; run <= repeat; ++run) {
        double wall = 0, cpu = 0;
        if (!info_seconds(path, wall, cpu)) {
            std::fprintf(stderr, "nimbra_reelkit info failed\n");
            return 1;
        }
        const double floor = zlib_seconds(path, zlib_cpu);
        ours.push_back(gigabytes / wall);
        reference.push_back(gigabytes / floor);
        std::printf("%d %.3f %.3f %.3f %.3f\n", run, ours.back(), reference.back(), cpu, zlib_cpu);
        std::fflush(stdout);
    }
    std::printf("median %.3f %.3f\n", median(ours), median(reference));
    return 0;
}
