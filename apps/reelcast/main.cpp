#include "command_line.h"
#include "playback_engine.h"
#include "window_mode.h"

#include <nmb/tui.h>
#include <nmb/tui_qt_bus.h>

#include <QApplication>
#include <QCoreApplication>
#include <QDebug>

#include <memory>

using nmb::reelcast::PlaybackEngine;

namespace {

// Headless mode: plays the recording named on the command line and ends with
// it: 0 at its end, 1 on a playback error, 0 on the console's quit action.
int run_headless(QCoreApplication& app, const nmb::reelcast::ReplayOptions& options)
{
    nmb::reelcast::register_console_actions();
    nmb::Tui& console = nmb::Tui::instance();

    PlaybackEngine engine;
    (void)engine.set_rate(options.rate);
    engine.set_loop(options.loop);
    engine.set_play_window(options.start_us, options.end_us);
    engine.set_max_gap_us(options.max_gap_us);
    if (options.udp_enabled)
        engine.set_destination(options.destination, options.port);
    QObject::connect(&nmb::TuiQtBus::instance(), &nmb::TuiQtBus::action_triggered, &engine,
                     &PlaybackEngine::handle_console_action);
    // The console goes away before the closing log line is written, so the
    // line lands on the restored terminal instead of under the last frame.
    QObject::connect(&engine, &PlaybackEngine::playback_finished, &app, [&console] {
        console.stop();
        QCoreApplication::quit();
    });
    QObject::connect(&engine, &PlaybackEngine::playback_failed, &app, [&console, &engine] {
        console.stop();
        QCoreApplication::exit(engine.exit_code());
    });

    // The console starts once the recording plays, so that the start line (or
    // the reason it cannot play) is written to a plain terminal.
    if (!engine.open_recording(options.path))
        return 1;
    console.start();
    const int result = QCoreApplication::exec();
    engine.stop();
    console.stop();
    return result;
}

} // namespace

int main(int argc, char* argv[])
{
    // No argument at all on a desktop opens the drop window; any argument,
    // or no display, plays headless.
    const bool window_mode = nmb::reelcast::window_mode_requested(argc);
    const std::unique_ptr<QCoreApplication> app = window_mode
        ? std::make_unique<QApplication>(argc, argv)
        : std::make_unique<QCoreApplication>(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("nimbra_reelcast"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0.0"));

    QCommandLineParser parser;
    nmb::reelcast::add_replay_options(parser);
    parser.process(*app);

    nmb::reelcast::ReplayOptions options;
    QString error;
    if (!nmb::reelcast::read_replay_options(parser, window_mode, options, error)) {
        qCritical().noquote() << error;
        return 2;
    }
    if (window_mode)
        return nmb::reelcast::run_window_mode();
    return run_headless(*app, options);
}
