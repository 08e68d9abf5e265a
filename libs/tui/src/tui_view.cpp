#include "tui_view.h"

#include <array>
#include <charconv>
#include <sstream>
#include <utility>

using namespace ftxui;

namespace nmb::detail {

namespace {

constexpr int CHANNEL_PAGE = 0;
constexpr int ACTION_PAGE = 1;

Element make_menu_line(const std::string& name, const std::string& description, bool selected,
                       const std::string& key = {})
{
    Elements cells{
        text(selected ? "> " : "  "),
        text(name) | bold,
        text("    "),
        text(description),
    };
    if (!key.empty()) {
        cells.push_back(text("  [" + key + "]"));
    }
    Element line = hbox(std::move(cells));
    return selected ? line | inverted : line;
}

// The name a key binding uses for `event`, or empty for keys that cannot be
// bound.
std::string key_name(const Event& event)
{
    static const std::array<std::pair<Event, const char*>, 8> NAMED{{
        {Event::ArrowLeft, "Left"},
        {Event::ArrowRight, "Right"},
        {Event::Home, "Home"},
        {Event::End, "End"},
        {Event::PageUp, "PageUp"},
        {Event::PageDown, "PageDown"},
        {Event::Backspace, "Backspace"},
        {Event::Delete, "Delete"},
    }};
    for (const auto& [named, name] : NAMED) {
        if (event == named) {
            return name;
        }
    }
    // Terminals differ in what they send for Home and End (the screen
    // library knows only the first form).
    static const std::array<std::pair<const char*, const char*>, 6> SEQUENCES{{
        {"\x1b[1~", "Home"},
        {"\x1b[7~", "Home"},
        {"\x1bOH", "Home"},
        {"\x1b[4~", "End"},
        {"\x1b[8~", "End"},
        {"\x1bOF", "End"},
    }};
    for (const auto& [sequence, name] : SEQUENCES) {
        if (event.input() == sequence) {
            return name;
        }
    }
    if (!event.is_character()) {
        return {};
    }
    return event.character() == " " ? std::string("Space") : event.character();
}

// Fixed-point with two decimals and a dot whatever the process locale is
// (Qt programs switch the C locale to the user's).
std::string format_rate(double rate_hz)
{
    std::array<char, 64> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), rate_hz,
                                      std::chars_format::fixed, 2);
    return std::string(buffer.data(), result.ptr);
}

Element make_channel_block(const std::string& name, const std::string& description,
                           const std::string& message, double rate_hz)
{
    // Split like a line reader: a final line feed adds no empty line.
    Elements lines;
    std::istringstream stream(message);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(text(line));
    }
    if (lines.empty()) {
        lines.push_back(text(""));
    }
    return window(text(name + "  -  " + description) | bold,
                  vbox({
                      vbox(std::move(lines)),
                      separator(),
                      text("update: " + format_rate(rate_hz) + " Hz") | dim,
                  }));
}

// The screen library now and then asks the terminal for the cursor
// position. When the answer arrives right behind a lone Esc, before the
// library has decided that the Esc stands alone, both reach us as one
// unknown sequence starting with two escapes. The first one is still the
// key the user pressed; without this the Esc would be lost.
bool is_escape_key(const Event& event)
{
    return event == Event::Escape || event.input().rfind("\x1b\x1b", 0) == 0;
}

// Clamps an index that points past the end of a list that has shrunk.
void clamp_to_last(std::uint64_t& index, std::size_t size)
{
    if (size > 0 && index >= size) {
        index = size - 1;
    }
}

} // namespace

TuiView::TuiView(Tui& tui, std::atomic<bool>& quit_requested)
    : tui_(tui)
    , quit_requested_(quit_requested)
{
}

Element TuiView::render()
{
    Element body = page == CHANNEL_PAGE ? render_channel_page() : render_action_page();
    Element header = hbox({
        text(" TUI Probe ") | bold,
        filler(),
        text(std::string("Page: ") + (page == CHANNEL_PAGE ? "channel" : "action")
             + " | Tab: channel/action | Esc: quit")
            | dim,
    });
    Elements rows{header, separator()};
    if (!status_line.empty()) {
        rows.push_back(hbox({text("status: ") | dim, text(status_line)}));
        rows.push_back(separator());
    }
    rows.push_back(std::move(body) | frame | flex);
    return vbox(std::move(rows)) | border;
}

