#pragma once

#include <nmb/protocol/frame.h>

#include <QByteArrayView>

#include <cstdint>
#include <functional>

namespace nmb::reelkit {

// The first place where a recording stops being a clean run of frames.
struct ScanDamage {
    nmb::protocol::FrameCheck check = nmb::protocol::FrameCheck::Ok; // Ok: no damage
    qint64 offset = 0;          // byte where the damaged frame starts
    std::uint64_t frame_index = 0; // whole frames before it
};

// The replay reader's text for a failed check.
using nmb::protocol::check_text;

// Called for every whole frame with a matching checksum, in file order:
// the frame's first byte in the file, its zero-based index among the whole
// frames and its 10 + N bytes (valid only during the call). Returning false
// stops the scan.
using FrameSink = std::function<bool(qint64 offset, std::uint64_t index, QByteArrayView frame)>;

// Walks a recording given in consecutive pieces and finds every whole frame
// with a matching checksum. Where the frames stop fitting (a bad header, a
// checksum mismatch, a frame cut by the end of the file) it records the first
// damage and resynchronises: it skips to the next pair of sync bytes that
// starts a whole frame with a matching checksum, and counts the bytes it
// skipped as one damaged stretch. Pure: no files, no allocation per frame.
class RecordingScanner {
public:
    // Scans `bytes`, which start at file offset `base`. Returns how many of
    // them were used; the caller hands the rest again, followed by more, in
    // the next call. Fewer than 65545 bytes are ever left over, so a piece
    // of at least that many more bytes always makes progress. `at_end` says
    // no bytes follow these; everything is then used.
    qsizetype scan(QByteArrayView bytes, qint64 base, bool at_end, const FrameSink& sink);

    // Whether the sink asked to stop.
    bool stopped() const { return stopped_; }

    std::uint64_t frames() const { return frames_; }
    const ScanDamage& first_damage() const { return damage_; }
    std::uint64_t damaged_stretches() const { return stretches_; }
    qint64 dropped_bytes() const { return dropped_; }

private:
    void start_stretch(nmb::protocol::FrameCheck check, qint64 offset);
    void end_stretch(qint64 offset);

    std::uint64_t frames_ = 0;
    ScanDamage damage_;
    std::uint64_t stretches_ = 0;
    qint64 dropped_ = 0;
    bool resynchronising_ = false;
    qint64 stretch_start_ = 0;
    bool stopped_ = false;
};

} // namespace nmb::reelkit
