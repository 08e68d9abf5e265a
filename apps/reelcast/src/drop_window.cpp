#include "drop_window.h"

#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace nmb::reelcast {

namespace {

constexpr auto DEFAULT_DESTINATION = "127.0.0.1";
constexpr int DEFAULT_PORT = 16000;

constexpr auto WINDOW_STYLE = "#dropWindow { background: #18202c; border: 2px dashed #52627a; }"
    // While a recording is dragged over the window.
    "#dropWindow[dropHover=\"true\"] { background: #1d2a3d; border-color: #4b8cff; }";
constexpr auto TIME_STYLE = "QLabel { color: #c8d0dc; font-size: 13px; }";
constexpr auto TITLE_STYLE = "QLabel { font-size: 24px; font-weight: 600; color: #f4f7fb; }";
constexpr auto HINT_STYLE = "QLabel { font-size: 14px; color: #aeb8c7; }";
constexpr auto FIELD_STYLE =
    "QLineEdit, QSpinBox, QDoubleSpinBox { background: #222d3d; color: #f4f7fb;"
    " border: 1px solid #52627a; border-radius: 6px; padding: 7px 9px; }"
    "QLineEdit:focus, QSpinBox:focus, QDoubleSpinBox:focus { border-color: #4b8cff; }"
    "QLineEdit:disabled, QSpinBox:disabled, QDoubleSpinBox:disabled {"
    " color: #8993a2; background: #1d2633; }"
    // A bordered spin box draws its step buttons without arrows; give them
    // arrow images, dimmed when disabled or at the end of the range.
    "QSpinBox::up-button, QDoubleSpinBox::up-button, QSpinBox::down-button,"
    " QDoubleSpinBox::down-button { width: 22px; border: 0; background: transparent; }"
    "QSpinBox::up-arrow, QDoubleSpinBox::up-arrow {"
    " image: url(:/reelcast/spin_up.png); width: 10px; height: 6px; }"
    "QSpinBox::down-arrow, QDoubleSpinBox::down-arrow {"
    " image: url(:/reelcast/spin_down.png); width: 10px; height: 6px; }"
    "QSpinBox::up-arrow:disabled, QSpinBox::up-arrow:off, QDoubleSpinBox::up-arrow:off {"
    " image: url(:/reelcast/spin_up_disabled.png); }"
    "QSpinBox::down-arrow:disabled, QSpinBox::down-arrow:off, QDoubleSpinBox::down-arrow:off {"
    " image: url(:/reelcast/spin_down_disabled.png); }";
constexpr auto CHECK_BOX_STYLE = "QCheckBox { color: #c8d0dc; spacing: 8px; }";
constexpr auto FORM_LABEL_STYLE = "QLabel { color: #c8d0dc; }";
constexpr auto SLIDER_STYLE =
    "QSlider::groove:horizontal { background: #222d3d; border: 1px solid #52627a;"
    " border-radius: 6px; height: 12px; }"
    "QSlider::sub-page:horizontal { background: #3478f6; border-radius: 5px; }"
    "QSlider::handle:horizontal { background: #f4f7fb; border: 2px solid #3478f6;"
    " border-radius: 9px; height: 18px; width: 18px; margin: -4px 0; }"
    "QSlider::handle:horizontal:hover { background: #ffffff; border-color: #4b8cff; }"
    "QSlider::groove:horizontal:disabled { background: #1d2633; }"
    "QSlider::sub-page:horizontal:disabled { background: #485365; }";
constexpr auto BUTTON_STYLE =
    "QPushButton { background: #3478f6; color: white; border: 0; border-radius: 7px;"
    " padding: 9px 18px; }"
    "QPushButton:hover { background: #4b8cff; }"
    "QPushButton:disabled { background: #485365; color: #8993a2; }";
constexpr auto STOP_BUTTON_STYLE =
    "QPushButton { background: #bf3e4b; color: white; border: 0; border-radius: 7px;"
    " padding: 9px 18px; }"
    "QPushButton:hover { background: #d24b59; }";

// Path of the first local-file URL a drag carries; empty when there is none.
QString first_local_path(const QMimeData* mime)
{
    if (mime == nullptr || !mime->hasUrls())
        return {};
    const QList<QUrl> urls = mime->urls();
    const auto local = std::find_if(urls.begin(), urls.end(), [](const QUrl& url) { return url.isLocalFile(); });
    return local == urls.end() ? QString() : local->toLocalFile();
}

} // namespace