Element TuiView::render_channel_page()
{
    const std::vector<Tui::ChannelSnapshot> channels = tui_.make_channel_snapshot();
    Elements rows{text("Channel menu") | bold, separator()};
    if (channels.empty()) {
        selected_channel = 0;
        rows.push_back(text("No channel registered yet.") | dim);
    } else {
        clamp_to_last(selected_channel, channels.size());
        for (std::size_t i = 0; i < channels.size(); ++i) {
            rows.push_back(make_menu_line(channels[i].name, channels[i].description,
                                          i == selected_channel));
        }
        rows.push_back(separator());
        const Tui::ChannelSnapshot& shown = channels[selected_channel];
        rows.push_back(
            make_channel_block(shown.name, shown.description, shown.message, shown.rate_hz));
    }
    rows.push_back(separator());
    rows.push_back(text("Up/Down: select channel | Tab: next page | Esc: quit") | dim);
    return vbox(std::move(rows));
}

Element TuiView::render_action_page()
{
    const std::vector<Tui::ActionSnapshot> actions = tui_.make_action_snapshot();
    Elements rows{text("Action menu") | bold, separator()};
    if (actions.empty()) {
        selected_action = 0;
        rows.push_back(text("No action registered yet.") | dim);
    } else {
        clamp_to_last(selected_action, actions.size());
        for (std::size_t i = 0; i < actions.size(); ++i) {
            rows.push_back(
                make_menu_line(actions[i].id, actions[i].description, i == selected_action,
                               actions[i].key));
        }
    }
    rows.push_back(separator());
    rows.push_back(
        text("Up/Down: select action | Enter: trigger | Tab: next page | Esc: quit") | dim);
    return vbox(std::move(rows));
}

bool TuiView::handle_event(const Event& event)
{
    if (event == Event::Tab) {
        page = page == CHANNEL_PAGE ? ACTION_PAGE : CHANNEL_PAGE;
        status_line.clear();
        return true;
    }
    if (page == CHANNEL_PAGE ? handle_channel_key(event) : handle_action_key(event)) {
        return true;
    }
    if (is_escape_key(event)) {
        quit_requested_ = true;
        return true;
    }
    return handle_bound_key(event);
}

bool TuiView::handle_bound_key(const Event& event)
{
    const std::string name = key_name(event);
    if (name.empty()) {
        return false;
    }
    for (const Tui::ActionSnapshot& action : tui_.make_action_snapshot()) {
        if (action.key == name) {
            tui_.execute_action(action.id);
            status_line = "triggered action: " + action.id;
            return true;
        }
    }
    return false;
}

bool TuiView::handle_channel_key(const Event& event)
{
    if (event == Event::ArrowUp) {
        if (selected_channel > 0) {
            --selected_channel;
        }
        return true;
    }
    if (event == Event::ArrowDown) {
        // Compared as index + 1 < size so an empty list cannot wrap around.
        if (selected_channel + 1 < tui_.make_channel_snapshot().size()) {
            ++selected_channel;
        }
        return true;
    }
    if (event == Event::Return) {
        const std::vector<Tui::ChannelSnapshot> channels = tui_.make_channel_snapshot();
        if (!channels.empty()) {
            clamp_to_last(selected_channel, channels.size());
            status_line = "selected channel: " + channels[selected_channel].name;
        }
        return true;
    }
    return false;
}

bool TuiView::handle_action_key(const Event& event)
{
    if (event == Event::ArrowUp) {
        if (selected_action > 0) {
            --selected_action;
        }
        return true;
    }
    if (event == Event::ArrowDown) {
        if (selected_action + 1 < tui_.make_action_snapshot().size()) {
            ++selected_action;
        }
        return true;
    }
    if (event == Event::Return) {
        const std::vector<Tui::ActionSnapshot> actions = tui_.make_action_snapshot();
        if (!actions.empty()) {
            clamp_to_last(selected_action, actions.size());
            tui_.execute_action(actions[selected_action].id);
            status_line = "triggered action: " + actions[selected_action].id;
        }
        return true;
    }
    return false;
}

} // namespace nmb::detail
