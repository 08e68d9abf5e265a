#include "playback_engine.h"

#include "format_frame.h"
#include "progress_text.h"

#include <nmb/tui.h>
#include <nmb/tui_qt_actions.h>

#include <QCoreApplication>
#include <QDebug>

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <utility>

namespace nmb::reelcast {

namespace {

const QString NO_TIMESTAMP = QStringLiteral("Frame has no usable timestamp.");
const QString EMPTY_RECORDING = QStringLiteral("Recording is empty.");
const QString EMPTY_WINDOW = QStringLiteral("No frame lies between the start and end times.");
const QString START_BEYOND_END = QStringLiteral("Start time is beyond the end of the recording.");

constexpr double MIN_RATE = 0.1;
constexpr double MAX_RATE = 100.0;
constexpr qint64 PROGRESS_INTERVAL_MS = 100;

// Space plays while playback is halted and pauses while it runs; the action
// page shows the key on the action it triggers now.
void bind_space_key(bool playing)
{
    TuiQtActions::register_qt_action(ACTION_PLAY, "resume binary playback", playing ? "" : "Space");
    TuiQtActions::register_qt_action(ACTION_PAUSE, "pause binary playback", playing ? "Space" : "");
}

void log_playback_error(const QString& message)
{
    qCritical().noquote() << "Playback error:" << message;
}

} // namespace

void register_console_actions()
{
    bind_space_key(false);
    TuiQtActions::register_qt_action(ACTION_QUIT, "quit binary playback");
    TuiQtActions::register_qt_action(ACTION_RATE_DOWN, "halve the playback rate", "-");
    TuiQtActions::register_qt_action(ACTION_RATE_UP, "double the playback rate", "+");
    TuiQtActions::register_qt_action(ACTION_RESTART, "play from the start", "Home");
    TuiQtActions::register_qt_action(ACTION_SEEK_BACK, "jump back 5 s", "Left");
    TuiQtActions::register_qt_action(ACTION_SEEK_FORWARD, "jump forward 5 s", "Right");
}

PlaybackEngine::PlaybackEngine(QObject* parent)
    : QObject(parent)
{
    (void)udp_.initialize();
    connect(&pacer_, &playback::FramePacer::frame_due, this, &PlaybackEngine::play_next_frame);
    connect(&timing_, &TimingReport::report_ready, this, &PlaybackEngine::publish_timing);
    connect(&udp_, &UdpAdapter::error_occurred, this, [this](const QString& message) {
        fail_playback(QStringLiteral("UDP send error: %1").arg(message));
    });
}

PlaybackEngine::~PlaybackEngine()
{
    pacer_.stop();
}

bool PlaybackEngine::set_rate(double rate)
{
    if (!(rate > 0.0) || !std::isfinite(rate))
        return false;
    const double old_rate = std::exchange(rate_, rate);
    if (old_rate == rate)
        return true;
    if (state_ == State::Playing) {
        pacer_.rescale_remaining(old_rate / rate);
        report_progress(true);
    }
    reset_timing(); // lateness at the old rate says nothing about the new one
    return true;
}

void PlaybackEngine::step_rate(bool up)
{
    (void)set_rate(std::clamp(up ? rate_ * 2.0 : rate_ / 2.0, MIN_RATE, MAX_RATE));
}

void PlaybackEngine::set_play_window(qint64 start_us, std::optional<qint64> end_us)
{
    start_us_ = std::max<qint64>(start_us, 0);
    end_us_ = end_us;
}

void PlaybackEngine::set_max_gap_us(std::optional<qint64> max_gap_us)
{
    scheduler_.set_policy(max_gap_us ? TimingPolicy::replay_capped(quint64(std::max<qint64>(*max_gap_us, 0)))
                                     : TimingPolicy::replay());
}

void PlaybackEngine::set_destination(const QHostAddress& address, quint16 port)
{
    destination_ = address;
    port_ = port;
    udp_enabled_ = true;
}

void PlaybackEngine::clear_destination()
{
    destination_ = QHostAddress();
    port_ = 0;
    udp_enabled_ = false;
}

bool PlaybackEngine::open_recording(const QString& path)
{
    state_ = State::Idle;
    pacer_.stop();

    file_.close();
    file_.setFileName(path);
    if (!file_.open(QIODevice::ReadOnly)) {
        const QString reason = file_.errorString();
        log_playback_error(reason);
        Q_EMIT open_failed(reason);
        return false;
    }

    current_path_ = path;
    reset_timing();
    exit_code_ = 0;
    frames_played_ = 0;
    next_delay_ms_ = 0.0;
    pending_frame_.clear();
    reader_.reset();
    scheduler_.reset();
    index_.clear();
    span_ = read_take_span(file_);
    position_us_ = 0;
    stopped_ = false;
    Q_EMIT playback_started(path);
    Q_EMIT progress_changed(0, file_.size());

    ReadStatus status = ReadStatus::Ok;
    if (start_us_ > 0) {
        quint64 index = 0;
        status = index_.seek_to_time(start_us_, index);
        frames_played_ = index;
    }
    QString reason;
    if (status == ReadStatus::EndOfFile) {
        reason = START_BEYOND_END;
    } else if (status == ReadStatus::Ok) {
        status = load_next_frame();
        position_us_ = pending_offset_us_;
        if (status == ReadStatus::EndOfFile && end_us_ && index_.next_index() > 0)
            reason = EMPTY_WINDOW; // the first frame of the window lies at or after its end
    }
    if (status != ReadStatus::Ok) {
        if (reason.isEmpty())
            reason = index_.error_string();
        if (reason.isEmpty())
            reason = status == ReadStatus::EndOfFile ? EMPTY_RECORDING : NO_TIMESTAMP;
        log_playback_error(reason);
        Q_EMIT open_failed(reason);
        return false;
    }

    const bool loop = loop_enabled();
    const std::string udp_text = udp_enabled_
        ? fmt::format(" Sending each frame to {}:{} over UDP.", destination_.toString().toStdString(),
                      port_)
        : std::string();
    qInfo().noquote() << QString::fromStdString(
        fmt::format("Playing '{}' using frame timestamps at {}x{}{}", path.toStdString(), rate_,
                    loop ? " in a loop." : ".", udp_text));

    state_ = State::Playing;
    pacer_.reanchor();
    pacer_.arm(0.0);
    report_progress(true);
    return true;
}

void PlaybackEngine::play_next_frame()
{
    if (state_ != State::Playing)
        return;
    const QByteArray frame = std::exchange(pending_frame_, QByteArray());
    ++frames_played_;
    position_us_ = pending_offset_us_;
    Q_EMIT frame_count_changed(frames_played_);
    Q_EMIT progress_changed(file_.pos(), file_.size());

    const qint64 handed_ns = pacer_.now_ns(); // the frame leaves inside the write
    if (udp_enabled_) {
        const qint64 sent = udp_.write(frame, destination_, port_);
        if (sent != frame.size()) {
            fail_playback(QStringLiteral("Failed to send complete frame over UDP."));
            return;
        }
    }
    // A fresh schedule starts when its first frame has actually gone out (as
    // a quick send began, or as a slow one returned), so a slow start (event
    // loop still starting, the socket's first send) does not squeeze the
    // frames that follow; that frame is on time by definition.
    const qint64 sent_ns = pacer_.now_ns();
    pacer_.frame_played(handed_ns, sent_ns);
    timing_.add(handed_ns - pacer_.due_ns(), sent_ns);
    Tui::instance().print(CHANNEL_FRAME, "binary playback frame",
                          format_frame(frame, frames_played_));
    report_progress(false);

    const ReadStatus status = load_next_frame();
    if (status == ReadStatus::EndOfFile && loop_enabled())
        restart_pass();
    else if (status == ReadStatus::Error)
        fail_with_reader_error(NO_TIMESTAMP);
    else if (status == ReadStatus::EndOfFile)
        finish();
    else
        pacer_.arm(next_delay_ms_);
}

ReadStatus PlaybackEngine::load_next_frame()
{
    ReadStatus status = index_.read_next(pending_frame_);
    if (status != ReadStatus::Ok)
        return status;
    const FrameMetadata meta = read_metadata(pending_frame_);
    if (meta.timestamp_scale_us == 0) {
        pending_frame_.clear();
        return ReadStatus::Error;
    }
    pending_offset_us_ = index_.last_offset_us();
    if (end_us_ && pending_offset_us_ >= *end_us_) {
        // The play window ends before this frame: the pass ends here.
        pending_frame_.clear();
        return ReadStatus::EndOfFile;
    }
    next_delay_ms_ = scheduler_.add_frame(meta, rate_);
    return status;
}

void PlaybackEngine::fail_playback(const QString& message)
{
    state_ = State::Failed;
    exit_code_ = 1;
    pacer_.stop();
    Tui::instance().print(CHANNEL_ERROR, "binary playback error", message.toStdString());
    report_progress(true);
    // Announced before it is logged: a headless program closes its console
    // in between, so the line is not drawn over.
    Q_EMIT playback_failed(message);
    log_playback_error(message);
}

void PlaybackEngine::resume()
{
    if (state_ != State::Halted || pending_frame_.isEmpty())
        return;
    state_ = State::Playing;
    stopped_ = false;
    pacer_.reanchor();
    pacer_.arm(0.0);
    report_progress(true);
    Q_EMIT frame_count_changed(frames_played_);
}

void PlaybackEngine::pause()
{
    if (state_ != State::Playing)
        return;
    state_ = State::Halted;
    pacer_.stop();
    report_progress(true);
    Q_EMIT playback_paused();
}

void PlaybackEngine::stop()
{
    if (state_ != State::Playing)
        return;
    state_ = State::Halted;
    stopped_ = true;
    pacer_.stop();
    report_progress(true);
    Q_EMIT playback_stopped(frames_played_);
}

void PlaybackEngine::replay()
{
    if (!current_path_.isEmpty())
        (void)open_recording(current_path_);
}

void PlaybackEngine::handle_console_action(const QString& action_id)
{
    if (action_id == QLatin1String(ACTION_PLAY))
        resume();
    else if (action_id == QLatin1String(ACTION_PAUSE))
        pause();
    else if (action_id == QLatin1String(ACTION_QUIT))
        QCoreApplication::quit();
    else if (action_id == QLatin1String(ACTION_RATE_DOWN))
        step_rate(false);
    else if (action_id == QLatin1String(ACTION_RATE_UP))
        step_rate(true);
    else if (action_id == QLatin1String(ACTION_RESTART))
        restart();
    else if (action_id == QLatin1String(ACTION_SEEK_BACK))
        jump_by(-JUMP_STEP_US);
    else if (action_id == QLatin1String(ACTION_SEEK_FORWARD))
        jump_by(JUMP_STEP_US);
}

void PlaybackEngine::reset_timing()
{
    timing_.reset();
    Q_EMIT timing_changed(QString());
}

void PlaybackEngine::publish_timing()
{
    Tui::instance().print(CHANNEL_TIMING, "playback timing", timing_.meter().report());
    Q_EMIT timing_changed(QString::fromStdString(timing_.meter().summary()));
}

bool PlaybackEngine::loop_enabled() const
{
    return loop_source_ ? loop_source_() : loop_;
}

void PlaybackEngine::finish()
{
    state_ = State::Finished;
    report_progress(true);
    Q_EMIT playback_finished(frames_played_); // before the log line, as for failures
    qInfo().noquote() << QString::fromStdString(
        fmt::format("Playback finished: {} frame(s).", frames_played_));
}

std::string PlaybackEngine::state_text() const
{
    switch (state_) {
    case State::Playing:
        return playing_state_text(rate_);
    case State::Halted:
        return stopped_ ? "stopped" : "paused";
    case State::Finished:
        return "finished";
    case State::Failed:
        return "error";
    case State::Idle:
        break;
    }
    return "stopped";
}

void PlaybackEngine::report_progress(bool state_changed)
{
    if (!state_changed && progress_clock_.isValid()
        && progress_clock_.elapsed() < PROGRESS_INTERVAL_MS)
        return;
    progress_clock_.start();
    const bool playing = state_ == State::Playing;
    if (playing != space_pauses_) {
        space_pauses_ = playing;
        bind_space_key(playing);
    }
    Tui::instance().print(CHANNEL_PROGRESS, "playback progress",
                          format_progress(position_us_, duration_us(), state_text()));
    Q_EMIT time_changed(position_us_, duration_us());
}

void PlaybackEngine::fail_with_reader_error(const QString& fallback)
{
    const QString& text = index_.error_string();
    fail_playback(text.isEmpty() ? fallback : text);
}

} // namespace nmb::reelcast
