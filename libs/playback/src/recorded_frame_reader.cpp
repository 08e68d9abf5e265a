#include <nmb/playback/recorded_frame_reader.h>

#include <nmb/protocol/frame.h>

#include <cmath>
#include <utility>

namespace nmb::reelcast {

using nmb::protocol::HEADER_SIZE;

RecordedFrameReader::RecordedFrameReader(QFile& file)
    : file_(file)
{
}

ReadStatus RecordedFrameReader::read_next(QByteArray& frame)
{
    using nmb::protocol::FrameCheck;
    QByteArray bytes = file_.read(HEADER_SIZE);
    if (bytes.isEmpty()) {
        if (file_.error() == QFileDevice::NoError)
            return ReadStatus::EndOfFile;
        return fail(file_.errorString());
    }
    qsizetype frame_size = 0;
    FrameCheck check = nmb::protocol::check_frame(bytes, &frame_size);
    if (check == FrameCheck::TruncatedPayload) {
        bytes += file_.read(frame_size - HEADER_SIZE);
        // A failed read is not a short file; say why it stopped.
        if (file_.error() != QFileDevice::NoError)
            return fail(file_.errorString());
        check = nmb::protocol::check_frame(bytes);
    }
    if (check == FrameCheck::Ok) {
        frame = std::move(bytes);
        return ReadStatus::Ok;
    }
    if (check == FrameCheck::CrcMismatch)
        frame.clear();
    return fail(QString::fromLatin1(nmb::protocol::check_text(check)));
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
