#pragma once

#include <nmb/tui_export.h>

#include <QObject>
#include <QString>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace nmb {

// Process-wide console registry: named output channels that any thread
// prints to, and named actions that the terminal user triggers. A console
// thread draws both in the terminal while started. All strings are UTF-8.
// Bad input (empty names, unknown ids) is ignored silently; nothing throws
// except std::system_error from a mutex that cannot be locked.
class NMB_TUI_EXPORT Tui : public QObject {
    Q_OBJECT

public:
    using Clock = std::chrono::steady_clock;

    struct Action {
        std::string description;
        std::string key; // key that triggers the action on either page; empty: none
    };

    struct Channel {
        std::string description;
        std::string message; // last message printed, may hold line feeds
        std::deque<Clock::time_point> update_times; // oldest first
    };

    struct ActionSnapshot {
        std::string id;
        std::string description;
        std::string key;
    };

    struct ChannelSnapshot {
        std::string name;
        std::string description;
        std::string message;
        double rate_hz = 0.0; // prints per second over the last 5 s
    };

    // The single registry, created on first use and destroyed at process
    // exit (its destructor stops the console and restores the terminal).
    static Tui& instance();

    ~Tui() override;

    // Starts the console thread when standard input and standard output are
    // both terminals. Without a terminal it starts nothing and disables
    // print() until set_enabled(true). Does nothing while running.
    void start();

    // Ends the console thread and waits for it (about one refresh interval);
    // harmless when not running. Called from the console thread itself it
    // only asks the loop to end.
    void stop();

    // print() records only while enabled (the default).
    void set_enabled(bool enabled);

    // Pause between two console frames in ms: values <= 0 are ignored,
    // 1..49 become 50, larger values are kept. Takes effect on the next pass.
    void set_refresh_interval_ms(int ms);

    // Adds the action or replaces its description; an empty id is ignored.
    void register_action(const std::string& id, const std::string& description);

    // As above, and binds `key` to the action: pressing it triggers the
    // action on either page, and the action page shows it in brackets after
    // the description. Names: a single printable character ("+"), or one of
    // "Space", "Left", "Right", "Home", "End", "PageUp", "PageDown",
    // "Backspace", "Delete". The console's own keys (Tab, Up, Down,
    // Enter, Esc) keep their meaning; an empty or unknown name binds nothing.
    // Registering again replaces the key too; when several actions share a
    // key, the first by id is triggered.
    void register_action(const std::string& id, const std::string& description,
                         const std::string& key);

    // Removes the action; unknown ids are ignored.
    void delete_action(std::string id);

    // Emits action_triggered(id) on the calling thread if id is registered.
    void execute_action(const std::string& id);

    // Records one update of `channel` (created on first use): the message
    // replaces the last one, a non-empty description replaces the stored
    // one. Any thread; dropped while disabled or for an empty channel name.
    void print(const std::string& channel, const std::string& description,
               const std::string& message);

    // Copies of all actions / channels sorted byte-wise by id / name.
    std::vector<ActionSnapshot> make_action_snapshot() const;
    std::vector<ChannelSnapshot> make_channel_snapshot() const;

Q_SIGNALS:
    void action_triggered(const QString& action_id);

private:
    // The library's own tests read the private state through this; it has
    // no definition in the library and is not part of the interface.
    friend struct TuiTestAccess;

    Tui();
    Tui(const Tui&) = delete;
    Tui& operator=(const Tui&) = delete;

    // Body of the console thread: draws, reads keys, ends when
    // quit_requested is set or the screen loop quits.
    void run_loop();

    mutable std::mutex channels_mutex;
    std::unordered_map<std::string, Channel> channels;
    mutable std::mutex actions_mutex;
    std::unordered_map<std::string, Action> actions;
    std::atomic<bool> enabled{true};
    std::atomic<bool> running{false};
    std::atomic<bool> quit_requested{false};
    std::atomic<std::int32_t> refresh_interval_ms{50};
    std::mutex lifecycle_mutex;
    std::thread render_thread;
};

} // namespace nmb
