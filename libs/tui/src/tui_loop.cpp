#include <nmb/tui.h>

#include "tui_view.h"

#include <ftxui/component/component.hpp>
#include <ftxui/component/loop.hpp>
#include <ftxui/component/screen_interactive.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

namespace nmb {

namespace {

// Signals that end a program by default. The screen library catches them
// while it owns the terminal and, once it has restored the terminal, lets
// the program run on as if nothing happened; a Ctrl-C would be lost. The
// console catches them itself instead, ends its loop (which restores the
// terminal) and then raises the signal again under the program's own
// disposition, so the program ends exactly as it would without a console.
constexpr std::array<int, 2> ENDING_SIGNALS{SIGINT, SIGTERM};

// Set by the handler on whichever thread the system picks for the signal,
// read by the console thread: a lock-free atomic, which is safe to touch in
// a signal handler and orders the two threads (a volatile flag does not).
std::atomic<int> pending_signal{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void record_ending_signal(int signal_number)
{
    pending_signal = signal_number;
}

class EndingSignalGuard {
public:
    // Remembers the program's dispositions; call before the screen
    // library installs its own.
    EndingSignalGuard()
    {
        pending_signal = 0;
        for (std::size_t i = 0; i < ENDING_SIGNALS.size(); ++i) {
            ::sigaction(ENDING_SIGNALS[i], nullptr, &saved_[i]);
        }
    }

    // Replaces whatever handler is in place with the recorder.
    void catch_signals()
    {
        struct sigaction action = {};
        action.sa_handler = record_ending_signal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (const int signal_number : ENDING_SIGNALS) {
            ::sigaction(signal_number, &action, nullptr);
        }
    }

    static bool signal_pending() { return pending_signal != 0; }

    // Puts the program's dispositions back; call after the terminal has
    // been restored. A signal caught meanwhile is delivered again now.
    void restore_and_deliver()
    {
        for (std::size_t i = 0; i < ENDING_SIGNALS.size(); ++i) {
            ::sigaction(ENDING_SIGNALS[i], &saved_[i], nullptr);
        }
        const int signal_number = pending_signal.exchange(0);
        if (signal_number != 0) {
            std::raise(signal_number);
        }
    }

private:
    std::array<struct sigaction, ENDING_SIGNALS.size()> saved_{};
};

// Waits `length` between two frames. The interval has no upper bound, so
// the wait goes in short slices that notice stop() and the ending signals:
// neither a stop nor a Ctrl-C waits out a long refresh interval. A slice cut
// short by a signal goes on to the same deadline.
void pause(std::chrono::milliseconds length, const std::atomic<bool>& quit_requested)
{
    constexpr std::chrono::milliseconds SLICE{50};
    const auto deadline = std::chrono::steady_clock::now() + length;
    while (!quit_requested && !EndingSignalGuard::signal_pending()) {
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) {
            return;
        }
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(left, SLICE));
    }
}

} // namespace

void Tui::run_loop()
{
    EndingSignalGuard ending_signals;
    {
        auto screen = ftxui::ScreenInteractive::TerminalOutput();
        screen.TrackMouse(false);
        detail::TuiView view(*this, quit_requested);
        ftxui::Component component = ftxui::CatchEvent(
            ftxui::Renderer([&view] { return view.render(); }),
            [&view](const ftxui::Event& event) { return view.handle_event(event); });
        // Constructing the loop takes over the terminal and its signals.
        ftxui::Loop loop(&screen, component);
        ending_signals.catch_signals();
        while (!quit_requested && !EndingSignalGuard::signal_pending()) {
            if (loop.HasQuitted()) {
                break;
            }
            // Redraw on every pass, input or not, so rates and messages move.
            screen.RequestAnimationFrame();
            loop.RunOnce();
            const std::int32_t pause_ms = refresh_interval_ms;
            if (pause_ms > 0) {
                pause(std::chrono::milliseconds(pause_ms), quit_requested);
            }
        }
        quit_requested = true;
        running = false;
    } // the loop and the screen go here and put the terminal back
    ending_signals.restore_and_deliver();
}

} // namespace nmb
