#include "file_scan.h"

#include <QFile>
#include <QFileInfo>

#include <cstring>
#include <vector>

namespace nmb::reelkit {

namespace {
constexpr qsizetype PIECE = 1 << 20;
// Room for the piece and whatever the scanner left over from the last one.
constexpr qsizetype CAPACITY = PIECE + nmb::protocol::ENVELOPE_SIZE + nmb::protocol::MAX_PAYLOAD_SIZE;
} // namespace

FileScan scan_file(const QString& path, RecordingScanner& scanner, const FrameSink& sink)
{
    FileScan result;
    if (QFileInfo(path).isDir()) {
        result.error = QStringLiteral("Is a directory");
        return result;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        result.error = file.errorString();
        return result;
    }
    std::vector<char> buffer(static_cast<std::size_t>(CAPACITY));
    qsizetype kept = 0;     // bytes left over at the front of the buffer
    qint64 kept_at = 0;     // their offset in the file
    while (!scanner.stopped()) {
        const qint64 got = file.read(buffer.data() + kept, CAPACITY - kept);
        if (got < 0) {
            result.error = file.errorString();
            return result;
        }
        result.size += got;
        const bool at_end = got == 0;
        const qsizetype available = kept + qsizetype(got);
        const qsizetype used = scanner.scan(QByteArrayView(buffer.data(), available), kept_at,
                                            at_end, sink);
        if (at_end)
            break;
        kept = available - used;
        kept_at += used;
        std::memmove(buffer.data(), buffer.data() + used, std::size_t(kept));
    }
    result.ok = true;
    return result;
}

} // namespace nmb::reelkit
