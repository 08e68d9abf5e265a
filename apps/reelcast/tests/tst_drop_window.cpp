#include "drop_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QHostAddress>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMimeData>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <functional>
#include <memory>

using nmb::reelcast::DropWindow;
using Steps = std::function<void(DropWindow&)>;
Q_DECLARE_METATYPE(Steps)

namespace {

const QStringList BUTTON_NAMES = {"chooseButton", "pauseButton", "resumeButton", "stopButton", "replayButton"};

QLabel* title_label(DropWindow& window)
{
    return window.findChildren<QLabel*>(QString(), Qt::FindDirectChildrenOnly).value(0);
}

QLabel* hint_label(DropWindow& window)
{
    return window.findChildren<QLabel*>(QString(), Qt::FindDirectChildrenOnly).value(1);
}

QLineEdit* ip_edit(DropWindow& window)
{
    return window.findChildren<QLineEdit*>(QString(), Qt::FindDirectChildrenOnly).value(0);
}

QSlider* slider(DropWindow& window)
{
    return window.findChild<QSlider*>(QStringLiteral("playbackProgressSlider"));
}

QPushButton* button(DropWindow& window, const QString& name)
{
    return window.findChild<QPushButton*>(name);
}

QStringList shown_buttons(DropWindow& window)
{
    QStringList shown;
    for (const QString& name : BUTTON_NAMES)
        if (!button(window, name)->isHidden())
            shown << name;
    return shown;
}

QStringList enabled_buttons(DropWindow& window)
{
    QStringList enabled;
    for (const QString& name : BUTTON_NAMES)
        if (!button(window, name)->isHidden() && button(window, name)->isEnabled())
            enabled << name;
    return enabled;
}

QMimeData* mime_with_urls(const QList<QUrl>& urls)
{
    auto* mime = new QMimeData;
    mime->setUrls(urls);
    return mime;
}

// Sends a synthetic drag enter and reports whether the window took it.
bool drag_accepted(DropWindow& window, const QMimeData& mime)
{
    QDragEnterEvent event(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&window, &event);
    return event.isAccepted();
}

bool drop(DropWindow& window, const QMimeData& mime)
{
    // Delivered straight to the widget: the application's drop routing
    // expects a drag that the platform started, which a test has not.
    QDropEvent event(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    static_cast<QObject&>(window).event(&event);
    return event.isAccepted();
}

QString make_file(const QTemporaryDir& dir, const QString& name)
{
    QFile file(dir.filePath(name));
    if (!file.open(QIODevice::WriteOnly))
        return {};
    file.write("recorded");
    return file.fileName();
}

} // namespace

class TestDropWindow : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void widgets_have_their_object_names_data();
    void widgets_have_their_object_names();
    void construction_state();
    void display_operations_data();
    void display_operations();
    void show_progress_sets_slider_data();
    void show_progress_sets_slider();
    void slider_held_with_the_mouse_seeks_only_on_release();
    void drag_enter_data();
    void drag_enter();
    void drop_selects_a_file_data();
    void drop_selects_a_file();
    void buttons_call_their_handlers_data();
    void buttons_call_their_handlers();
    void keys_call_their_handlers_data();
    void keys_call_their_handlers();
    void rate_typed_digit_by_digit_data();
    void rate_typed_digit_by_digit();
    void destination_ip_is_trimmed_data();
    void destination_ip_is_trimmed();
    void selection_error_focuses_the_address();
};

void TestDropWindow::initTestCase()
{
    // Typed rates use a decimal point.
    QLocale::setDefault(QLocale::c());
}

void TestDropWindow::widgets_have_their_object_names_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("class_name");
    QTest::newRow("rate box") << "rateSpinBox" << "QDoubleSpinBox";
    QTest::newRow("loop box") << "loopCheckBox" << "QCheckBox";
    QTest::newRow("progress slider") << "playbackProgressSlider" << "QSlider";
    QTest::newRow("time label") << "time_label" << "QLabel";
    for (const QString& name : BUTTON_NAMES)
        QTest::newRow(qPrintable(name)) << name << "QPushButton";
}

