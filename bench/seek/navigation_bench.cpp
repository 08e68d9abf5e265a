#include "navigation_bench.h"

#include "playback_engine.h"
#include "take_index.h"
#include "take_time.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace nmb::bench {

namespace {

using nmb::reelcast::ReadStatus;

double thread_cpu_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

// Wall and CPU time of one step, in milliseconds.
struct Timing {
    double wall_ms = 0.0;
    double cpu_ms = 0.0;
};

Timing time_ms(const std::function<bool()>& step, bool& ok)
{
    const double cpu_before = thread_cpu_ms();
    QElapsedTimer timer;
    timer.start();
    ok = ok && step();
    return {double(timer.nsecsElapsed()) / 1e6, thread_cpu_ms() - cpu_before};
}

void print_figure(const std::string& what, Timing timing)
{
    std::printf("navigation %-24s %10.2f ms wall %10.2f ms cpu\n", what.c_str(), timing.wall_ms,
                timing.cpu_ms);
    std::fflush(stdout);
}

// The median and the largest of several timings (by wall time).
void print_spread(const std::string& what, std::vector<Timing> values)
{
    std::sort(values.begin(), values.end(),
              [](const Timing& a, const Timing& b) { return a.wall_ms < b.wall_ms; });
    print_figure(what, values[values.size() / 2]);
    print_figure(what + "-max", values.back());
}

// Opening as the engine does before its first frame goes out: open the
// file, optionally find the take's length, read the first frame.
bool open_to_first_frame(const QString& path, bool with_span)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    if (with_span && !nmb::reelcast::read_take_span(file))
        return false;
    nmb::reelcast::RecordedFrameReader reader(file);
    QByteArray frame;
    return reader.read_next(frame) == ReadStatus::Ok;
}

// The engine itself: open_recording until its first frame has been played.
bool engine_first_frame(const QString& path)
{
    nmb::reelcast::PlaybackEngine engine;
    QEventLoop loop;
    QObject::connect(&engine, &nmb::reelcast::PlaybackEngine::frame_count_changed, &loop, [&] {
        engine.pause();
        loop.quit();
    });
    QTimer::singleShot(10'000, &loop, &QEventLoop::quit);
    if (!engine.open_recording(path))
        return false;
    loop.exec();
    return engine.frames_played() == 1;
}

} // namespace

bool run_navigation(QFile& file, double fraction, int repeat)
{
    bool ok = true;
    nmb::reelcast::RecordedFrameReader reader(file);
    quint64 index = 0;

    nmb::reelcast::TakeIndex slider_index(file, reader);
    print_figure("slider-first", time_ms([&] { return slider_index.seek_to_fraction(fraction, index) == ReadStatus::Ok; }, ok));
    std::vector<Timing> slider;
    for (int i = 0; i < repeat; ++i)
        slider.push_back(time_ms([&] { return slider_index.seek_to_fraction(fraction, index) == ReadStatus::Ok; }, ok));
    print_spread("slider-repeat", slider);

    const std::optional<nmb::reelcast::TakeSpan> span = nmb::reelcast::read_take_span(file);
    if (!span)
        return false;
    const qint64 target = qint64(double(span->duration_us) * std::clamp(fraction, 0.0, 1.0));
    nmb::reelcast::TakeIndex jump_index(file, reader);
    print_figure("jump-first", time_ms([&] { return jump_index.seek_to_time(target, index) == ReadStatus::Ok; }, ok));
    std::vector<Timing> jumps;
    for (int i = 0; i < std::max(repeat, 9); ++i) {
        // Different places in the part read once, as a user's jumps would be.
        const qint64 place = target / 10 * (1 + i % 9);
        jumps.push_back(time_ms([&] { return jump_index.seek_to_time(place, index) == ReadStatus::Ok; }, ok));
    }
    print_spread("jump-repeat", jumps);

    std::vector<Timing> span_times, reference, opened, engine;
    for (int i = 0; i < std::max(repeat, 5); ++i) {
        span_times.push_back(time_ms([&] { return nmb::reelcast::read_take_span(file).has_value(); }, ok));
        reference.push_back(time_ms([&] { return open_to_first_frame(file.fileName(), false); }, ok));
        opened.push_back(time_ms([&] { return open_to_first_frame(file.fileName(), true); }, ok));
        engine.push_back(time_ms([&] { return engine_first_frame(file.fileName()); }, ok));
    }
    print_spread("span", span_times);
    print_spread("open-reference", reference);
    print_spread("open", opened);
    print_spread("engine-first-frame", engine);
    if (!ok)
        std::fprintf(stderr, "a navigation step failed\n");
    return ok;
}

} // namespace nmb::bench
