#include <nmb/tui.h>

namespace nmb {

void Tui::run_loop()
{
    quit_requested = true;
    running = false;
}

} // namespace nmb
