// Cost of one Tui::print call, the call a program makes for every frame it
// handles: without a console (prints recorded), with prints dropped
// (start() found no terminal), and with the console drawing into a
// pseudo-terminal at its default 50 ms refresh.
#include <nmb/tui.h>

#include "pty_terminal.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int ROUNDS = 7;

// A frame block as the replay program prints it.
std::string frame_text(unsigned long long frame)
{
    return "frame: " + std::to_string(frame) + "\nid: 0\nlength: 1841\ntimestamp: "
        + std::to_string(frame * 8333) + " us\n";
}

struct Figures {
    double median_ns = 0;
    double min_ns = 0;
    double max_ns = 0;
};

// Runs ROUNDS rounds of `calls` prints from `threads` threads; the figure of
// a round is the wall time of one thread's calls divided by its count.
Figures measure(nmb::Tui& tui, int calls, int threads)
{
    // Messages are built beforehand so only print() is timed.
    std::vector<std::string> messages;
    messages.reserve(256);
    for (int i = 0; i < 256; ++i) {
        messages.push_back(frame_text(1000000 + i));
    }
    std::vector<double> per_call;
    for (int round = 0; round < ROUNDS; ++round) {
        std::vector<double> thread_ns(threads);
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back([&, t] {
                const std::string channel = "Bench.frame." + std::to_string(t);
                const Clock::time_point start = Clock::now();
                for (int i = 0; i < calls; ++i) {
                    tui.print(channel, "benchmark frame", messages[i & 255]);
                }
                thread_ns[t] = std::chrono::duration<double, std::nano>(Clock::now() - start)
                                   .count()
                    / calls;
            });
        }
        for (std::thread& worker : workers) {
            worker.join();
        }
        per_call.push_back(*std::max_element(thread_ns.begin(), thread_ns.end()));
    }
    std::sort(per_call.begin(), per_call.end());
    return Figures{per_call[per_call.size() / 2], per_call.front(), per_call.back()};
}

// Single calls timed one by one (one thread): how long a frame can be held
// up by a print, e.g. while the console copies its snapshot.
struct Tail {
    double p999_ns = 0;
    double max_ns = 0;
};

Tail measure_tail(nmb::Tui& tui, int calls)
{
    const std::string message = frame_text(1000000);
    std::vector<double> samples;
    samples.reserve(calls);
    for (int i = 0; i < calls; ++i) {
        const Clock::time_point start = Clock::now();
        tui.print("Bench.tail", "benchmark frame", message);
        samples.push_back(std::chrono::duration<double, std::nano>(Clock::now() - start).count());
    }
    std::sort(samples.begin(), samples.end());
    return Tail{samples[samples.size() * 999 / 1000], samples.back()};
}

void report_tail(const char* what, const Tail& tail)
{
    std::printf("%-34s single calls   p99.9 %7.1f ns   max %9.1f ns\n", what, tail.p999_ns,
                tail.max_ns);
}

void report(const char* what, int threads, const Figures& figures)
{
    std::printf("%-34s threads %d   median %7.1f ns/call   min %7.1f   max %7.1f\n", what, threads,
                figures.median_ns, figures.min_ns, figures.max_ns);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int calls = argc > 1 ? std::max(1000, std::atoi(argv[1])) : 1000000;
    nmb::Tui& tui = nmb::Tui::instance();

    report_tail("no console, prints recorded", measure_tail(tui, calls));
    {
        nmb::test::PtyTerminal terminal(120, 50);
        if (terminal.is_open()) {
            tui.start();
            const Tail tail = measure_tail(tui, calls);
            tui.stop();
            terminal.restore();
            report_tail("console running (pty, 50 ms)", tail);
        }
    }

    for (const int threads : {1, 4}) {
        report("no console, prints recorded", threads, measure(tui, calls, threads));

        Figures console;
        bool drew = false;
        {
            nmb::test::PtyTerminal terminal(120, 50);
            if (terminal.is_open()) {
                tui.start();
                // The console draws the channel page, whose block shows
                // the first channel's message: the one being printed.
                console = measure(tui, calls, threads);
                drew = terminal.received(" TUI Probe ");
                tui.stop();
            }
        }
        if (drew) {
            report("console running (pty, 50 ms)", threads, console);
        } else {
            std::printf("console running: no pseudo-terminal or nothing drawn\n");
        }

        {
            // start() without a terminal disables printing: the early return.
            const int saved = ::dup(STDIN_FILENO);
            const int null = ::open("/dev/null", O_RDONLY);
            ::dup2(null, STDIN_FILENO);
            tui.start();
            ::dup2(saved, STDIN_FILENO);
            ::close(null);
            ::close(saved);
        }
        report("no terminal, prints dropped", threads, measure(tui, calls, threads));
        tui.set_enabled(true);
    }
    return 0;
}
