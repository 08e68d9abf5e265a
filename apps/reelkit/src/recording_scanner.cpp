#include "recording_scanner.h"

#include <cstring>

namespace nmb::reelkit {

using nmb::protocol::FrameCheck;

void RecordingScanner::start_stretch(FrameCheck check, qint64 offset)
{
    if (damage_.check == FrameCheck::Ok)
        damage_ = {check, offset, frames_};
    resynchronising_ = true;
    stretch_start_ = offset;
    ++stretches_;
}

void RecordingScanner::end_stretch(qint64 offset)
{
    dropped_ += offset - stretch_start_;
    resynchronising_ = false;
}

qsizetype RecordingScanner::scan(QByteArrayView bytes, qint64 base, bool at_end,
                                 const FrameSink& sink)
{
    const char* data = bytes.data();
    const qsizetype size = bytes.size();
    qsizetype pos = 0;
    while (!stopped_) {
        if (!resynchronising_) {
            if (pos == size)
                return pos;
            qsizetype frame_size = 0;
            const FrameCheck check = nmb::protocol::check_frame(bytes.sliced(pos), &frame_size);
            if (check == FrameCheck::Ok) {
                stopped_ = !sink(base + pos, frames_, bytes.sliced(pos, frame_size));
                ++frames_;
                pos += frame_size;
                continue;
            }
            const bool cut = check == FrameCheck::TruncatedHeader
                || check == FrameCheck::TruncatedPayload;
            if (cut && !at_end)
                return pos; // the rest of the frame is in the next piece
            start_stretch(check, base + pos);
            ++pos;
            continue;
        }
        // Looking for the next frame: sync bytes, then a whole frame with a
        // matching checksum (which also makes its length plausible).
        const void* found = pos < size ? std::memchr(data + pos, nmb::protocol::SYNC0, size_t(size - pos))
                                       : nullptr;
        if (!found) {
            if (at_end)
                end_stretch(base + size);
            return size;
        }
        const qsizetype candidate = static_cast<const char*>(found) - data;
        qsizetype frame_size = 0;
        const FrameCheck check = nmb::protocol::check_frame(bytes.sliced(candidate), &frame_size);
        if (check == FrameCheck::Ok) {
            end_stretch(base + candidate);
            pos = candidate;
            continue;
        }
        const bool cut = check == FrameCheck::TruncatedHeader || check == FrameCheck::TruncatedPayload;
        if (cut && !at_end)
            return candidate;
        pos = candidate + 1;
    }
    return pos;
}

} // namespace nmb::reelkit
