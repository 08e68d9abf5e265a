#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

namespace nmb::reelcast {

// Result of every reading operation of RecordedFrameReader.
enum class [[nodiscard]] ReadStatus {
    Ok = 0,        // a whole frame with a matching checksum (seek: positioned)
    EndOfFile = 1, // nothing left where the next frame would start
    Error = 2,     // reading stopped; error_string() holds the reason
};

// Reads a recording frame by frame from a file that the caller owns, opens
// and positions. The file position is the read cursor; after Ok it stands on
// a frame boundary. There is no resynchronisation: after Error the position
// is wherever the failed reads left it and callers stop reading.
class RecordedFrameReader {
public:
    explicit RecordedFrameReader(QFile& file);

    // Reads the next whole frame (header, payload and checksum) into `frame`.
    // EndOfFile and a failed header leave `frame` as it was; a checksum
    // mismatch clears it.
    ReadStatus read_next(QByteArray& frame);

    // Places the file on the first frame whose end lies at or beyond
    // `fraction` (clamped to 0..1, NaN as 0) of the file size, or on the last
    // frame when the target lies past it, and reports that frame's zero-based
    // index. Reads and checks every frame before the target. EndOfFile with
    // index 0 for a recording without any frame.
    ReadStatus seek_to_fraction(double fraction, quint64& frame_index);

    // Forgets the last error text; the file does not move.
    void reset();

    // Text of the last failure; null when there is none.
    const QString& error_string() const { return error_; }

private:
    ReadStatus fail(const QString& message);

    QFile& file_;
    QString error_;
};

} // namespace nmb::reelcast
