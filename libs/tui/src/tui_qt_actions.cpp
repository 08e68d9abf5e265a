#include <nmb/tui_qt_actions.h>

#include <nmb/tui.h>
#include <nmb/tui_qt_bus.h>

namespace nmb {

void TuiQtActions::register_qt_action(const std::string& id, const std::string& description)
{
    // The bus must exist before the console can trigger the action, or the
    // registry's signal would have nobody to forward it.
    TuiQtBus::instance();
    Tui::instance().register_action(id, description);
}

void TuiQtActions::register_qt_action(const std::string& id, const std::string& description,
                                      const std::string& key)
{
    TuiQtBus::instance();
    Tui::instance().register_action(id, description, key);
}

} // namespace nmb