DropWindow::DropWindow(QWidget* parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("dropWindow"));
    setWindowTitle(tr("Nimbra Reelcast"));
    setAcceptDrops(true);
    setMinimumSize(600, 430);
    setFocusPolicy(Qt::ClickFocus); // for the keys; not in the tab chain
    build_widgets();
    apply_style_sheets(); // before the layout, which asks the styled sizes
    build_layout();
    connect_widgets();
    set_controls(Controls::Ready);
    // The window's arrows and Home win over the buttons, the check box and
    // the slider (which would move the focus or the handle); text fields
    // keep them.
    for (QWidget* child : std::initializer_list<QWidget*>{
             progress_slider_, loop_check_box_, choose_button_, pause_button_, resume_button_,
             stop_button_, replay_button_})
        child->installEventFilter(this);
}

DropWindow::~DropWindow() = default;

void DropWindow::build_widgets()
{
    title_label_ = new QLabel(tr("Drop a recording here"), this);
    title_label_->setAlignment(Qt::AlignCenter);
    hint_label_ = new QLabel(tr("Drag a Nimbra .bin file into this window, or choose one below."), this);
    hint_label_->setAlignment(Qt::AlignCenter);
    hint_label_->setWordWrap(true);

    ip_edit_ = new QLineEdit(QString::fromLatin1(DEFAULT_DESTINATION), this);
    ip_edit_->setPlaceholderText(QString::fromLatin1(DEFAULT_DESTINATION));
    ip_edit_->setToolTip(tr("UDP destination IPv4 or IPv6 address"));

    port_box_ = new QSpinBox(this);
    port_box_->setRange(1, 65535);
    port_box_->setValue(DEFAULT_PORT);
    port_box_->setToolTip(tr("UDP destination port"));

    rate_box_ = new QDoubleSpinBox(this);
    rate_box_->setObjectName(QStringLiteral("rateSpinBox"));
    rate_box_->setRange(0.1, 100.0);
    rate_box_->setDecimals(1);
    rate_box_->setSingleStep(0.1);
    rate_box_->setValue(1.0);
    rate_box_->setSuffix(QStringLiteral("x"));
    rate_box_->setToolTip(tr("Playback speed multiplier"));

    loop_check_box_ = new QCheckBox(tr("Loop playback"), this);
    loop_check_box_->setObjectName(QStringLiteral("loopCheckBox"));
    loop_check_box_->setToolTip(tr("Restart automatically after reaching the end of the recording"));

    progress_slider_ = new QSlider(Qt::Horizontal, this);
    progress_slider_->setObjectName(QStringLiteral("playbackProgressSlider"));
    progress_slider_->setRange(0, 1000);
    progress_slider_->setValue(0);
    progress_slider_->setEnabled(false);
    progress_slider_->setToolTip(tr("Drag to seek"));

    time_label_ = new QLabel(this);
    time_label_->setObjectName(QStringLiteral("time_label"));
    timing_label_ = new QLabel(this);
    timing_label_->setObjectName(QStringLiteral("timing_label"));
    timing_label_->setAlignment(Qt::AlignCenter);
    timing_label_->setToolTip(tr("How late frames went out against their timestamps"));

    const auto make_button = [this](const QString& text, const char* name) {
        auto* button = new QPushButton(text, this);
        button->setObjectName(QString::fromLatin1(name));
        return button;
    };
    choose_button_ = make_button(tr("Choose recording"), "chooseButton");
    pause_button_ = make_button(tr("Pause"), "pauseButton");
    resume_button_ = make_button(tr("Resume"), "resumeButton");
    stop_button_ = make_button(tr("Stop"), "stopButton");
    replay_button_ = make_button(tr("Replay"), "replayButton");
}

