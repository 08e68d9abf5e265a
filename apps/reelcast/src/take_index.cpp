#include "take_index.h"

#include <algorithm>
#include <cmath>

namespace nmb::reelcast {

namespace {

// Every so many frames one is remembered: a jump reads at most this many
// frames of a stretch read before (a quarter of a second at 120 Hz).
constexpr quint64 CHECKPOINT_SPACING = 32;

} // namespace

TakeIndex::TakeIndex(QFile& file, RecordedFrameReader& reader)
    : file_(file)
    , reader_(reader)
{
}

ReadStatus TakeIndex::fail_seek()
{
    error_ = file_.errorString();
    return ReadStatus::Error;
}

void TakeIndex::clear()
{
    error_.clear();
    checkpoints_.clear();
    frontier_ = 0;
    next_index_ = 0;
    clock_ = TakeClock();
}

ReadStatus TakeIndex::read_at_cursor(QByteArray& frame, qint64& start)
{
    start = file_.pos();
    const TakeClock before = clock_;
    const ReadStatus status = reader_.read_next(frame);
    if (status != ReadStatus::Ok)
        return status;
    const FrameMetadata meta = read_metadata(frame);
    (void)clock_.add_frame(meta);
    // Only a frame right at the end of the stretch read so far extends it,
    // so the stretch never has a hole in it. A frame without a timestamp
    // ends it for good: a jump by time must stop there as playback does.
    if (start == frontier_ && meta.timestamp_scale_us != 0) {
        if (next_index_ % CHECKPOINT_SPACING == 0)
            checkpoints_.push_back({start, next_index_, before});
        frontier_ = file_.pos();
    }
    ++next_index_;
    return status;
}

ReadStatus TakeIndex::read_next(QByteArray& frame)
{
    error_.clear();
    qint64 start = 0;
    return read_at_cursor(frame, start);
}

bool TakeIndex::move_to(const Checkpoint& checkpoint)
{
    if (!file_.seek(checkpoint.position))
        return false;
    next_index_ = checkpoint.index;
    clock_ = checkpoint.clock;
    return true;
}

bool TakeIndex::rewind()
{
    error_.clear();
    if (move_to(Checkpoint{}))
        return true;
    (void)fail_seek();
    return false;
}

ReadStatus TakeIndex::seek_to_time(qint64 offset_us, quint64& frame_index)
{
    reader_.reset();
    error_.clear();
    frame_index = 0;
    // The last remembered frame whose predecessor lies before the target;
    // the first frame always qualifies.
    const auto after = std::partition_point(
        checkpoints_.begin(), checkpoints_.end(), [offset_us](const Checkpoint& c) {
            return !c.clock.started() || c.clock.offset_us() < offset_us;
        });
    const Checkpoint from = after == checkpoints_.begin() ? Checkpoint{} : *std::prev(after);
    if (!move_to(from))
        return fail_seek();
    QByteArray scratch;
    for (;;) {
        const TakeClock before = clock_;
        const quint64 index = next_index_;
        qint64 start = 0;
        const ReadStatus status = read_at_cursor(scratch, start);
        if (status != ReadStatus::Ok)
            return status;
        if (read_metadata(scratch).timestamp_scale_us == 0)
            return ReadStatus::Error; // no text: the caller names the missing timestamp
        if (clock_.offset_us() >= offset_us) {
            if (!move_to(Checkpoint{start, index, before}))
                return fail_seek();
            frame_index = index;
            reader_.reset();
            return ReadStatus::Ok;
        }
    }
}

ReadStatus TakeIndex::seek_to_fraction(double fraction, quint64& frame_index)
{
    reader_.reset();
    error_.clear();
    frame_index = 0;
    const double clamped = fraction > 1.0 ? 1.0 : (fraction > 0.0 ? fraction : 0.0);
    const qint64 target = std::llround(double(file_.size()) * clamped);
    // The last remembered frame that starts before the target: every frame
    // before it ends at or before its start, so none of them is the answer.
    const auto after = std::partition_point(checkpoints_.begin(), checkpoints_.end(),
                                            [target](const Checkpoint& c) { return c.position < target; });
    const Checkpoint from = after == checkpoints_.begin() ? Checkpoint{} : *std::prev(after);
    if (!move_to(from))
        return fail_seek();

    Checkpoint chosen;
    Checkpoint previous;
    bool any = false;
    QByteArray scratch;
    for (;;) {
        const Checkpoint here{file_.pos(), next_index_, clock_};
        qint64 start = 0;
        const ReadStatus status = read_at_cursor(scratch, start);
        if (status == ReadStatus::Error)
            return status;
        if (status == ReadStatus::EndOfFile) {
            if (!any)
                return ReadStatus::EndOfFile;
            chosen = previous;
            break;
        }
        any = true;
        frame_index = here.index;
        if (file_.pos() >= target) {
            chosen = here;
            break;
        }
        previous = here;
    }
    frame_index = chosen.index;
    if (!move_to(chosen))
        return fail_seek();
    reader_.reset();
    return ReadStatus::Ok;
}

} // namespace nmb::reelcast