void TestDropWindow::widgets_have_their_object_names()
{
    QFETCH(QString, name);
    QFETCH(QString, class_name);
    DropWindow window;
    QCOMPARE(window.objectName(), QStringLiteral("dropWindow"));
    const QList<QWidget*> found = window.findChildren<QWidget*>(name);
    QCOMPARE(found.size(), 1);
    QCOMPARE(QString::fromLatin1(found.first()->metaObject()->className()), class_name);
}

void TestDropWindow::construction_state()
{
    DropWindow window;
    QCOMPARE(window.windowTitle(), QStringLiteral("Nimbra Reelcast"));
    QVERIFY(window.acceptDrops());
    QCOMPARE(window.minimumSize(), QSize(600, 430));
    QCOMPARE(window.metaObject(), &QWidget::staticMetaObject);

    QCOMPARE(title_label(window)->text(), QStringLiteral("Drop a recording here"));
    QCOMPARE(hint_label(window)->text(),
             QStringLiteral("Drag a Nimbra .bin file into this window, or choose one below."));
    QVERIFY(hint_label(window)->wordWrap());

    QLineEdit* ip = ip_edit(window);
    QVERIFY(QHostAddress(ip->text()).isLoopback());
    QCOMPARE(ip->placeholderText(), ip->text());
    QCOMPARE(ip->toolTip(), QStringLiteral("UDP destination IPv4 or IPv6 address"));

    auto* port = window.findChild<QSpinBox*>();
    QCOMPARE(port->minimum(), 1);
    QCOMPARE(port->maximum(), 65535);
    QCOMPARE(window.destination_port(), quint16(16000));
    QCOMPARE(port->toolTip(), QStringLiteral("UDP destination port"));

    auto* rate = window.findChild<QDoubleSpinBox*>(QStringLiteral("rateSpinBox"));
    QCOMPARE(rate->minimum(), 0.1);
    QCOMPARE(rate->maximum(), 100.0);
    QCOMPARE(rate->decimals(), 1);
    QCOMPARE(rate->singleStep(), 0.1);
    QCOMPARE(window.playback_rate(), 1.0);
    QCOMPARE(rate->suffix(), QStringLiteral("x"));
    QCOMPARE(rate->toolTip(), QStringLiteral("Playback speed multiplier"));

    auto* loop = window.findChild<QCheckBox*>(QStringLiteral("loopCheckBox"));
    QCOMPARE(loop->text(), QStringLiteral("Loop playback"));
    QVERIFY(!window.loop_enabled());
    QCOMPARE(loop->toolTip(), QStringLiteral("Restart automatically after reaching the end of the recording"));

    QSlider* progress = slider(window);
    QCOMPARE(progress->orientation(), Qt::Horizontal);
    QCOMPARE(progress->minimum(), 0);
    QCOMPARE(progress->maximum(), 1000);
    QCOMPARE(progress->value(), 0);
    QVERIFY(!progress->isEnabled());
    QCOMPARE(progress->toolTip(), QStringLiteral("Drag to seek"));

    const QStringList texts = {"Choose recording", "Pause", "Resume", "Stop", "Replay"};
    for (int i = 0; i < BUTTON_NAMES.size(); ++i)
        QCOMPARE(button(window, BUTTON_NAMES[i])->text(), texts[i]);
    QCOMPARE(shown_buttons(window), QStringList{"chooseButton"});
}

