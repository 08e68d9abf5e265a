#include "take_time.h"

#include <nmb/protocol/crc32.h>

#include <algorithm>
#include <limits>

namespace nmb::reelcast {

namespace {

using nmb::protocol::HEADER_SIZE;
using nmb::protocol::TRAILER_SIZE;

constexpr qint64 MAX_FRAME_SIZE = HEADER_SIZE + 0xFFFF + TRAILER_SIZE;
// How far back from the end the last frame is looked for: damage at the end
// of a take longer than this leaves its length unknown rather than making
// opening read the whole file.
constexpr qint64 TAIL_SEARCH_LIMIT = 16 * MAX_FRAME_SIZE;

// A whole frame with a matching checksum starting at `at` in `bytes`.
bool is_whole_frame(const QByteArray& bytes, qsizetype at)
{
    if (at + HEADER_SIZE + TRAILER_SIZE > bytes.size())
        return false;
    const char* p = bytes.constData() + at;
    if (quint8(p[0]) != nmb::protocol::SYNC0 || quint8(p[1]) != nmb::protocol::SYNC1)
        return false;
    const qsizetype covered = HEADER_SIZE + nmb::protocol::read_u16(p + 4);
    return at + covered + TRAILER_SIZE <= bytes.size()
        && nmb::protocol::frame_crc32(p, std::size_t(covered)) == nmb::protocol::read_u32(p + covered);
}

// Metadata of the last whole, timestamped frame of the file's last `limit` bytes.
std::optional<FrameMetadata> last_timed_frame(QFile& file, qint64 limit)
{
    const qint64 from = std::max<qint64>(0, file.size() - limit);
    if (!file.seek(from))
        return std::nullopt;
    const QByteArray tail = file.read(file.size() - from);
    for (qsizetype at = tail.size() - HEADER_SIZE - TRAILER_SIZE; at >= 0; --at) {
        if (!is_whole_frame(tail, at))
            continue;
        const qsizetype size = HEADER_SIZE + nmb::protocol::read_u16(tail.constData() + at + 4) + TRAILER_SIZE;
        const FrameMetadata meta = read_metadata(tail.mid(at, size));
        if (meta.timestamp_scale_us != 0)
            return meta;
    }
    return std::nullopt;
}

// Microseconds of `ticks`, held at the largest offset a take can show.
qint64 saturated_us(quint64 ticks, quint64 scale_us)
{
    constexpr quint64 LIMIT = quint64(std::numeric_limits<qint64>::max());
    if (scale_us != 0 && ticks > LIMIT / scale_us)
        return qint64(LIMIT);
    return qint64(ticks * scale_us);
}

} // namespace

std::optional<quint64> timestamp_advance(const FrameMetadata& meta, quint64 previous)
{
    if (meta.timestamp_wraps_32bit) {
        const quint32 t = quint32(meta.timestamp);
        const quint32 p = quint32(previous);
        // A counter in its top quarter followed by one in its bottom quarter
        // has wrapped; any other decrease is a real step backwards.
        if (p > t && p > 0xBFFFFFFFu && t <= 0x40000000u)
            return quint64(quint32(t - p));
        if (t >= p)
            return quint64(t - p);
        return std::nullopt;
    }
    if (meta.timestamp < previous)
        return std::nullopt;
    return meta.timestamp - previous;
}

qint64 TakeClock::add_frame(const FrameMetadata& meta)
{
    if (meta.timestamp_scale_us == 0)
        return offset_us_;
    if (started_) {
        if (const std::optional<quint64> advance = timestamp_advance(meta, last_timestamp_)) {
            const qint64 step = saturated_us(*advance, meta.timestamp_scale_us);
            offset_us_ = step > std::numeric_limits<qint64>::max() - offset_us_
                ? std::numeric_limits<qint64>::max()
                : offset_us_ + step;
        }
    }
    started_ = true;
    last_timestamp_ = meta.timestamp;
    return offset_us_;
}

std::optional<TakeSpan> read_take_span(QFile& file)
{
    const qint64 position = file.pos();
    std::optional<TakeSpan> span;
    if (file.seek(0)) {
        const QByteArray head = file.read(MAX_FRAME_SIZE);
        const FrameMetadata first = is_whole_frame(head, 0) ? read_metadata(head) : FrameMetadata{};
        if (first.timestamp_scale_us != 0) {
            span = TakeSpan{first.timestamp, 0};
            // Most takes end on a whole frame: a short look usually finds it.
            std::optional<FrameMetadata> last = last_timed_frame(file, 2 * MAX_FRAME_SIZE);
            if (!last && file.size() > 2 * MAX_FRAME_SIZE)
                last = last_timed_frame(file, TAIL_SEARCH_LIMIT);
            if (last) {
                const std::optional<quint64> advance = timestamp_advance(*last, first.timestamp);
                span->duration_us = advance ? saturated_us(*advance, last->timestamp_scale_us) : 0;
            }
        }
    }
    (void)file.seek(position);
    return span;
}

} // namespace nmb::reelcast
