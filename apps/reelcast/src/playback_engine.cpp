#include "playback_engine.h"

#include "format_frame.h"

#include <nmb/tui.h>
#include <nmb/tui_qt_actions.h>

#include <QCoreApplication>
#include <QDebug>

#include <fmt/format.h>

#include <cmath>
#include <utility>

namespace nmb::reelcast {

namespace {

const QString NO_TIMESTAMP = QStringLiteral("Frame has no usable timestamp.");
const QString EMPTY_RECORDING = QStringLiteral("Recording is empty.");

void log_playback_error(const QString& message)
{
    qCritical().noquote() << "Playback error:" << message;
}

} // namespace

void register_console_actions()
{
    TuiQtActions::register_qt_action(ACTION_PLAY, "resume binary playback");
    TuiQtActions::register_qt_action(ACTION_PAUSE, "pause binary playback");
    TuiQtActions::register_qt_action(ACTION_QUIT, "quit binary playback");
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
    if (state_ == State::Playing)
        pacer_.rescale_remaining(old_rate / rate);
    reset_timing(); // lateness at the old rate says nothing about the new one
    return true;
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
    Q_EMIT playback_started(path);
    Q_EMIT progress_changed(0, file_.size());

    const ReadStatus status = load_next_frame();
    if (status != ReadStatus::Ok) {
        QString reason = reader_.error_string();
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
    return true;
}

void PlaybackEngine::play_next_frame()
{
    if (state_ != State::Playing)
        return;
    const QByteArray frame = std::exchange(pending_frame_, QByteArray());
    ++frames_played_;
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
    ReadStatus status = reader_.read_next(pending_frame_);
    if (status != ReadStatus::Ok)
        return status;
    const FrameMetadata meta = read_metadata(pending_frame_);
    if (meta.timestamp_scale_us == 0) {
        pending_frame_.clear();
        return ReadStatus::Error;
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
    pacer_.reanchor();
    pacer_.arm(0.0);
    Q_EMIT frame_count_changed(frames_played_);
}

void PlaybackEngine::pause()
{
    if (state_ != State::Playing)
        return;
    state_ = State::Halted;
    pacer_.stop();
    Q_EMIT playback_paused();
}

void PlaybackEngine::stop()
{
    if (state_ != State::Playing)
        return;
    state_ = State::Halted;
    pacer_.stop();
    Q_EMIT playback_stopped(frames_played_);
}

void PlaybackEngine::replay()
{
    if (!current_path_.isEmpty())
        (void)open_recording(current_path_);
}

void PlaybackEngine::seek(double fraction)
{
    if (!file_.isOpen())
        return;
    const bool was_playing = state_ == State::Playing;
    state_ = State::Halted;
    pacer_.stop();
    pending_frame_.clear();
    scheduler_.reset();
    reset_timing();

    quint64 index = 0;
    if (reader_.seek_to_fraction(fraction, index) != ReadStatus::Ok) {
        fail_with_reader_error(EMPTY_RECORDING);
        return;
    }
    const qint64 position = file_.pos();
    frames_played_ = index;
    if (load_next_frame() != ReadStatus::Ok) {
        fail_with_reader_error(NO_TIMESTAMP);
        return;
    }
    Q_EMIT frame_count_changed(frames_played_);
    Q_EMIT progress_changed(position, file_.size());

    if (was_playing) {
        state_ = State::Playing;
        pacer_.reanchor();
        pacer_.arm(0.0);
    } else {
        Q_EMIT playback_paused();
    }
}

void PlaybackEngine::handle_console_action(const QString& action_id)
{
    if (action_id == QLatin1String(ACTION_PLAY))
        resume();
    else if (action_id == QLatin1String(ACTION_PAUSE))
        pause();
    else if (action_id == QLatin1String(ACTION_QUIT))
        QCoreApplication::quit();
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

void PlaybackEngine::restart_pass()
{
    if (!file_.seek(0)) {
        fail_playback(file_.errorString());
        return;
    }
    reader_.reset();
    scheduler_.reset();
    const ReadStatus status = load_next_frame();
    Q_EMIT progress_changed(0, file_.size());
    if (status == ReadStatus::Error) {
        fail_with_reader_error(NO_TIMESTAMP);
    } else if (status == ReadStatus::EndOfFile) {
        finish();
    } else {
        // The new pass follows the old one at once; lateness does not carry.
        pacer_.reanchor();
        pacer_.arm(0.0);
    }
}

void PlaybackEngine::finish()
{
    state_ = State::Finished;
    Q_EMIT playback_finished(frames_played_); // before the log line, as for failures
    qInfo().noquote() << QString::fromStdString(
        fmt::format("Playback finished: {} frame(s).", frames_played_));
}

void PlaybackEngine::fail_with_reader_error(const QString& fallback)
{
    const QString& text = reader_.error_string();
    fail_playback(text.isEmpty() ? fallback : text);
}

} // namespace nmb::reelcast
