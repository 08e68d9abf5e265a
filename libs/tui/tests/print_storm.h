#pragma once

#include <nmb/tui.h>

#include <atomic>
#include <cstddef>
#include <string>
#include <thread>
#include <vector>

namespace nmb::test {

// What a storm saw, for the caller to check.
struct PrintStormResult {
    std::size_t snapshots = 0;      // channel snapshots taken meanwhile
    bool snapshots_sorted = true;   // every snapshot came out sorted
    bool messages_whole = true;     // every message read back was one that was printed
    std::size_t channels_after = 0; // channels in the final snapshot
};

// Several threads print to a few shared channels while another takes
// snapshots and a third registers, executes and deletes actions. Bounded
// by `prints_per_thread`; the snapshot thread stops when the printers end.
inline PrintStormResult run_print_storm(Tui& tui, int printer_threads, int prints_per_thread,
                                        int channel_count)
{
    PrintStormResult result;
    std::atomic<int> printers_left{printer_threads};
    std::vector<std::thread> threads;
    for (int t = 0; t < printer_threads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < prints_per_thread; ++i) {
                const std::string channel = "storm." + std::to_string(i % channel_count);
                tui.print(channel, "storm channel", "thread " + std::to_string(t) + " print "
                                                        + std::to_string(i) + "\nsecond line\n");
            }
            --printers_left;
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; printers_left > 0; ++i) {
            const std::string id = "storm.action." + std::to_string(i % 4);
            tui.register_action(id, "storm action");
            tui.execute_action(id);
            (void)tui.make_action_snapshot();
            tui.delete_action(id);
            tui.set_refresh_interval_ms(50 + i % 7);
        }
    });
    while (printers_left > 0) {
        const std::vector<Tui::ChannelSnapshot> snapshot = tui.make_channel_snapshot();
        ++result.snapshots;
        for (std::size_t i = 0; i < snapshot.size(); ++i) {
            if (i > 0 && !(snapshot[i - 1].name < snapshot[i].name)) {
                result.snapshots_sorted = false;
            }
            const std::string& message = snapshot[i].message;
            const std::string tail = "\nsecond line\n";
            const bool whole = message.rfind("thread ", 0) == 0 && message.size() > tail.size()
                && message.compare(message.size() - tail.size(), tail.size(), tail) == 0;
            if (!whole) {
                result.messages_whole = false;
            }
        }
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    result.channels_after = tui.make_channel_snapshot().size();
    return result;
}

} // namespace nmb::test
