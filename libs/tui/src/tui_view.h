#pragma once

#include <nmb/tui.h>

#include <ftxui/component/event.hpp>
#include <ftxui/dom/elements.hpp>

#include <atomic>
#include <cstdint>
#include <string>

namespace nmb::detail {

// What one run of the console shows and how it reacts to keys: the page,
// the highlighted row of each page and the status row. Lives on the
// console thread only; registry data comes in through snapshots, so no
// lock is held while drawing.
class TuiView {
public:
    // `quit_requested` is set when the user presses Esc.
    TuiView(Tui& tui, std::atomic<bool>& quit_requested);

    // The whole console screen, built afresh from new snapshots.
    ftxui::Element render();

    // Handles Tab, the arrows, Enter and Esc, then the keys bound to
    // actions; returns whether the event was consumed. Anything else is left
    // to the screen library.
    bool handle_event(const ftxui::Event& event);

private:
    ftxui::Element render_channel_page();
    ftxui::Element render_action_page();
    bool handle_channel_key(const ftxui::Event& event);
    bool handle_action_key(const ftxui::Event& event);
    bool handle_bound_key(const ftxui::Event& event);

    Tui& tui_;
    std::atomic<bool>& quit_requested_;
    int page = 0; // 0: channel page, 1: action page
    std::uint64_t selected_channel = 0;
    std::uint64_t selected_action = 0;
    std::string status_line;
};

} // namespace nmb::detail