void DropWindow::build_layout()
{
    auto* form = new QFormLayout;
    form->setLabelAlignment(Qt::AlignRight | Qt::AlignVCenter);
    form->setFormAlignment(Qt::AlignHCenter | Qt::AlignTop);
    form->setHorizontalSpacing(12);
    form->setVerticalSpacing(10);
    const auto add_row = [this, form](const QString& text, QWidget* field) {
        auto* label = new QLabel(text, this);
        label->setStyleSheet(QString::fromLatin1(FORM_LABEL_STYLE));
        // The form places a label at the top of its row; as tall as the
        // padded field, its text lines up with the field's text.
        label->setMinimumHeight(field->sizeHint().height());
        form->addRow(label, field);
    };
    add_row(tr("Destination IP"), ip_edit_);
    add_row(tr("Destination port"), port_box_);
    add_row(tr("Playback speed"), rate_box_);
    form->addRow(QString(), loop_check_box_);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    for (QPushButton* button : {choose_button_, pause_button_, resume_button_, stop_button_, replay_button_})
        buttons->addWidget(button);
    buttons->addStretch();

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(42, 42, 42, 42);
    column->addStretch();
    column->addWidget(title_label_);
    column->addWidget(hint_label_);
    column->addSpacing(6);
    column->addLayout(form);
    auto* progress_row = new QHBoxLayout;
    progress_row->setSpacing(12);
    progress_row->addWidget(progress_slider_, 1);
    progress_row->addWidget(time_label_);
    column->addLayout(progress_row);
    column->addWidget(timing_label_);
    column->addSpacing(12);
    column->addLayout(buttons);
    column->addStretch();
}

void DropWindow::apply_style_sheets()
{
    setStyleSheet(QString::fromLatin1(WINDOW_STYLE));
    title_label_->setStyleSheet(QString::fromLatin1(TITLE_STYLE));
    hint_label_->setStyleSheet(QString::fromLatin1(HINT_STYLE));
    for (QWidget* field : {static_cast<QWidget*>(ip_edit_), static_cast<QWidget*>(port_box_),
                           static_cast<QWidget*>(rate_box_)})
        field->setStyleSheet(QString::fromLatin1(FIELD_STYLE));
    loop_check_box_->setStyleSheet(QString::fromLatin1(CHECK_BOX_STYLE));
    progress_slider_->setStyleSheet(QString::fromLatin1(SLIDER_STYLE));
    time_label_->setStyleSheet(QString::fromLatin1(TIME_STYLE));
    timing_label_->setStyleSheet(QString::fromLatin1(HINT_STYLE));
    for (QPushButton* button : {choose_button_, pause_button_, resume_button_, replay_button_})
        button->setStyleSheet(QString::fromLatin1(BUTTON_STYLE));
    stop_button_->setStyleSheet(QString::fromLatin1(STOP_BUTTON_STYLE));
}

void DropWindow::connect_widgets()
{
    connect(choose_button_, &QPushButton::clicked, this, [this] { choose_file(); });
    const auto forward = [this](QPushButton* button, const std::function<void()>& handler) {
        // The handler is read when the click arrives, so a later setter call takes effect.
        connect(button, &QPushButton::clicked, this, [&handler] {
            if (handler)
                handler();
        });
    };
    forward(pause_button_, pause_handler_);
    forward(resume_button_, resume_handler_);
    forward(stop_button_, stop_handler_);
    forward(replay_button_, replay_handler_);
    connect(rate_box_, &QDoubleSpinBox::valueChanged, this, [this](double rate) {
        if (rate_changed_handler_)
            rate_changed_handler_(rate);
    });
    // Only a release seeks: the value changes while dragging and every
    // progress update would otherwise be sent back as a seek.
    connect(progress_slider_, &QSlider::sliderReleased, this, [this] {
        if (seek_handler_)
            seek_handler_(double(progress_slider_->value()) / double(progress_slider_->maximum()));
    });
}

void DropWindow::set_file_selected_handler(std::function<void(const QString&)> handler)
{
    file_selected_handler_ = std::move(handler);
}

void DropWindow::set_pause_handler(std::function<void()> handler) { pause_handler_ = std::move(handler); }
void DropWindow::set_resume_handler(std::function<void()> handler) { resume_handler_ = std::move(handler); }
void DropWindow::set_stop_handler(std::function<void()> handler) { stop_handler_ = std::move(handler); }
void DropWindow::set_replay_handler(std::function<void()> handler) { replay_handler_ = std::move(handler); }

void DropWindow::set_rate_changed_handler(std::function<void(double)> handler)
{
    rate_changed_handler_ = std::move(handler);
}

void DropWindow::set_seek_handler(std::function<void(double)> handler) { seek_handler_ = std::move(handler); }

QString DropWindow::destination_ip() const { return ip_edit_->text().trimmed(); }
quint16 DropWindow::destination_port() const { return quint16(port_box_->value()); }
double DropWindow::playback_rate() const { return rate_box_->value(); }
bool DropWindow::loop_enabled() const { return loop_check_box_->isChecked(); }