void TestDropWindow::display_operations_data()
{
    QTest::addColumn<Steps>("steps");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("hint");
    QTest::addColumn<QStringList>("shown");
    QTest::addColumn<QStringList>("enabled");
    QTest::addColumn<bool>("fields_enabled");
    QTest::addColumn<int>("slider_value");

    const QString intro = "Drag a Nimbra .bin file into this window, or choose one below.";
    const QString done = "%1 frame(s) played. Drop another recording, choose one, or replay.";
    const QStringList ready = {"chooseButton"};
    const QStringList ready_replay = {"chooseButton", "replayButton"};
    const QStringList running = {"pauseButton", "resumeButton", "stopButton"};
    const auto play = [](DropWindow& w) { w.show_playing("/data/takes/walk.bin"); };

    QTest::newRow("ready before any playback")
        << Steps([](DropWindow& w) { w.show_ready_controls(); }) << "Drop a recording here" << intro << ready
        << ready << true << 0;
    QTest::newRow("playing") << Steps([&](DropWindow& w) {
        play(w);
        w.show_progress(1, 2);
        w.show_playing("/data/takes/run.bin");
    }) << "Playing run.bin" << "0 frames played" << running << QStringList{"pauseButton", "stopButton"}
                             << false << 0;
    QTest::newRow("frame count") << Steps([&](DropWindow& w) {
        play(w);
        w.show_frame_count(1234567);
    }) << "Playing walk.bin" << "1234567 frame(s) played" << running
                                 << QStringList{"pauseButton", "stopButton"} << false << 0;
    QTest::newRow("paused") << Steps([&](DropWindow& w) {
        play(w);
        w.show_frame_count(3);
        w.show_paused();
    }) << "Paused walk.bin" << "3 frame(s) played" << running << QStringList{"resumeButton", "stopButton"}
                            << false << 0;
    QTest::newRow("frame count after pause re-enables pause") << Steps([&](DropWindow& w) {
        play(w);
        w.show_paused();
        w.show_frame_count(4);
    }) << "Playing walk.bin" << "4 frame(s) played" << running
                                                              << QStringList{"pauseButton", "stopButton"} << false
                                                              << 0;
    QTest::newRow("finished") << Steps([&](DropWindow& w) {
        play(w);
        w.show_progress(1, 4);
        w.show_finished(12);
    }) << "Playback finished" << done.arg(12) << ready_replay << ready_replay << true << 1000;
    QTest::newRow("stopped keeps the slider") << Steps([&](DropWindow& w) {
        play(w);
        w.show_progress(1, 4);
        w.show_stopped(7);
    }) << "Playback stopped" << done.arg(7) << ready_replay << ready_replay << true << 250;
    QTest::newRow("error") << Steps([&](DropWindow& w) {
        play(w);
        w.show_error("Frame CRC mismatch.");
    }) << "Playback error" << "Frame CRC mismatch." << ready_replay << ready_replay << true << 0;
    QTest::newRow("error before any playback has no replay")
        << Steps([](DropWindow& w) { w.show_error("No such file or directory"); }) << "Playback error"
        << "No such file or directory" << ready << ready << true << 0;
    QTest::newRow("selection error keeps the layout") << Steps([&](DropWindow& w) {
        play(w);
        w.show_selection_error("Invalid UDP destination IP address: camera");
    }) << "Invalid destination" << "Invalid UDP destination IP address: camera" << running
                                                      << QStringList{"pauseButton", "stopButton"} << false << 0;
}

void TestDropWindow::display_operations()
{
    QFETCH(Steps, steps);
    QFETCH(QString, title);
    QFETCH(QString, hint);
    QFETCH(QStringList, shown);
    QFETCH(QStringList, enabled);
    QFETCH(bool, fields_enabled);
    QFETCH(int, slider_value);

    DropWindow window;
    steps(window);
    QCOMPARE(title_label(window)->text(), title);
    QCOMPARE(hint_label(window)->text(), hint);
    QCOMPARE(shown_buttons(window), shown);
    QCOMPARE(enabled_buttons(window), enabled);
    QCOMPARE(ip_edit(window)->isEnabled(), fields_enabled);
    QCOMPARE(window.findChild<QSpinBox*>()->isEnabled(), fields_enabled);
    QVERIFY(window.findChild<QDoubleSpinBox*>()->isEnabled());
    QVERIFY(window.findChild<QCheckBox*>()->isEnabled());
    QCOMPARE(slider(window)->value(), slider_value);
}

