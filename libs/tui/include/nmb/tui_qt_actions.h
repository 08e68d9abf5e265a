#pragma once

#include <nmb/tui_export.h>

#include <string>

namespace nmb {

class NMB_TUI_EXPORT TuiQtActions {
public:
    // Makes sure TuiQtBus exists (so the action reaches the Qt thread), then
    // registers the action with the console registry. Call on the Qt main
    // thread before Tui::start().
    static void register_qt_action(const std::string& id, const std::string& description);
    // The same with a key that triggers the action (Tui::register_action).
    static void register_qt_action(const std::string& id, const std::string& description,
                                   const std::string& key);
};

} // namespace nmb
