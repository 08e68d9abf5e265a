// A small console program for the terminal tests: registers three actions,
// prints a frame counter to a channel, and quits on its quit action.
#include <nmb/tui.h>
#include <nmb/tui_qt_actions.h>
#include <nmb/tui_qt_bus.h>

#include <QCoreApplication>
#include <QFile>
#include <QTimer>

#include <string>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    // Arguments: a file that receives the frame counter on every tick, so a
    // test can see the program run on after the console ended; and
    // optionally --no-stop, to leave the console to the registry's
    // destructor at exit.
    const QStringList arguments = QCoreApplication::arguments();
    const QString counter_path = arguments.size() > 1 ? arguments[1] : QString();
    const bool stop_at_end = !arguments.contains(QStringLiteral("--no-stop"));

    nmb::Tui& tui = nmb::Tui::instance();
    bool playing = true;
    QObject::connect(&nmb::TuiQtBus::instance(), &nmb::TuiQtBus::action_triggered, &app,
                     [&playing](const QString& id) {
                         if (id == QLatin1String("Reelcast.play")) {
                             playing = true;
                         } else if (id == QLatin1String("Reelcast.pause")) {
                             playing = false;
                         } else if (id == QLatin1String("Reelcast.quit")) {
                             QCoreApplication::quit();
                         }
                     });
    nmb::TuiQtActions::register_qt_action("Reelcast.play", "resume binary playback");
    nmb::TuiQtActions::register_qt_action("Reelcast.pause", "pause binary playback");
    nmb::TuiQtActions::register_qt_action("Reelcast.quit", "quit binary playback");
    tui.start();

    quint64 frame = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, &app, [&] {
        if (!playing) {
            return;
        }
        ++frame;
        tui.print("Probe.frame", "probe frame counter", "frame " + std::to_string(frame) + "\n");
        if (!counter_path.isEmpty()) {
            QFile file(counter_path);
            if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
                file.write(QByteArray::number(frame));
            }
        }
    });
    ticker.start(20);

    const int status = QCoreApplication::exec();
    if (stop_at_end) {
        tui.stop();
    }
    return status;
}
