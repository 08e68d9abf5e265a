#pragma once

#include <QString>
#include <QWidget>

#include <functional>

class QCheckBox;
class QDoubleSpinBox;
class QDragEnterEvent;
class QDragLeaveEvent;
class QDropEvent;
class QKeyEvent;
class QLabel;
class QLineEdit;
class QPushButton;
class QSlider;
class QSpinBox;

namespace nmb::reelcast {

// The replay program's window: takes a recording by drag and drop or a file
// dialog, holds the UDP destination, speed and loop settings, and shows the
// playback state. It holds no playback logic: every user action goes to a
// handler installed by the owner (a handler that was never set is not
// called), and the owner reports state back through the show_* operations.
// It has no meta-object of its own, so its texts translate in the QWidget
// context and its style sheet applies as to a plain QWidget. GUI thread only.
class DropWindow : public QWidget {
public:
    explicit DropWindow(QWidget* parent = nullptr);
    ~DropWindow() override;

    // Handler setters; each replaces the stored function, an empty one clears it.
    void set_file_selected_handler(std::function<void(const QString&)> handler); // absolute path
    void set_pause_handler(std::function<void()> handler);
    void set_resume_handler(std::function<void()> handler);
    void set_stop_handler(std::function<void()> handler);
    void set_replay_handler(std::function<void()> handler);
    void set_rate_changed_handler(std::function<void(double)> handler); // new multiplier
    void set_seek_handler(std::function<void(double)> handler);         // fraction 0.0 to 1.0
    // Keys: Left and Right jump by -5 s and +5 s (the argument, in
    // microseconds), Home plays from the start. Space presses the pause or
    // the resume button, whichever is offered.
    void set_jump_handler(std::function<void(qint64)> handler);
    void set_restart_handler(std::function<void()> handler);

    // The IP field's text with surrounding white space removed; not validated.
    QString destination_ip() const;
    quint16 destination_port() const; // 1 to 65535
    double playback_rate() const;     // 0.1 to 100.0
    bool loop_enabled() const;

    // Controls for picking a new recording (replay offered once one was started).
    void show_ready_controls();
    // A recording started: `path` names it; counts and progress start at 0.
    void show_playing(const QString& path);
    void show_paused();
    void show_frame_count(quint64 frames);
    // Moves the progress slider to position/total (per mille, clamped); a
    // total of 0 or less shows 0. Ignored while the user holds the handle.
    void show_progress(qint64 position, qint64 total);
    // Shows a rate changed elsewhere (the console) without calling the rate
    // changed handler.
    void show_rate(double rate);
    // The time label beside the slider: "00:12.3 / 01:15.0".
    void show_time(qint64 position_us, qint64 duration_us);
    // Playback timing under the progress slider (median and 99th percentile
    // lateness); empty text clears it.
    void show_timing(const QString& summary);
    void show_finished(quint64 frames);
    void show_stopped(quint64 frames);
    void show_error(const QString& message);
    // The destination field is wrong: shows `message` and puts the cursor there.
    void show_selection_error(const QString& message);

    // Hands an existing regular file to the file selected handler when a
    // selection is allowed; otherwise shows "Choose a valid file".
    void select_file(const QString& path);
    // Opens the file dialog; a picked file goes through select_file().
    void choose_file();

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    enum class Controls { Ready, Playing, Paused };

    void build_widgets();
    void build_layout();
    void apply_style_sheets();
    void connect_widgets();
    void set_controls(Controls controls);
    QString played_text(quint64 frames) const;
    bool handle_key(int key);
    void set_drop_highlight(bool on);

    QLabel* title_label_ = nullptr;
    QLabel* hint_label_ = nullptr;
    QLineEdit* ip_edit_ = nullptr;
    QSpinBox* port_box_ = nullptr;
    QDoubleSpinBox* rate_box_ = nullptr;
    QCheckBox* loop_check_box_ = nullptr;
    QSlider* progress_slider_ = nullptr;
    QLabel* time_label_ = nullptr;
    QLabel* timing_label_ = nullptr;
    QPushButton* choose_button_ = nullptr;
    QPushButton* pause_button_ = nullptr;
    QPushButton* resume_button_ = nullptr;
    QPushButton* stop_button_ = nullptr;
    QPushButton* replay_button_ = nullptr;
    bool selection_allowed_ = true;
    quint64 frames_played_ = 0;
    QString current_file_name_;
    std::function<void(const QString&)> file_selected_handler_;
    std::function<void()> pause_handler_;
    std::function<void()> resume_handler_;
    std::function<void()> stop_handler_;
    std::function<void()> replay_handler_;
    std::function<void(double)> rate_changed_handler_;
    std::function<void(double)> seek_handler_;
    std::function<void(qint64)> jump_handler_;
    std::function<void()> restart_handler_;
};

} // namespace nmb::reelcast
