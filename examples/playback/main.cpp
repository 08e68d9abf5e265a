// play <recording.bin> [rate]: plays a recording back in real time with
// nmb::BinaryAdapter and prints how many frames arrived and how long that
// took. Exit status 0 when the file ended, 1 when it could not be played,
// 2 for bad arguments.
#include <nmb/binary_adapter.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QStringList>

#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    double rate = 1.0;
    bool rate_ok = true;
    if (arguments.size() == 3)
        rate = arguments.at(2).toDouble(&rate_ok);
    if (arguments.size() < 2 || arguments.size() > 3 || !rate_ok) {
        std::fprintf(stderr, "usage: play <recording.bin> [rate]\n");
        return 2;
    }

    nmb::BinaryAdapter adapter;
    int frames = 0;
    bool failed = false;
    QElapsedTimer clock;
    QObject::connect(&adapter, &nmb::BinaryAdapter::data_received, &app,
                     [&frames](const QByteArray&) { ++frames; });
    QObject::connect(&adapter, &nmb::BinaryAdapter::error_occurred, &app,
                     [&failed](const QString& message) {
                         failed = true;
                         std::fprintf(stderr, "error: %s\n", qPrintable(message));
                     });
    // Queued: the end can come inside play(), before the event loop runs.
    QObject::connect(
        &adapter, &nmb::BinaryAdapter::finished, &app,
        [&] {
            std::printf("%d frames in %lld ms\n", frames, static_cast<long long>(clock.elapsed()));
            QCoreApplication::exit(failed ? 1 : 0);
        },
        Qt::QueuedConnection);

    clock.start();
    if (!adapter.open(arguments.at(1)) || !adapter.set_playback_rate(rate))
        return 1;
    adapter.play();
    return QCoreApplication::exec();
}
