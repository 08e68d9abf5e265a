// The drop window's keys, its time label and the drop area's highlight.
#include "drop_window.h"

#include "progress_text.h"

#include <QDoubleSpinBox>
#include <QDragLeaveEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QStyle>

namespace nmb::reelcast {

namespace {

constexpr qint64 JUMP_US = 5'000'000;

} // namespace

void DropWindow::set_jump_handler(std::function<void(qint64)> handler) { jump_handler_ = std::move(handler); }
void DropWindow::set_restart_handler(std::function<void()> handler) { restart_handler_ = std::move(handler); }

void DropWindow::show_rate(double rate)
{
    const QSignalBlocker blocker(rate_box_);
    rate_box_->setValue(rate);
}

void DropWindow::show_time(qint64 position_us, qint64 duration_us)
{
    time_label_->setText(QString::fromStdString(format_window_time(position_us, duration_us)));
}

bool DropWindow::handle_key(int key)
{
    const auto call = [](const std::function<void()>& handler) {
        if (handler)
            handler();
    };
    switch (key) {
    case Qt::Key_Space:
        // The button the user would press: pause while playing, resume while paused.
        if (pause_button_->isVisibleTo(this) && pause_button_->isEnabled())
            call(pause_handler_);
        else if (resume_button_->isVisibleTo(this) && resume_button_->isEnabled())
            call(resume_handler_);
        return true;
    case Qt::Key_Left:
    case Qt::Key_Right:
        if (jump_handler_)
            jump_handler_(key == Qt::Key_Left ? -JUMP_US : JUMP_US);
        return true;
    case Qt::Key_Home:
        call(restart_handler_);
        return true;
    default:
        return false;
    }
}

void DropWindow::keyPressEvent(QKeyEvent* event)
{
    if (event->modifiers() == Qt::NoModifier && handle_key(event->key()))
        event->accept();
    else
        QWidget::keyPressEvent(event);
}

bool DropWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease) {
        auto* key_event = static_cast<QKeyEvent*>(event);
        const int key = key_event->key();
        // Space stays with a focused button or check box, which it presses.
        const bool ours = key_event->modifiers() == Qt::NoModifier
            && (key == Qt::Key_Left || key == Qt::Key_Right || key == Qt::Key_Home
                || (key == Qt::Key_Space && watched == progress_slider_));
        if (ours) {
            // The release is swallowed too, or a focused button would click on it.
            if (event->type() == QEvent::KeyPress)
                (void)handle_key(key);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void DropWindow::dragLeaveEvent(QDragLeaveEvent* event)
{
    set_drop_highlight(false);
    QWidget::dragLeaveEvent(event);
}

void DropWindow::set_drop_highlight(bool on)
{
    if (property("dropHover").toBool() == on)
        return;
    setProperty("dropHover", on);
    // A style sheet reads dynamic properties only when the widget is polished again.
    style()->unpolish(this);
    style()->polish(this);
    update();
}

} // namespace nmb::reelcast
