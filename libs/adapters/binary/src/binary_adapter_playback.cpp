// The playback half of BinaryAdapter: the shared reader, timelines and pacer
// driven by the adapter's own rules.
#include <nmb/binary_adapter.h>

#include <nmb/playback/frame_pacer.h>
#include <nmb/playback/recorded_frame_reader.h>
#include <nmb/playback/timestamp_scheduler.h>
#include <nmb/protocol/frame.h>

#include <cmath>

namespace nmb {

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
    scheduler_->reset();
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
    using reelcast::ReadStatus;
    switch (reader_->read_next(frame)) {
    case ReadStatus::Ok:
        return read_frame_timing(frame, timing);
    case ReadStatus::EndOfFile:
        return false;
    case ReadStatus::Error:
        break;
    }
    const QString reason = reader_->error_string();
    reader_->reset();
    return fail_read(reason);
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
    reelcast::FrameMetadata meta;
    meta.frame_id = timing.frame_id;
    meta.timestamp = timing.timestamp;
    meta.timestamp_scale_us = timing.timestamp_scale_us;
    meta.timestamp_wraps_32bit = timing.timestamp_wraps_32bit;
    return scheduler_->add_frame(meta, playback_rate_);
}

void BinaryAdapter::emit_next_frame()
{
    if (!playing_)
        return;
    const quint64 session = playback_session_;
    const qint64 handed_ns = pacer_->now_ns();
    Q_EMIT data_received(QByteArray(pending_frame_));
    // A receiver that stopped (or stopped and restarted) playback owns what
    // happens next.
    if (session != playback_session_ || !playing_)
        return;
    pacer_->frame_played(handed_ns, pacer_->now_ns());

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