void TestDropWindow::show_progress_sets_slider_data()
{
    QTest::addColumn<qint64>("position");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<int>("expected");
    QTest::newRow("half way") << qint64(5) << qint64(10) << 500;
    QTest::newRow("past the end") << qint64(15) << qint64(10) << 1000;
    QTest::newRow("before the start") << qint64(-3) << qint64(10) << 0;
    QTest::newRow("empty recording") << qint64(7) << qint64(0) << 0;
    QTest::newRow("one third rounds down") << qint64(1) << qint64(3) << 333;
    QTest::newRow("two thirds rounds up") << qint64(2) << qint64(3) << 667;
    QTest::newRow("half a step rounds away from zero") << qint64(1) << qint64(2000) << 1;
    QTest::newRow("large file") << qint64(3'000'000'000'000) << qint64(4'000'000'000'000) << 750;
}

void TestDropWindow::show_progress_sets_slider()
{
    QFETCH(qint64, position);
    QFETCH(qint64, total);
    QFETCH(int, expected);
    DropWindow window;
    window.show_playing("take.bin");
    window.show_progress(1, 8); // a start value the result must replace
    QCOMPARE(slider(window)->value(), 125);
    window.show_progress(position, total);
    QCOMPARE(slider(window)->value(), expected);
}

void TestDropWindow::slider_held_with_the_mouse_seeks_only_on_release()
{
    DropWindow window;
    QList<double> seeks;
    window.set_seek_handler([&](double fraction) { seeks << fraction; });
    window.show_playing("take.bin");
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QSlider* progress = slider(window);
    window.show_progress(1, 4);
    QCOMPARE(progress->value(), 250);
    QVERIFY(seeks.isEmpty()); // progress updates are not seeks

    QStyleOptionSlider option;
    option.initFrom(progress);
    option.orientation = Qt::Horizontal;
    option.minimum = progress->minimum();
    option.maximum = progress->maximum();
    option.sliderPosition = progress->sliderPosition();
    option.sliderValue = progress->value();
    option.subControls = QStyle::SC_All;
    const QPoint grip =
        progress->style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, progress).center();
    const QPoint target = grip + QPoint(progress->width() / 2, 0);
    QTest::mousePress(progress, Qt::LeftButton, Qt::NoModifier, grip);
    QVERIFY(progress->isSliderDown());
    QTest::mouseMove(progress, target);
    const int held = progress->value();
    QVERIFY(held > 500);
    window.show_progress(0, 10);
    QCOMPARE(progress->value(), held); // the handle stays under the pointer
    QVERIFY(seeks.isEmpty());          // nothing until it is let go

    QTest::mouseRelease(progress, Qt::LeftButton, Qt::NoModifier, target);
    QCOMPARE(seeks, QList<double>{held / 1000.0});
    window.show_progress(3, 4);
    QCOMPARE(progress->value(), 750);
}

void TestDropWindow::drag_enter_data()
{
    QTest::addColumn<QList<QUrl>>("urls");
    QTest::addColumn<bool>("with_text");
    QTest::addColumn<Steps>("steps");
    QTest::addColumn<bool>("accepted");
    const Steps nothing = [](DropWindow&) {};
    const QUrl local = QUrl::fromLocalFile("/tmp/take.bin");
    const QUrl remote("https://example.org/take.bin");
    QTest::newRow("local file") << QList<QUrl>{local} << false << nothing << true;
    QTest::newRow("missing local file is still accepted") << QList<QUrl>{QUrl::fromLocalFile("/no/such.bin")}
                                                          << false << nothing << true;
    QTest::newRow("remote then local") << QList<QUrl>{remote, local} << false << nothing << true;
    QTest::newRow("text without urls") << QList<QUrl>{} << true << nothing << false;
    QTest::newRow("remote url only") << QList<QUrl>{remote} << false << nothing << false;
    QTest::newRow("while playing") << QList<QUrl>{local} << false
                                   << Steps([](DropWindow& w) { w.show_playing("a.bin"); }) << false;
    QTest::newRow("while paused") << QList<QUrl>{local} << false << Steps([](DropWindow& w) {
        w.show_playing("a.bin");
        w.show_paused();
    }) << false;
    QTest::newRow("after stop") << QList<QUrl>{local} << false << Steps([](DropWindow& w) {
        w.show_playing("a.bin");
        w.show_stopped(2);
    }) << true;
}

