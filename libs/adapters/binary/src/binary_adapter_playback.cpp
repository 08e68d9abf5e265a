// The playback half of BinaryAdapter: reader step, timelines and the frame
// timer.
#include <nmb/binary_adapter.h>

#include <nmb/protocol/frame.h>
#include <nmb/protocol/frame_pacer.h>

#include <QtNumeric>

#include <algorithm>
#include <cmath>
#include <limits>

namespace nmb {

namespace {

// Where a timeline frame falls on the playback clock, saturating at both
// ends: a frame that steps back before the clock's start is due at 0.
quint64 due_on_clock(quint64 base_us, qint64 elapsed_us)
{
    const quint64 magnitude = elapsed_us < 0 ? 0 - quint64(elapsed_us) : quint64(elapsed_us);
    if (elapsed_us < 0)
        return magnitude > base_us ? 0 : base_us - magnitude;
    quint64 due = 0;
    return qAddOverflow(base_us, magnitude, &due) ? std::numeric_limits<quint64>::max() : due;
}

// Signed step in microseconds from `previous` to this frame's ticks, clamped
// to the range of the result.
qint64 step_us(const BinaryAdapter::FrameTiming& timing, quint64 previous)
{
    quint64 ticks = timing.timestamp - previous;
    if (timing.timestamp_wraps_32bit)
        ticks &= 0xFFFFFFFFu; // a wrapping counter only ever moves forward
    // Two's complement: without wrapping, a difference above 2^63 is a step
    // backwards.
    const auto signed_ticks = qint64(ticks);
    qint64 step = 0;
    if (qMulOverflow(signed_ticks, qint64(timing.timestamp_scale_us), &step))
        return signed_ticks < 0 ? std::numeric_limits<qint64>::min() : std::numeric_limits<qint64>::max();
    return step;
}

qint64 saturating_add(qint64 a, qint64 b)
{
    qint64 sum = 0;
    if (qAddOverflow(a, b, &sum))
        return b < 0 ? std::numeric_limits<qint64>::min() : std::numeric_limits<qint64>::max();
    return sum;
}

} // namespace

bool BinaryAdapter::open(const QString& path)
{
    stop();
    playback_file_.setFileName(path);
    if (!playback_file_.open(QIODevice::ReadOnly)) {
        Q_EMIT error_occurred(playback_file_.errorString());
        return false;
    }
    return true;
}

void BinaryAdapter::play()
{
    if (!playback_file_.isOpen()) {
        Q_EMIT error_occurred(QStringLiteral("Binary recording is not open."));
        return;
    }
    if (playing_)
        return;
    if (pending_frame_.isEmpty()) {
        FrameTiming timing;
        if (!read_next_frame(pending_frame_, timing)) {
            end_playback();
            return;
        }
        pending_timing_ = timing;
    }
    // The first frame only starts its timeline; the clock counts from the
    // moment it has been emitted.
    (void)schedule_frame(pending_timing_);
    playing_ = true;
    pacer_->reanchor();
    emit_next_frame();
}

void BinaryAdapter::stop()
{
    pacer_->stop();
    playing_ = false;
    ++playback_session_;
    pending_frame_.clear();
    pending_timing_ = FrameTiming();
    stream_timing_.clear();
    playback_clock_us_ = 0;
    playback_file_.close();
}

bool BinaryAdapter::set_playback_rate(double rate)
{
    if (!(rate > 0.0) || !std::isfinite(rate))
        return false;
    playback_rate_ = rate;
    return true;
}

bool BinaryAdapter::read_next_frame(QByteArray& frame, FrameTiming& timing)
{
    using namespace protocol;
    frame = playback_file_.read(HEADER_SIZE);
    if (frame.isEmpty()) {
        // A failed read is not the end of the file; say why it stopped.
        const bool at_end = playback_file_.error() == QFileDevice::NoError;
        return at_end ? false : fail_read(playback_file_.errorString());
    }
    qsizetype frame_size = 0;
    FrameCheck check = check_frame(frame, &frame_size);
    if (check == FrameCheck::TruncatedPayload) {
        frame += playback_file_.read(frame_size - HEADER_SIZE);
        if (playback_file_.error() != QFileDevice::NoError)
            return fail_read(playback_file_.errorString());
        check = check_frame(frame);
    }
    switch (check) {
    case FrameCheck::Ok:
        return read_frame_timing(frame, timing);
    case FrameCheck::TruncatedHeader:
        return fail_read(QStringLiteral("Truncated frame header."));
    case FrameCheck::InvalidHeader:
        return fail_read(QStringLiteral("Invalid frame header."));
    case FrameCheck::TruncatedPayload:
        return fail_read(QStringLiteral("Truncated frame payload."));
    case FrameCheck::CrcMismatch:
        break;
    }
    frame.clear();
    return fail_read(QStringLiteral("Frame CRC mismatch."));
}

bool BinaryAdapter::read_frame_timing(const QByteArray& frame, FrameTiming& timing)
{
    const reelcast::FrameMetadata meta = reelcast::read_metadata(frame);
    timing.frame_id = meta.frame_id;
    if (meta.frame_id != 0) {
        return fail_read(QStringLiteral("Frame ID %1 has no supported playback timestamp.")
                             .arg(meta.frame_id));
    }
    if (meta.timestamp_scale_us == 0)
        return fail_read(QStringLiteral("Frame payload is too short to contain a timestamp."));
    timing.timestamp = meta.timestamp;
    timing.timestamp_scale_us = meta.timestamp_scale_us;
    return true;
}

double BinaryAdapter::schedule_frame(const FrameTiming& timing)
{
    StreamTiming& stream = stream_timing_[timing.frame_id];
    if (!stream.started) {
        stream = StreamTiming{timing.timestamp, 0, playback_clock_us_, true};
        return 0.0;
    }
    // Elapsed time is signed: a step back lowers it, below zero when the
    // frame lies before the timeline's first one, instead of wrapping to a
    // due time centuries ahead.
    stream.elapsed_us = saturating_add(stream.elapsed_us, step_us(timing, stream.last_timestamp));
    stream.last_timestamp = timing.timestamp;

    // Frames never go back in time: one due before its predecessor goes out
    // right after it.
    const quint64 due = std::max(due_on_clock(stream.base_us, stream.elapsed_us), playback_clock_us_);
    const double delay_ms = double(due - playback_clock_us_) / 1000.0;
    playback_clock_us_ = due;
    return delay_ms / playback_rate_;
}

void BinaryAdapter::emit_next_frame()
{
    if (!playing_)
        return;
    const quint64 session = playback_session_;
    Q_EMIT data_received(QByteArray(pending_frame_));
    // A receiver that stopped (or stopped and restarted) playback owns what
    // happens next.
    if (session != playback_session_ || !playing_)
        return;
    pacer_->frame_played();

    pending_frame_.clear();
    FrameTiming timing;
    if (!read_next_frame(pending_frame_, timing)) {
        end_playback();
        return;
    }
    pending_timing_ = timing;
    pacer_->arm(schedule_frame(timing));
}

bool BinaryAdapter::fail_read(const QString& message)
{
    Q_EMIT error_occurred(message);
    return false;
}

void BinaryAdapter::end_playback()
{
    stop();
    Q_EMIT finished();
}

} // namespace nmb
