#pragma once

#include <nmb/tui.h>

#include <mutex>
#include <thread>

namespace nmb {

// Reads and resets the registry's private state for the tests; the
// registry is a process-wide singleton, so each test starts from a clean
// one.
struct TuiTestAccess {
    static int refresh_interval_ms(const Tui& tui) { return tui.refresh_interval_ms; }
    static bool enabled(const Tui& tui) { return tui.enabled; }
    static bool running(const Tui& tui) { return tui.running; }
    static bool quit_requested(const Tui& tui) { return tui.quit_requested; }

    static std::thread::id console_thread_id(Tui& tui)
    {
        std::lock_guard lock(tui.lifecycle_mutex);
        return tui.render_thread.get_id();
    }

    // Stops the console and forgets all channels and actions.
    static void reset(Tui& tui)
    {
        tui.stop();
        {
            std::lock_guard lock(tui.channels_mutex);
            tui.channels.clear();
        }
        {
            std::lock_guard lock(tui.actions_mutex);
            tui.actions.clear();
        }
        tui.enabled = true;
        tui.refresh_interval_ms = 50;
    }
};

} // namespace nmb