void TestDropWindow::drag_enter()
{
    QFETCH(QList<QUrl>, urls);
    QFETCH(bool, with_text);
    QFETCH(Steps, steps);
    QFETCH(bool, accepted);
    DropWindow window;
    steps(window);
    QMimeData mime;
    if (!urls.isEmpty())
        mime.setUrls(urls);
    if (with_text)
        mime.setText("/tmp/take.bin");
    window.resize(600, 430);
    const QColor idle = window.grab().toImage().pixelColor(20, 20);
    QCOMPARE(drag_accepted(window, mime), accepted);
    // The drop area lights up while an accepted drag hovers, and no longer.
    QCOMPARE(window.grab().toImage().pixelColor(20, 20) != idle, accepted);
    QDragLeaveEvent leave;
    QApplication::sendEvent(&window, &leave);
    QCOMPARE(window.grab().toImage().pixelColor(20, 20), idle);
}

void TestDropWindow::drop_selects_a_file_data()
{
    QTest::addColumn<QStringList>("names"); // created in a temporary directory; "dir/" makes a directory
    QTest::addColumn<bool>("remote_first");
    QTest::addColumn<bool>("playing");
    QTest::addColumn<QString>("selected"); // empty: none, and the window says so
    QTest::newRow("one file") << QStringList{"walk.bin"} << false << false << "walk.bin";
    QTest::newRow("three files use the first") << QStringList{"c.bin", "a.bin", "b.bin"} << false << false
                                               << "c.bin";
    QTest::newRow("any extension") << QStringList{"take.dat"} << false << false << "take.dat";
    QTest::newRow("remote url before the local file") << QStringList{"walk.bin"} << true << false << "walk.bin";
    QTest::newRow("directory") << QStringList{"dir/"} << false << false << "";
    QTest::newRow("directory before a file") << QStringList{"dir/", "walk.bin"} << false << false << "";
    QTest::newRow("missing file") << QStringList{"gone.bin"} << false << false << "";
    QTest::newRow("while playing") << QStringList{"walk.bin"} << false << true << "";
}

void TestDropWindow::drop_selects_a_file()
{
    QFETCH(QStringList, names);
    QFETCH(bool, remote_first);
    QFETCH(bool, playing);
    QFETCH(QString, selected);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QList<QUrl> urls;
    if (remote_first)
        urls << QUrl("https://example.org/remote.bin");
    for (const QString& name : names) {
        if (name.endsWith('/'))
            QVERIFY(QDir(dir.path()).mkdir(name.chopped(1)));
        else if (name != "gone.bin")
            QVERIFY(!make_file(dir, name).isEmpty());
        urls << QUrl::fromLocalFile(dir.filePath(name.endsWith('/') ? name.chopped(1) : name));
    }

    DropWindow window;
    QStringList handled;
    window.set_file_selected_handler([&](const QString& path) { handled << path; });
    if (playing)
        window.show_playing("other.bin");
    const QString title_before = title_label(window)->text();
    const std::unique_ptr<QMimeData> mime(mime_with_urls(urls));
    QVERIFY(drop(window, *mime));
    if (selected.isEmpty()) {
        QVERIFY(handled.isEmpty());
        QCOMPARE(title_label(window)->text(), QStringLiteral("Choose a valid file"));
        QCOMPARE(hint_label(window)->text(), QStringLiteral("The dropped item is not a readable local file."));
    } else {
        QCOMPARE(handled, QStringList{QFileInfo(dir.filePath(selected)).absoluteFilePath()});
        QCOMPARE(title_label(window)->text(), title_before);
    }
}

