#pragma once

#include <nmb/playback/frame_pacer.h>
#include <nmb/playback/recorded_frame_reader.h>
#include <nmb/playback/timestamp_scheduler.h>

#include "take_index.h"
#include "take_time.h"
#include <nmb/udp_adapter.h>

#include "timing_report.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>

namespace nmb::reelcast {

// Console vocabulary of the replay program.
inline constexpr char ACTION_PLAY[] = "Reelcast.play";
inline constexpr char ACTION_PAUSE[] = "Reelcast.pause";
inline constexpr char ACTION_QUIT[] = "Reelcast.quit";
inline constexpr char ACTION_RATE_DOWN[] = "Reelcast.rate_down";
inline constexpr char ACTION_RATE_UP[] = "Reelcast.rate_up";
inline constexpr char ACTION_RESTART[] = "Reelcast.restart";
inline constexpr char ACTION_SEEK_BACK[] = "Reelcast.seek_back";
inline constexpr char ACTION_SEEK_FORWARD[] = "Reelcast.seek_forward";
inline constexpr char CHANNEL_FRAME[] = "Reelcast.frame";
inline constexpr char CHANNEL_ERROR[] = "Reelcast.error";
inline constexpr char CHANNEL_PROGRESS[] = "Reelcast.progress";
inline constexpr char CHANNEL_TIMING[] = "Reelcast.timing";

// How far the seek actions and the window's arrow keys jump.
inline constexpr qint64 JUMP_STEP_US = 5'000'000;

// Registers the play, pause and quit actions (in that order), then the rate,
// restart and seek actions with their keys, with the console through the Qt
// action bus. Space is bound to play until playback runs. Call on the main
// thread before the console starts.
void register_console_actions();

// Replays one recording at a time on the main thread: reads frames ahead one
// at a time, paces them with the scheduler's delays against an absolute
// playback clock, sends each over UDP when a destination is set and prints
// it on the console channel "Reelcast.frame". How late each frame went out
// against its due time is measured; the figures since the recording was
// opened, seeked, replayed or re-rated are printed on "Reelcast.timing" at
// most ten times a second. Failures are logged, printed on
// "Reelcast.error" and announced through playback_failed; the engine never
// quits the application except for the console's quit action.
//
// The display signals carry what a window shows: playback_started,
// frame_count_changed and progress_changed while playing, then one of
// playback_paused, playback_stopped, playback_finished, playback_failed or
// open_failed.
class PlaybackEngine : public QObject {
    Q_OBJECT

public:
    enum class State {
        Idle,     // nothing pending: never opened, or the last open failed
        Playing,  // the frame timer runs for the pending frame
        Halted,   // paused or stopped with a pending frame
        Finished, // the end of the recording was reached
        Failed,   // a playback error stopped it; exit_code() is 1
    };

    explicit PlaybackEngine(QObject* parent = nullptr);
    ~PlaybackEngine() override;

    // Speed multiplier, finite and above 0; anything else is refused (false).
    // While playing, the remaining wait of the pending frame is rescaled at
    // once and later frames use the new rate.
    bool set_rate(double rate);
    double rate() const { return rate_; }

    // Whether a clean end of file starts the recording again. When a loop
    // source is set it is asked at every end of file instead.
    void set_loop(bool loop) { loop_ = loop; }
    void set_loop_source(std::function<bool()> source) { loop_source_ = std::move(source); }

    // Plays only the frames from the first at or after `start_us` (offset
    // from the take's first frame) up to the last before `end_us`; a loop
    // runs between the two. Takes effect at the next open.
    void set_play_window(qint64 start_us, std::optional<qint64> end_us);
    // Longest wait between two frames; unset: a gap above 60 s is skipped.
    void set_max_gap_us(std::optional<qint64> max_gap_us);

    // Sends every played frame as one datagram to address:port from a port
    // the system picks; clear_destination() stops sending.
    void set_destination(const QHostAddress& address, quint16 port);
    void clear_destination();

    // Opens `path` from its first frame and starts playing. On failure logs
    // "Playback error:" with the reason, emits open_failed and returns false.
    bool open_recording(const QString& path);

