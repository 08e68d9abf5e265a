#pragma once

#include "recording_scanner.h"

#include <QString>

namespace nmb::reelkit {

// Outcome of reading a recording file through a scanner.
struct FileScan {
    bool ok = false;
    QString error; // why the file could not be read, when not ok
    qint64 size = 0; // bytes read
};

// Opens `path` and feeds all of it, in pieces of 1 MiB, to `scanner`, which
// passes every whole frame to `sink`. Memory stays the same whatever the
// size of the file. Directories and unreadable files fail with a reason.
FileScan scan_file(const QString& path, RecordingScanner& scanner, const FrameSink& sink);

} // namespace nmb::reelkit