void TestDropWindow::buttons_call_their_handlers_data()
{
    QTest::addColumn<Steps>("steps");
    QTest::addColumn<QString>("name");
    QTest::newRow("pause while playing") << Steps([](DropWindow& w) { w.show_playing("a.bin"); }) << "pauseButton";
    QTest::newRow("stop while playing") << Steps([](DropWindow& w) { w.show_playing("a.bin"); }) << "stopButton";
    QTest::newRow("resume while paused") << Steps([](DropWindow& w) {
        w.show_playing("a.bin");
        w.show_paused();
    }) << "resumeButton";
    QTest::newRow("stop while paused") << Steps([](DropWindow& w) {
        w.show_playing("a.bin");
        w.show_paused();
    }) << "stopButton";
    QTest::newRow("replay after finish") << Steps([](DropWindow& w) {
        w.show_playing("a.bin");
        w.show_finished(1);
    }) << "replayButton";
}

void TestDropWindow::buttons_call_their_handlers()
{
    QFETCH(Steps, steps);
    QFETCH(QString, name);
    DropWindow window;
    QStringList calls;
    window.set_pause_handler([&] { calls << "pauseButton"; });
    window.set_resume_handler([&] { calls << "resumeButton"; });
    window.set_stop_handler([&] { calls << "stopButton"; });
    window.set_replay_handler([&] { calls << "replayButton"; });
    steps(window);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTest::mouseClick(button(window, name), Qt::LeftButton);
    QCOMPARE(calls, QStringList{name});

    // A cleared handler is no longer called.
    window.set_pause_handler({});
    window.set_resume_handler({});
    window.set_stop_handler({});
    window.set_replay_handler({});
    QTest::mouseClick(button(window, name), Qt::LeftButton);
    QCOMPARE(calls, QStringList{name});
}

void TestDropWindow::keys_call_their_handlers_data()
{
    QTest::addColumn<Steps>("steps");
    QTest::addColumn<QString>("focus"); // object name of the widget with the focus; empty: the window
    QTest::addColumn<int>("key");
    QTest::addColumn<QStringList>("calls");
    const Steps playing = [](DropWindow& w) { w.show_playing("a.bin"); };
    const Steps paused = [](DropWindow& w) {
        w.show_playing("a.bin");
        w.show_paused();
    };
    const Steps ready = [](DropWindow&) {};
    QTest::newRow("space while playing pauses") << playing << "" << int(Qt::Key_Space) << QStringList{"pause"};
    QTest::newRow("space while paused resumes") << paused << "" << int(Qt::Key_Space) << QStringList{"resume"};
    QTest::newRow("space before any recording") << ready << "" << int(Qt::Key_Space) << QStringList{};
    QTest::newRow("left jumps back") << paused << "" << int(Qt::Key_Left) << QStringList{"jump -5000000"};
    QTest::newRow("right jumps forward") << playing << "" << int(Qt::Key_Right) << QStringList{"jump 5000000"};
    QTest::newRow("home plays from the start") << paused << "" << int(Qt::Key_Home) << QStringList{"restart"};
    QTest::newRow("space on the focused pause button pauses once")
        << playing << "pauseButton" << int(Qt::Key_Space) << QStringList{"pause"};
    QTest::newRow("right on the focused stop button")
        << playing << "stopButton" << int(Qt::Key_Right) << QStringList{"jump 5000000"};
    QTest::newRow("home on the focused slider") << playing << "playbackProgressSlider" << int(Qt::Key_Home)
                                                << QStringList{"restart"};
    QTest::newRow("space presses the focused stop button")
        << playing << "stopButton" << int(Qt::Key_Space) << QStringList{"stop"};
    QTest::newRow("right on the loop box") << playing << "loopCheckBox" << int(Qt::Key_Right)
                                           << QStringList{"jump 5000000"};
    QTest::newRow("space on the focused slider") << paused << "playbackProgressSlider"
                                                 << int(Qt::Key_Space) << QStringList{"resume"};
    QTest::newRow("the rate box keeps its keys") << playing << "rateSpinBox" << int(Qt::Key_Left)
                                                 << QStringList{};
    QTest::newRow("other keys do nothing") << playing << "" << int(Qt::Key_End) << QStringList{};
}

