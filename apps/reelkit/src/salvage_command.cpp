#include "command_failure.h"
#include "commands.h"
#include "file_scan.h"

#include <QDebug>
#include <QSaveFile>

namespace nmb::reelkit {

int run_salvage(const ReelkitOptions& options)
{
    const QString& in = options.inputs.first();
    QSaveFile out(options.output);
    if (!out.open(QIODevice::WriteOnly))
        return fail(QStringLiteral("write"), options.output, out.errorString());
    RecordingScanner scanner;
    const FileScan scan = scan_file(in, scanner, [&out](qint64, std::uint64_t, QByteArrayView frame) {
        return out.write(frame.data(), frame.size()) == frame.size();
    });
    if (!scan.ok)
        return fail(QStringLiteral("read"), in, scan.error);
    if (scanner.frames() == 0) {
        qCritical().noquote() << QStringLiteral("No whole frame in %1; nothing written.").arg(in);
        return 1; // the save file is dropped unwritten
    }
    if (scanner.stopped() || !out.commit())
        return fail(QStringLiteral("write"), options.output, out.errorString());
    qInfo().noquote() << QStringLiteral("Kept %1 frame(s), dropped %2 byte(s) in %3 damaged stretch(es).")
                             .arg(scanner.frames())
                             .arg(scanner.dropped_bytes())
                             .arg(scanner.damaged_stretches());
    return 0;
}

} // namespace nmb::reelkit
