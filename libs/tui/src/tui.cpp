#include <nmb/tui.h>

#include "rate_window.h"

#include <algorithm>

#include <unistd.h>

namespace nmb {

namespace {

constexpr std::int32_t MIN_REFRESH_INTERVAL_MS = 50;

} // namespace

Tui& Tui::instance()
{
    static Tui tui;
    return tui;
}

Tui::Tui() = default;

Tui::~Tui()
{
    stop();
}

void Tui::start()
{
    std::lock_guard lock(lifecycle_mutex);
    if (running) {
        return;
    }
    if (::isatty(STDIN_FILENO) == 0 || ::isatty(STDOUT_FILENO) == 0) {
        // Nobody can see the console: drop prints before they take a lock.
        enabled = false;
        return;
    }
    if (render_thread.joinable()) {
        render_thread.join(); // a loop that ended on Esc or on its own
    }
    quit_requested = false;
    running = true;
    render_thread = std::thread(&Tui::run_loop, this);
}

void Tui::stop()
{
    std::lock_guard lock(lifecycle_mutex);
    quit_requested = true;
    if (render_thread.joinable() && render_thread.get_id() != std::this_thread::get_id()) {
        render_thread.join();
    }
    running = false;
}

void Tui::set_enabled(bool value)
{
    enabled = value;
}

void Tui::set_refresh_interval_ms(int ms)
{
    if (ms <= 0) {
        return;
    }
    refresh_interval_ms = std::max<std::int32_t>(ms, MIN_REFRESH_INTERVAL_MS);
}

void Tui::register_action(const std::string& id, const std::string& description)
{
    if (id.empty()) {
        return;
    }
    std::lock_guard lock(actions_mutex);
    Action& action = actions[id];
    action.description = description;
    action.key.clear();
}

void Tui::register_action(const std::string& id, const std::string& description,
                          const std::string& key)
{
    if (id.empty()) {
        return;
    }
    std::lock_guard lock(actions_mutex);
    actions[id] = Action{description, key};
}

void Tui::delete_action(std::string id)
{
    std::lock_guard lock(actions_mutex);
    actions.erase(id);
}

void Tui::execute_action(const std::string& id)
{
    bool registered = false;
    {
        std::lock_guard lock(actions_mutex);
        registered = actions.find(id) != actions.end();
    }
    // Emitted without the lock so a directly connected receiver may
    // register, delete or execute actions itself.
    if (registered) {
        Q_EMIT action_triggered(QString::fromStdString(id));
    }
}

void Tui::print(const std::string& channel, const std::string& description,
                const std::string& message)
{
    if (!enabled || channel.empty()) {
        return;
    }
    std::lock_guard lock(channels_mutex);
    Channel& entry = channels[channel];
    const Clock::time_point now = Clock::now();
    if (!description.empty()) {
        entry.description = description;
    }
    entry.message = message;
    detail::record_update(entry.update_times, now);
}

std::vector<Tui::ActionSnapshot> Tui::make_action_snapshot() const
{
    std::lock_guard lock(actions_mutex);
    std::vector<ActionSnapshot> snapshot;
    snapshot.reserve(actions.size());
    for (const auto& [id, action] : actions) {
        snapshot.push_back(ActionSnapshot{id, action.description, action.key});
    }
    std::sort(snapshot.begin(), snapshot.end(),
              [](const ActionSnapshot& a, const ActionSnapshot& b) { return a.id < b.id; });
    return snapshot;
}

std::vector<Tui::ChannelSnapshot> Tui::make_channel_snapshot() const
{
    std::lock_guard lock(channels_mutex);
    std::vector<ChannelSnapshot> snapshot;
    snapshot.reserve(channels.size());
    const Clock::time_point now = Clock::now();
    for (const auto& [name, channel] : channels) {
        snapshot.push_back(ChannelSnapshot{name, channel.description, channel.message,
                                           detail::rate_hz(channel.update_times, now)});
    }
    std::sort(snapshot.begin(), snapshot.end(),
              [](const ChannelSnapshot& a, const ChannelSnapshot& b) { return a.name < b.name; });
    return snapshot;
}

} // namespace nmb
