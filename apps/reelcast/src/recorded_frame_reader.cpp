#include "recorded_frame_reader.h"

#include <nmb/protocol/crc32.h>
#include <nmb/protocol/frame.h>

#include <cmath>

namespace nmb::reelcast {

using nmb::protocol::HEADER_SIZE;
using nmb::protocol::TRAILER_SIZE;

RecordedFrameReader::RecordedFrameReader(QFile& file)
    : file_(file)
{
}

ReadStatus RecordedFrameReader::read_next(QByteArray& frame)
{
    const QByteArray header = file_.read(HEADER_SIZE);
    if (header.isEmpty()) {
        if (file_.error() == QFileDevice::NoError)
            return ReadStatus::EndOfFile;
        return fail(file_.errorString());
    }
    if (header.size() < HEADER_SIZE)
        return fail(QStringLiteral("Truncated frame header."));
    if (quint8(header[0]) != nmb::protocol::SYNC0 || quint8(header[1]) != nmb::protocol::SYNC1)
        return fail(QStringLiteral("Invalid frame header."));

    const qsizetype payload_length = nmb::protocol::read_u16(header.constData() + 4);
    const QByteArray rest = file_.read(payload_length + TRAILER_SIZE);
    if (rest.size() < payload_length + TRAILER_SIZE)
        return fail(QStringLiteral("Truncated frame payload."));

    frame = header + rest;
    const qsizetype covered = HEADER_SIZE + payload_length;
    const quint32 stored = nmb::protocol::read_u32(frame.constData() + covered);
    if (nmb::protocol::frame_crc32(frame.constData(), std::size_t(covered)) != stored) {
        frame.clear();
        return fail(QStringLiteral("Frame CRC mismatch."));
    }
    return ReadStatus::Ok;
}

ReadStatus RecordedFrameReader::seek_to_fraction(double fraction, quint64& frame_index)
{
    reset();
    frame_index = 0;
    if (!file_.seek(0))
        return fail(file_.errorString());

    // NaN fails every comparison, so it ends up at 0 like the negatives.
    const double clamped = fraction > 1.0 ? 1.0 : (fraction > 0.0 ? fraction : 0.0);
    const qint64 target = std::llround(double(file_.size()) * clamped);

    quint64 count = 0;
    qint64 previous_start = 0;
    qint64 chosen = 0;
    QByteArray scratch;
    for (;;) {
        const qint64 start = file_.pos();
        const ReadStatus status = read_next(scratch);
        if (status == ReadStatus::Error)
            return status;
        if (status == ReadStatus::EndOfFile) {
            if (count == 0)
                return ReadStatus::EndOfFile;
            chosen = previous_start;
            break;
        }
        frame_index = count;
        if (file_.pos() >= target) {
            chosen = start;
            break;
        }
        previous_start = start;
        ++count;
    }

    if (!file_.seek(chosen))
        return fail(file_.errorString());
    reset();
    return ReadStatus::Ok;
}

void RecordedFrameReader::reset()
{
    error_ = QString();
}

ReadStatus RecordedFrameReader::fail(const QString& message)
{
    error_ = message;
    return ReadStatus::Error;
}

} // namespace nmb::reelcast
