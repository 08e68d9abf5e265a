#pragma once

#include <nmb/playback/recorded_frame_reader.h>
#include "take_time.h"

#include <QByteArray>
#include <QFile>

#include <vector>

namespace nmb::reelcast {

// Reads a take in order and remembers, for every stretch of it that has been
// read, where its frames start, their index and their time, so that later
// jumps into that stretch read only a few frames. Every frame it remembers
// was read whole with a matching checksum, so a jump that starts from a
// remembered frame reports the same index and the same damage as a scan
// from the start of the file would. Nothing is read ahead of need: opening
// and the first frame cost what they cost without it.
class TakeIndex {
public:
    TakeIndex(QFile& file, RecordedFrameReader& reader);

    // Forgets everything; call when the file is opened again. The cursor
    // stands at the start of the file.
    void clear();

    // Reads the next frame as RecordedFrameReader::read_next does and notes it.
    ReadStatus read_next(QByteArray& frame);
    // Offset (TakeClock) of the frame read last; 0 before the first one.
    qint64 last_offset_us() const { return clock_.offset_us(); }
    // Zero-based index of the frame the next read_next returns.
    quint64 next_index() const { return next_index_; }

    // Text of the last failure: the reader's, or the file's when it could
    // not be positioned.
    const QString& error_string() const { return error_.isEmpty() ? reader_.error_string() : error_; }

    // Back to the first frame; false with the file's error text on failure.
    bool rewind();

    // Places the file on the first frame whose offset is at or after
    // `offset_us` and reports its index. EndOfFile when every frame lies
    // before it (the file then stands at its end); Error with the reader's
    // text for a damaged frame on the way, or with an empty text for a frame
    // without a timestamp.
    ReadStatus seek_to_time(qint64 offset_us, quint64& frame_index);

    // RecordedFrameReader::seek_to_fraction with the same result, starting
    // from the last remembered frame before the target.
    ReadStatus seek_to_fraction(double fraction, quint64& frame_index);

    // Frames remembered as starting points (for tests and benchmarks).
    std::size_t checkpoint_count() const { return checkpoints_.size(); }

private:
    struct Checkpoint {
        qint64 position = 0;
        quint64 index = 0;
        TakeClock clock; // the clock before this frame
    };

    ReadStatus read_at_cursor(QByteArray& frame, qint64& start);
    bool move_to(const Checkpoint& checkpoint);
    ReadStatus fail_seek();

    QFile& file_;
    RecordedFrameReader& reader_;
    std::vector<Checkpoint> checkpoints_; // in file order, all below frontier_
    qint64 frontier_ = 0;                 // every frame before this byte was read whole
    quint64 next_index_ = 0;
    TakeClock clock_;
    QString error_;
};

} // namespace nmb::reelcast
