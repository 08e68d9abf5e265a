#pragma once

#include <QString>

namespace nmb::reelcast {

class DropWindow;
class PlaybackEngine;

// Connects the drop window and the playback engine in both directions: the
// window's seven handlers drive the engine (file, pause, resume, stop,
// replay, rate, seek) and the engine's display signals update the window.
// A dropped or chosen file is played to the address and port in the window's
// form; an address that is not an IPv4 or IPv6 literal is reported on the
// window and opens nothing. The engine asks the window's loop box at every
// end of file. Both objects must outlive the connections' use; the window is
// the context of every connection, so destroying it ends them.
void install_window_handlers(DropWindow& window, PlaybackEngine& engine);

// Console actions in window mode: as PlaybackEngine::handle_console_action,
// and a "Reelcast.play" that resumes a stopped recording also brings back the
// playing controls, which the stop had replaced by the ready ones.
void handle_window_console_action(DropWindow& window, PlaybackEngine& engine, const QString& action_id);

// Window mode of the replay program: shows the drop window, registers the
// console actions and starts the console, then runs the event loop until the
// last window closes or the console's quit action. Needs a QApplication.
// Returns the event loop's result (0 on an orderly end).
int run_window_mode();

} // namespace nmb::reelcast