void DropWindow::set_controls(Controls controls)
{
    const bool ready = controls == Controls::Ready;
    selection_allowed_ = ready;
    ip_edit_->setEnabled(ready);
    port_box_->setEnabled(ready);
    choose_button_->setVisible(ready);
    pause_button_->setVisible(!ready);
    pause_button_->setEnabled(controls == Controls::Playing);
    resume_button_->setVisible(!ready);
    resume_button_->setEnabled(controls == Controls::Paused);
    stop_button_->setVisible(!ready);
    replay_button_->setVisible(ready && !current_file_name_.isEmpty());
}

QString DropWindow::played_text(quint64 frames) const
{
    return tr("%1 frame(s) played. Drop another recording, choose one, or replay.").arg(frames);
}

void DropWindow::show_ready_controls() { set_controls(Controls::Ready); }

void DropWindow::show_playing(const QString& path)
{
    current_file_name_ = QFileInfo(path).fileName();
    frames_played_ = 0;
    title_label_->setText(tr("Playing %1").arg(current_file_name_));
    hint_label_->setText(tr("0 frames played"));
    progress_slider_->setValue(0);
    progress_slider_->setEnabled(true);
    set_controls(Controls::Playing);
    setFocus(Qt::OtherFocusReason); // the keys reach the window, not the rate box
}

void DropWindow::show_paused()
{
    title_label_->setText(tr("Paused %1").arg(current_file_name_));
    set_controls(Controls::Paused);
}

void DropWindow::show_frame_count(quint64 frames)
{
    frames_played_ = frames;
    title_label_->setText(tr("Playing %1").arg(current_file_name_));
    hint_label_->setText(tr("%1 frame(s) played").arg(frames));
    pause_button_->setEnabled(true);
    resume_button_->setEnabled(false);
}

void DropWindow::show_timing(const QString& summary)
{
    timing_label_->setText(summary);
}

void DropWindow::show_progress(qint64 position, qint64 total)
{
    // Never move the handle out from under the user's drag.
    if (progress_slider_->isSliderDown())
        return;
    int value = 0;
    if (total > 0) {
        const qint64 clamped = std::clamp<qint64>(position, 0, total);
        value = int(std::llround(double(clamped) / double(total) * 1000.0));
    }
    progress_slider_->setValue(value);
}

void DropWindow::show_finished(quint64 frames)
{
    frames_played_ = frames;
    title_label_->setText(tr("Playback finished"));
    hint_label_->setText(played_text(frames));
    progress_slider_->setValue(progress_slider_->maximum());
    set_controls(Controls::Ready);
}

void DropWindow::show_stopped(quint64 frames)
{
    frames_played_ = frames;
    title_label_->setText(tr("Playback stopped"));
    hint_label_->setText(played_text(frames));
    set_controls(Controls::Ready);
}

void DropWindow::show_error(const QString& message)
{
    title_label_->setText(tr("Playback error"));
    hint_label_->setText(message);
    set_controls(Controls::Ready);
}

void DropWindow::show_selection_error(const QString& message)
{
    title_label_->setText(tr("Invalid destination"));
    hint_label_->setText(message);
    ip_edit_->setFocus(Qt::OtherFocusReason);
    ip_edit_->selectAll();
}

void DropWindow::select_file(const QString& path)
{
    const QFileInfo info(path);
    if (!selection_allowed_ || !info.exists() || !info.isFile()) {
        title_label_->setText(tr("Choose a valid file"));
        hint_label_->setText(tr("The dropped item is not a readable local file."));
        return;
    }
    if (file_selected_handler_)
        file_selected_handler_(info.absoluteFilePath());
}

void DropWindow::choose_file()
{
    const QString path = QFileDialog::getOpenFileName(this, tr("Choose Nimbra recording"), QString(),
                                                      tr("Nimbra recordings (*.bin);;All files (*)"));
    if (!path.isEmpty())
        select_file(path);
}

void DropWindow::dragEnterEvent(QDragEnterEvent* event)
{
    if (!selection_allowed_ || first_local_path(event->mimeData()).isEmpty()) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
    set_drop_highlight(true);
}

void DropWindow::dropEvent(QDropEvent* event)
{
    set_drop_highlight(false);
    const QString path = first_local_path(event->mimeData());
    if (path.isEmpty()) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
    select_file(path);
}

} // namespace nmb::reelcast
