#include "window_mode.h"

#include "drop_window.h"
#include "playback_engine.h"

#include <nmb/tui.h>
#include <nmb/tui_qt_bus.h>

#include <QApplication>
#include <QHostAddress>
#include <QPointer>

namespace nmb::reelcast {

namespace {

// Plays `path` to the destination in the window's form. Replay goes through
// here as well, so it always sends to the address the form shows.
void play_selected_file(DropWindow& window, PlaybackEngine& engine, const QString& path)
{
    const QString text = window.destination_ip();
    QHostAddress destination;
    if (!destination.setAddress(text)) {
        window.show_selection_error(
            QWidget::tr("Invalid UDP destination IP address: %1").arg(text));
        return;
    }
    engine.set_destination(destination, window.destination_port());
    (void)engine.set_rate(window.playback_rate());
    (void)engine.open_recording(path); // failures are shown through open_failed
}

void connect_display(DropWindow& window, PlaybackEngine& engine)
{
    QObject::connect(&engine, &PlaybackEngine::playback_started, &window,
                     [&window](const QString& path) { window.show_playing(path); });
    QObject::connect(&engine, &PlaybackEngine::frame_count_changed, &window,
                     [&window](quint64 frames) { window.show_frame_count(frames); });
    QObject::connect(&engine, &PlaybackEngine::progress_changed, &window,
                     [&window](qint64 position, qint64 size) { window.show_progress(position, size); });
    QObject::connect(&engine, &PlaybackEngine::timing_changed, &window,
                     [&window](const QString& summary) { window.show_timing(summary); });
    QObject::connect(&engine, &PlaybackEngine::playback_paused, &window,
                     [&window] { window.show_paused(); });
    QObject::connect(&engine, &PlaybackEngine::playback_stopped, &window,
                     [&window](quint64 frames) { window.show_stopped(frames); });
    QObject::connect(&engine, &PlaybackEngine::playback_finished, &window,
                     [&window](quint64 frames) { window.show_finished(frames); });
    QObject::connect(&engine, &PlaybackEngine::playback_failed, &window,
                     [&window](const QString& message) { window.show_error(message); });
    QObject::connect(&engine, &PlaybackEngine::open_failed, &window,
                     [&window](const QString& message) { window.show_error(message); });
    QObject::connect(&engine, &PlaybackEngine::time_changed, &window,
                     [&window](qint64 position_us, qint64 duration_us) {
                         window.show_time(position_us, duration_us);
                     });
}

// Runs `step` on the engine; when it made a halted or ended recording play,
// the window gets its playing controls back (a stop or the end had replaced
// them by the ready ones).
template <typename Step>
void run_and_show_playing(DropWindow& window, PlaybackEngine& engine, Step step)
{
    const bool was_playing = engine.is_playing();
    const bool had_recording = engine.state() != PlaybackEngine::State::Idle;
    step();
    if (!was_playing && had_recording && engine.is_playing()) {
        window.show_playing(engine.current_path());
        window.show_frame_count(engine.frames_played());
    }
}

} // namespace

void install_window_handlers(DropWindow& window, PlaybackEngine& engine)
{
    connect_display(window, engine);
    QPointer<DropWindow> guarded(&window);
    engine.set_loop_source([guarded] { return guarded && guarded->loop_enabled(); });

    window.set_resume_handler([&engine] { engine.resume(); });
    window.set_pause_handler([&engine] { engine.pause(); });
    window.set_rate_changed_handler([&engine](double rate) { (void)engine.set_rate(rate); });
    window.set_file_selected_handler(
        [&window, &engine](const QString& path) { play_selected_file(window, engine, path); });
    window.set_stop_handler([&window, &engine] {
        if (engine.is_playing()) {
            engine.stop();
        } else if (engine.state() == PlaybackEngine::State::Halted) {
            // The paused layout offers Stop too; it ends the pause the same
            // way, leaving the recording open for a replay.
            window.show_stopped(engine.frames_played());
        }
    });
    window.set_replay_handler([&window, &engine] {
        if (!engine.current_path().isEmpty())
            play_selected_file(window, engine, engine.current_path());
    });
    window.set_seek_handler([&engine](double fraction) { engine.seek(fraction); });
    window.set_jump_handler([&engine](qint64 delta_us) { engine.jump_by(delta_us); });
    window.set_restart_handler([&window, &engine] {
        run_and_show_playing(window, engine, [&engine] { engine.restart(); });
    });
}

void handle_window_console_action(DropWindow& window, PlaybackEngine& engine, const QString& action_id)
{
    run_and_show_playing(window, engine, [&] { engine.handle_console_action(action_id); });
    if (engine.rate() != window.playback_rate())
        window.show_rate(engine.rate());
}

int run_window_mode()
{
    DropWindow window;
    window.show();

    register_console_actions();
    Tui& console = Tui::instance();
    console.start();

    PlaybackEngine engine;
    QObject::connect(&TuiQtBus::instance(), &TuiQtBus::action_triggered, &window,
                     [&window, &engine](const QString& action_id) {
                         handle_window_console_action(window, engine, action_id);
                     });
    install_window_handlers(window, engine);

    const int result = QApplication::exec();
    console.stop();
    return result; // the engine's destructor stops its frame timer
}

} // namespace nmb::reelcast
