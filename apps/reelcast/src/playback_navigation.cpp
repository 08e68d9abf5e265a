// Moving about in a take: the slider's seek, jumps by time, the restart and
// the start of every pass of a loop.
#include "playback_engine.h"

#include <algorithm>

namespace nmb::reelcast {

namespace {

const QString NO_TIMESTAMP = QStringLiteral("Frame has no usable timestamp.");
const QString EMPTY_RECORDING = QStringLiteral("Recording is empty.");

} // namespace

void PlaybackEngine::seek(double fraction)
{
    if (!file_.isOpen())
        return;
    reposition([this, fraction](quint64& index) { return index_.seek_to_fraction(fraction, index); },
               state_ == State::Playing);
}

void PlaybackEngine::jump_to(qint64 offset_us)
{
    if (!file_.isOpen())
        return;
    const qint64 target = std::max(offset_us, start_us_);
    reposition([this, target](quint64& index) { return index_.seek_to_time(target, index); },
               state_ == State::Playing);
}

void PlaybackEngine::restart()
{
    if (!file_.isOpen())
        return;
    reposition([this](quint64& index) { return index_.seek_to_time(start_us_, index); }, true);
}

// Halts, lets `locate` place the file on a frame and reads that frame as the
// pending one; playback then runs on from there or stays halted. A jump past
// the last frame (or past the play window's end) ends the pass.
bool PlaybackEngine::reposition(const std::function<ReadStatus(quint64&)>& locate, bool play_after)
{
    state_ = State::Halted;
    stopped_ = false;
    pacer_.stop();
    pending_frame_.clear();
    scheduler_.reset();
    reset_timing();

    quint64 index = 0;
    ReadStatus status = locate(index);
    const bool located = status == ReadStatus::Ok;
    const qint64 position = file_.pos();
    if (located)
        status = load_next_frame();
    if (status == ReadStatus::EndOfFile && (located || index_.next_index() > 0)) {
        end_pass(play_after);
        return false;
    }
    if (status != ReadStatus::Ok) {
        // An error without a text is a frame without a timestamp.
        fail_with_reader_error(status == ReadStatus::EndOfFile ? EMPTY_RECORDING : NO_TIMESTAMP);
        return false;
    }
    frames_played_ = index;
    position_us_ = pending_offset_us_;
    Q_EMIT frame_count_changed(frames_played_);
    Q_EMIT progress_changed(position, file_.size());

    if (play_after) {
        state_ = State::Playing;
        pacer_.reanchor();
        pacer_.arm(0.0);
        report_progress(true);
    } else {
        report_progress(true);
        Q_EMIT playback_paused();
    }
    return true;
}

void PlaybackEngine::end_pass(bool play_after)
{
    if (loop_enabled()) {
        restart_pass(play_after);
        return;
    }
    // Shown as at the natural end: the end of the take or of the play window.
    position_us_ = end_us_ ? std::min(*end_us_, duration_us()) : duration_us();
    finish();
}

void PlaybackEngine::restart_pass(bool play_after)
{
    scheduler_.reset();
    pending_frame_.clear();
    // Frames played is kept, so frame numbers keep rising across passes.
    quint64 index = 0;
    ReadStatus status = start_us_ > 0 ? index_.seek_to_time(start_us_, index)
                                      : (index_.rewind() ? ReadStatus::Ok : ReadStatus::Error);
    const qint64 position = file_.pos();
    if (status == ReadStatus::Ok)
        status = load_next_frame();
    Q_EMIT progress_changed(position, file_.size());
    if (status == ReadStatus::Error) {
        fail_with_reader_error(NO_TIMESTAMP);
        return;
    }
    if (status == ReadStatus::EndOfFile) {
        finish();
        return;
    }
    position_us_ = pending_offset_us_;
    if (!play_after) {
        state_ = State::Halted;
        report_progress(true);
        Q_EMIT playback_paused();
        return;
    }
    // The new pass follows the old one at once; lateness does not carry.
    state_ = State::Playing;
    pacer_.reanchor();
    pacer_.arm(0.0);
    report_progress(false);
}

} // namespace nmb::reelcast
