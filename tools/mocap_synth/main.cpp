#include "synth_command_line.h"
#include "synth_runner.h"

#include <nmb/stop_signal.h>

#include <QCoreApplication>
#include <QDebug>

#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("nimbra_mocap_synth"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0.0"));

    using namespace nmb::synth;
    SynthCommandLine command_line;
    switch (command_line.parse(QCoreApplication::arguments())) {
    case ParseStatus::Help:
        std::fputs(qPrintable(command_line.help_text()), stdout);
        return 0;
    case ParseStatus::Version:
        std::printf("%s %s\n", qPrintable(QCoreApplication::applicationName()),
                    qPrintable(QCoreApplication::applicationVersion()));
        return 0;
    case ParseStatus::Error:
        qCritical().noquote() << command_line.error_text();
        return 2;
    case ParseStatus::Ok:
        break;
    }

    const SynthOptions& options = command_line.options();
    const FrameGenerator generator(options.rate_hz, options.faults);
    nmb::install_stop_handlers();

    if (!options.sends()) {
        const RunResult result = write_recording(options, generator, nmb::stop_flag());
        if (!result.ok())
            qCritical().noquote() << result.error;
        if (!result.ok() && result.bytes == 0)
            return 1;
        QString line = QStringLiteral("Wrote %1 frame(s), %2 byte(s), to %3")
                           .arg(result.frames)
                           .arg(result.bytes)
                           .arg(options.output);
        if (options.truncate_tail > 0 && result.ok())
            line += QStringLiteral(" (last frame cut short by %1 byte(s))").arg(options.truncate_tail);
        qInfo().noquote() << line;
        return result.ok() ? 0 : 1;
    }

    const QString endpoint = endpoint_text(options.address, options.port);
    qInfo().noquote() << QStringLiteral("Sending Mocap frames to %1 at %2 Hz%3")
                             .arg(endpoint)
                             .arg(options.rate_hz)
                             .arg(options.frame_count < 0
                                      ? QStringLiteral(" until stopped")
                                      : QStringLiteral(", %1 frame(s)").arg(options.frame_count));
    const RunResult result = send_frames(options, generator, nmb::stop_flag());
    QString line = QStringLiteral("Sent %1 frame(s), %2 byte(s), to %3")
                       .arg(result.frames)
                       .arg(result.bytes)
                       .arg(endpoint);
    if (result.failed > 0)
        line += QStringLiteral("; %1 datagram(s) not sent (%2)").arg(result.failed).arg(result.error);
    qInfo().noquote() << line;
    return result.failed > 0 ? 1 : 0;
}