void TestDropWindow::keys_call_their_handlers()
{
    QFETCH(Steps, steps);
    QFETCH(QString, focus);
    QFETCH(int, key);
    QFETCH(QStringList, calls);
    DropWindow window;
    QStringList called;
    window.set_pause_handler([&] { called << "pause"; });
    window.set_resume_handler([&] { called << "resume"; });
    window.set_stop_handler([&] { called << "stop"; });
    window.set_restart_handler([&] { called << "restart"; });
    window.set_jump_handler([&](qint64 delta) { called << QStringLiteral("jump %1").arg(delta); });
    steps(window);
    QWidget* target = focus.isEmpty() ? &window : window.findChild<QWidget*>(focus);
    QVERIFY(target);
    const bool loop_before = window.loop_enabled();
    QTest::keyClick(target, Qt::Key(key));
    QCOMPARE(called, calls);
    QCOMPARE(window.loop_enabled(), loop_before);
}

void TestDropWindow::rate_typed_digit_by_digit_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QList<double>>("rates");
    QTest::addColumn<double>("final_rate");
    QTest::newRow("one digit") << "4" << QList<double>{4.0} << 4.0;
    QTest::newRow("digits and a decimal") << "25.5" << QList<double>{2.0, 25.0, 25.5} << 25.5;
    QTest::newRow("retyping the current value is no change") << "1.5" << QList<double>{1.5} << 1.5;
    QTest::newRow("digit above the maximum is refused") << "150" << QList<double>{15.0} << 15.0;
    QTest::newRow("below the minimum waits for more digits") << "0.5" << QList<double>{0.5} << 0.5;
}

void TestDropWindow::rate_typed_digit_by_digit()
{
    QFETCH(QString, typed);
    QFETCH(QList<double>, rates);
    QFETCH(double, final_rate);
    DropWindow window;
    QList<double> seen;
    window.set_rate_changed_handler([&](double rate) { seen << rate; });
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto* box = window.findChild<QDoubleSpinBox*>(QStringLiteral("rateSpinBox"));
    box->setFocus();
    box->selectAll();
    QTest::keyClick(box, Qt::Key_Backspace);
    QTest::keyClicks(box, typed);
    QCOMPARE(seen, rates);
    QCOMPARE(window.playback_rate(), final_rate);

    QTest::keyClick(box, Qt::Key_Up); // stepping counts as a change too
    QCOMPARE(seen.size(), rates.size() + 1);
}

void TestDropWindow::destination_ip_is_trimmed_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("expected");
    QTest::newRow("spaces around an IPv4 address") << "  192.168.1.20   " << "192.168.1.20";
    QTest::newRow("spaces around an IPv6 address") << "   ::1 " << "::1";
    QTest::newRow("inner text is kept") << " not an address " << "not an address";
}

void TestDropWindow::destination_ip_is_trimmed()
{
    QFETCH(QString, typed);
    QFETCH(QString, expected);
    DropWindow window;
    QLineEdit* ip = ip_edit(window);
    ip->clear();
    QTest::keyClicks(ip, typed);
    QCOMPARE(ip->text(), typed);
    QCOMPARE(window.destination_ip(), expected);
}

void TestDropWindow::selection_error_focuses_the_address()
{
    DropWindow window;
    QPushButton* ignored = button(window, "chooseButton");
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    ignored->setFocus();
    QLineEdit* ip = ip_edit(window);
    ip->setText("camera.local");
    ip->deselect();
    window.show_selection_error("Invalid UDP destination IP address: camera.local");
    QTRY_VERIFY(ip->hasFocus());
    QCOMPARE(ip->selectedText(), QStringLiteral("camera.local"));
    QCOMPARE(hint_label(window)->text(), QStringLiteral("Invalid UDP destination IP address: camera.local"));
}

QTEST_MAIN(TestDropWindow)
#include "tst_drop_window.moc"