    // Frame timer timeout: plays the pending frame and schedules the next.
    void play_next_frame();

    // Reads the next frame into the pending frame and schedules it. A frame
    // without a usable timestamp gives Error with an empty reader text.
    ReadStatus load_next_frame();

    // Stops playback with `message`: logged, printed on the error channel,
    // announced by playback_failed; exit_code() becomes 1.
    void fail_playback(const QString& message);

    // Halted -> playing: the pending frame goes out at once. Ignored in any
    // other state (nothing is pending then, or playback failed).
    void resume();
    // Playing -> halted, keeping the pending frame; pause() announces
    // playback_paused, stop() announces playback_stopped.
    void pause();
    void stop();
    // Opens the recording last opened again; nothing when there was none.
    void replay();
    // Moves to the first frame that ends at or beyond `fraction` of the file
    // and keeps the previous playing/halted choice; after the end or a
    // failure it halts there. Nothing happens when no file is open.
    void seek(double fraction);

    // Moves to the first frame at or after `offset_us` (clamped to the play
    // window's start) and keeps the playing or halted choice; past the last
    // frame the pass ends as at the end of the file.
    void jump_to(qint64 offset_us);
    void jump_by(qint64 delta_us) { jump_to(position_us_ + delta_us); }
    // Plays from the start of the play window, whatever the state.
    void restart();
    // Doubles or halves the rate within 0.1x to 100x.
    void step_rate(bool up);

    // Console actions: play, pause, quit (quits the application with 0),
    // rate down and up, restart, seek back and forward.
    void handle_console_action(const QString& action_id);

    // Offset of the frame last played (or landed on by a jump) from the
    // take's first frame, and the take's length.
    qint64 position_us() const { return position_us_; }
    qint64 duration_us() const { return span_ ? span_->duration_us : 0; }

    State state() const { return state_; }
    bool is_playing() const { return state_ == State::Playing; }
    quint64 frames_played() const { return frames_played_; }
    int exit_code() const { return exit_code_; }
    const QString& current_path() const { return current_path_; }

Q_SIGNALS:
    void playback_started(const QString& path);
    void frame_count_changed(quint64 frames);
    void progress_changed(qint64 position, qint64 size);
    void playback_paused();
    void playback_stopped(quint64 frames);
    void playback_finished(quint64 frames);
    void playback_failed(const QString& message);
    void open_failed(const QString& message);
    // The time shown with the progress: at most ten times a second while
    // playing, and at every change of state.
    void time_changed(qint64 position_us, qint64 duration_us);
    // Median and 99th percentile lateness in one line; empty after a reset.
    void timing_changed(const QString& summary);

private:
    bool loop_enabled() const;
    void reset_timing();
    void publish_timing();
    void restart_pass(bool play_after = true);
    void finish();
    void fail_with_reader_error(const QString& fallback);
    bool reposition(const std::function<ReadStatus(quint64&)>& locate, bool play_after);
    void end_pass(bool play_after);
    void report_progress(bool state_changed);
    std::string state_text() const;

    double rate_ = 1.0;
    bool loop_ = false;
    std::function<bool()> loop_source_;
    bool udp_enabled_ = false;
    QHostAddress destination_;
    quint16 port_ = 0;
    QFile file_;
    RecordedFrameReader reader_{file_};
    TimestampScheduler scheduler_;
    TakeIndex index_{file_, reader_};
    std::optional<TakeSpan> span_;
    qint64 start_us_ = 0;
    std::optional<qint64> end_us_;
    qint64 pending_offset_us_ = 0;
    qint64 position_us_ = 0;
    bool stopped_ = false; // halted by stop() rather than pause()
    bool space_pauses_ = false;
    QElapsedTimer progress_clock_;
    QString current_path_;
    QByteArray pending_frame_;
    double next_delay_ms_ = 0.0;
    quint64 frames_played_ = 0;
    State state_ = State::Idle;
    int exit_code_ = 0;
    UdpAdapter udp_;
    playback::FramePacer pacer_; // the frame timer, on an absolute playback clock
    TimingReport timing_;
};

} // namespace nmb::reelcast
