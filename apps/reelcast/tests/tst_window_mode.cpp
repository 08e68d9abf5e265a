#include "command_line.h"
#include "drop_window.h"
#include "playback_engine.h"
#include "window_mode.h"

#include <nmb/test/frames.h>
#include <nmb/test/programs.h>
#include <nmb/udp_adapter.h>

#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSlider>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <memory>
#include <optional>

using nmb::reelcast::DropWindow;
using nmb::reelcast::PlaybackEngine;

namespace {

// Frames of one recording, `gap_us` apart, each with its own pose values.
QList<QByteArray> make_frames(int count, quint64 gap_us)
{
    QList<QByteArray> frames;
    for (int i = 0; i < count; ++i)
        frames << nmb::test::mocap_frame_bytes(1'000'000 + quint64(i) * gap_us, float(i));
    return frames;
}

QString write_recording(const QTemporaryDir& dir, const QString& name, const QList<QByteArray>& frames)
{
    QFile file(dir.filePath(name));
    if (!file.open(QIODevice::WriteOnly))
        return {};
    for (const QByteArray& frame : frames)
        file.write(frame);
    return file.fileName();
}

// A window and an engine wired as the program wires them, sending to a
// loopback receiver.
struct Rig {
    PlaybackEngine engine;
    DropWindow window;
    nmb::UdpAdapter receiver;
    std::unique_ptr<QSignalSpy> received;

    bool start(const QHostAddress& address = QHostAddress(QHostAddress::LocalHost))
    {
        nmb::reelcast::install_window_handlers(window, engine);
        if (!receiver.connect(address, 0))
            return false;
        received = std::make_unique<QSignalSpy>(&receiver, &nmb::UdpAdapter::data_received);
        ip_edit()->setText(address.toString());
        window.findChild<QSpinBox*>()->setValue(receiver.local_port());
        return true;
    }

    QLineEdit* ip_edit() { return window.findChildren<QLineEdit*>(QString(), Qt::FindDirectChildrenOnly).value(0); }
    QString title() { return window.findChildren<QLabel*>(QString(), Qt::FindDirectChildrenOnly).value(0)->text(); }
    QString hint() { return window.findChildren<QLabel*>(QString(), Qt::FindDirectChildrenOnly).value(1)->text(); }
    QPushButton* button(const char* name) { return window.findChild<QPushButton*>(QLatin1String(name)); }
    QDoubleSpinBox* rate_box() { return window.findChild<QDoubleSpinBox*>(QStringLiteral("rateSpinBox")); }

    QByteArray datagram(int i) const { return received->at(i).at(0).toByteArray(); }

    void drop_file(const QString& path)
    {
        QMimeData mime;
        mime.setUrls({QUrl::fromLocalFile(path)});
        QDropEvent event(QPointF(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        static_cast<QObject&>(window).event(&event);
    }

    // Seeks as the user does: drag the handle to the per-mille value, let go.
    void drag_slider_to(int per_mille)
    {
        auto* slider = window.findChild<QSlider*>(QStringLiteral("playbackProgressSlider"));
        slider->setSliderDown(true);
        slider->setSliderPosition(per_mille);
        slider->setSliderDown(false);
    }
};

enum class Halt { None, Pause, Stop, Finish };

} // namespace

Q_DECLARE_METATYPE(Halt)

class TestWindowMode : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void window_mode_needs_a_display_variable_data();
    void window_mode_needs_a_display_variable();
    void program_opens_the_window_only_without_arguments_data();
    void program_opens_the_window_only_without_arguments();
    void dropped_file_plays_to_the_form_destination_data();
    void dropped_file_plays_to_the_form_destination();
    void address_that_does_not_parse_opens_nothing_data();
    void address_that_does_not_parse_opens_nothing();
    void pause_then_resume_plays_the_pending_frame_at_once();
    void rate_change_rescales_the_running_wait();
    void seek_lands_on_the_frame_at_the_fraction_data();
    void seek_lands_on_the_frame_at_the_fraction();
    void seek_past_a_damaged_frame_reports_a_playback_error();
    void stop_while_paused_offers_replay();
    void replay_sends_to_the_address_now_in_the_form();
    void resume_with_nothing_pending_does_nothing();
    void console_play_after_stop_brings_back_the_playing_controls();
    void keys_move_in_the_take_and_the_label_shows_its_time();
    void unreadable_recording_shows_the_open_error();
    void seek_after_a_failed_open_does_nothing();
};

void TestWindowMode::window_mode_needs_a_display_variable_data()
{
    QTest::addColumn<QString>("display");
    QTest::addColumn<QString>("wayland_display");
    QTest::addColumn<QString>("platform"); // "unset" removes the variable
    QTest::addColumn<int>("argc");
    QTest::addColumn<bool>("window");
    QTest::newRow("X display only") << ":0" << "unset" << "unset" << 1 << true;
    QTest::newRow("Wayland display only") << "unset" << "wayland-0" << "unset" << 1 << true;
    QTest::newRow("platform only") << "unset" << "unset" << "offscreen" << 1 << true;
    QTest::newRow("empty display, platform set") << "" << "unset" << "offscreen" << 1 << true;
    QTest::newRow("all three empty") << "" << "" << "" << 1 << false;
    QTest::newRow("none set") << "unset" << "unset" << "unset" << 1 << false;
    QTest::newRow("an argument on a display") << ":0" << "wayland-0" << "offscreen" << 2 << false;
}

void TestWindowMode::window_mode_needs_a_display_variable()
{
    QFETCH(QString, display);
    QFETCH(QString, wayland_display);
    QFETCH(QString, platform);
    QFETCH(int, argc);
    QFETCH(bool, window);
    const QList<QByteArray> names = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};
    const QStringList values = {display, wayland_display, platform};
    QList<std::optional<QByteArray>> saved;
    for (const QByteArray& name : names)
        saved << (qEnvironmentVariableIsSet(name) ? std::optional(qgetenv(name)) : std::nullopt);
    for (int i = 0; i < names.size(); ++i) {
        if (values[i] == QLatin1String("unset"))
            qunsetenv(names[i]);
        else
            qputenv(names[i], values[i].toLocal8Bit());
    }
    const bool chosen = nmb::reelcast::window_mode_requested(argc);
    for (int i = 0; i < names.size(); ++i) {
        if (saved[i])
            qputenv(names[i], *saved[i]);
        else
            qunsetenv(names[i]);
    }
    QCOMPARE(chosen, window);
}

void TestWindowMode::program_opens_the_window_only_without_arguments_data()
{
    QTest::addColumn<QString>("platform"); // QT_QPA_PLATFORM; DISPLAY and WAYLAND_DISPLAY are removed
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("window");
    QTest::newRow("no argument on a display") << "offscreen" << QStringList{} << true;
    QTest::newRow("an option on a display") << "offscreen" << QStringList{"--loop"} << false;
    QTest::newRow("display variable set but empty") << "" << QStringList{} << false;
}

void TestWindowMode::program_opens_the_window_only_without_arguments()
{
    QFETCH(QString, platform);
    QFETCH(QStringList, arguments);
    QFETCH(bool, window);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove("DISPLAY");
    environment.remove("WAYLAND_DISPLAY");
    environment.insert("QT_QPA_PLATFORM", platform);
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(nmb::test::program_path("nimbra_reelcast"), arguments);
    QVERIFY(process.waitForStarted(5000));
    if (window) {
        // The window waits for a recording; a headless start would end at
        // once with the usage text.
        QVERIFY(!process.waitForFinished(1500));
        process.kill();
        QVERIFY(process.waitForFinished(5000));
        QVERIFY(!process.readAllStandardError().contains("Usage: "));
    } else {
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitCode(), 2);
        QVERIFY(process.readAllStandardError().startsWith(
            "Exactly one binary recording path is required.\n\nUsage: "));
    }
}

void TestWindowMode::dropped_file_plays_to_the_form_destination_data()
{
    QTest::addColumn<QHostAddress>("address");
    QTest::addColumn<QString>("typed_prefix");
    QTest::newRow("IPv4 loopback") << QHostAddress(QHostAddress::LocalHost) << "";
    QTest::newRow("IPv6 loopback") << QHostAddress(QHostAddress::LocalHostIPv6) << "";
    QTest::newRow("address typed with spaces") << QHostAddress(QHostAddress::LocalHost) << "  ";
}

void TestWindowMode::dropped_file_plays_to_the_form_destination()
{
    QFETCH(QHostAddress, address);
    QFETCH(QString, typed_prefix);
    QTemporaryDir dir;
    const QList<QByteArray> frames = make_frames(4, 5'000);
    const QString path = write_recording(dir, "walk.bin", frames);
    Rig rig;
    if (!rig.start(address))
        QSKIP("this loopback address is not available here");
    rig.ip_edit()->setText(typed_prefix + address.toString() + typed_prefix);

    rig.drop_file(path);
    QCOMPARE(rig.title(), QStringLiteral("Playing walk.bin"));
    QTRY_COMPARE(rig.received->size(), frames.size());
    for (int i = 0; i < frames.size(); ++i)
        QCOMPARE(rig.datagram(i), frames[i]);
    QTRY_COMPARE(rig.title(), QStringLiteral("Playback finished"));
    QCOMPARE(rig.hint(), QStringLiteral("4 frame(s) played. Drop another recording, choose one, or replay."));
    QVERIFY(rig.button("replayButton")->isVisibleTo(&rig.window));
    // The playback timing stays readable under the slider after the end.
    const auto* timing = rig.window.findChild<QLabel*>(QStringLiteral("timing_label"));
    QVERIFY(timing);
    const QRegularExpression summary(QStringLiteral("^late p50: \\d+\\.\\d{3} ms, p99: \\d+\\.\\d{3} ms$"));
    QTRY_VERIFY2(summary.match(timing->text()).hasMatch(), qPrintable(timing->text()));
}

void TestWindowMode::address_that_does_not_parse_opens_nothing_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("host name") << "localhost";
    QTest::newRow("address with a port") << "127.0.0.1:16000";
    QTest::newRow("empty field") << "";
}

void TestWindowMode::address_that_does_not_parse_opens_nothing()
{
    QFETCH(QString, text);
    QTemporaryDir dir;
    const QString path = write_recording(dir, "walk.bin", make_frames(2, 1'000));
    Rig rig;
    QVERIFY(rig.start());
    QSignalSpy started(&rig.engine, &PlaybackEngine::playback_started);
    rig.ip_edit()->setText(text);

    rig.drop_file(path);
    QCOMPARE(rig.title(), QStringLiteral("Invalid destination"));
    QCOMPARE(rig.hint(), QStringLiteral("Invalid UDP destination IP address: %1").arg(text));
    QCOMPARE(started.size(), 0);
    QCOMPARE(rig.engine.state(), PlaybackEngine::State::Idle);
    QVERIFY(rig.engine.current_path().isEmpty());
    QVERIFY(rig.button("chooseButton")->isVisibleTo(&rig.window));
}

void TestWindowMode::pause_then_resume_plays_the_pending_frame_at_once()
{
    QTemporaryDir dir;
    // The second frame is due 20 s after the first: only a resume that
    // drops the rest of the wait brings it within the test's time.
    const QList<QByteArray> frames = make_frames(3, 20'000'000);
    Rig rig;
    QVERIFY(rig.start());
    rig.drop_file(write_recording(dir, "walk.bin", frames));
    QTRY_COMPARE(rig.received->size(), 1);

    rig.button("pauseButton")->click();
    QCOMPARE(rig.title(), QStringLiteral("Paused walk.bin"));
    QVERIFY(rig.button("resumeButton")->isEnabled());
    QVERIFY(!rig.button("pauseButton")->isEnabled());

    rig.button("resumeButton")->click();
    QCOMPARE(rig.title(), QStringLiteral("Playing walk.bin"));
    QTRY_COMPARE_WITH_TIMEOUT(rig.received->size(), 2, 5000);
    QCOMPARE(rig.datagram(1), frames[1]);
    QCOMPARE(rig.hint(), QStringLiteral("2 frame(s) played"));
    // Later frames keep their spacing: the third is 20 s away again.
    QCOMPARE(rig.engine.state(), PlaybackEngine::State::Playing);
    QCOMPARE(rig.received->size(), 2);
}

void TestWindowMode::rate_change_rescales_the_running_wait()
{
    QTemporaryDir dir;
    const QList<QByteArray> frames = make_frames(2, 1'200'000);
    Rig rig;
    QVERIFY(rig.start());
    rig.drop_file(write_recording(dir, "walk.bin", frames));
    QTRY_COMPARE(rig.received->size(), 1);

    // About 1200 ms remain at 1x; doubling the speed leaves about 600 ms.
    QElapsedTimer since_change;
    since_change.start();
    rig.rate_box()->setValue(2.0);
    QVERIFY(rig.received->wait(5000));
    const qint64 waited = since_change.elapsed();
    QVERIFY2(waited >= 400, qPrintable(QString::number(waited)));
    QVERIFY2(waited < 1100, qPrintable(QString::number(waited)));
    QCOMPARE(rig.datagram(1), frames[1]);
}

void TestWindowMode::seek_lands_on_the_frame_at_the_fraction_data()
{
    QTest::addColumn<Halt>("halt");
    QTest::addColumn<bool>("keeps_playing");
    QTest::newRow("while playing") << Halt::None << true;
    QTest::newRow("while paused") << Halt::Pause << false;
    QTest::newRow("after stop") << Halt::Stop << false;
    QTest::newRow("after the end") << Halt::Finish << false;
}

void TestWindowMode::seek_lands_on_the_frame_at_the_fraction()
{
    QFETCH(Halt, halt);
    QFETCH(bool, keeps_playing);
    QTemporaryDir dir;
    // Ten equal frames: half the file ends exactly with frame 4 (zero-based).
    const QList<QByteArray> frames = make_frames(10, 20'000'000);
    Rig rig;
    QVERIFY(rig.start());
    if (halt == Halt::Finish)
        rig.rate_box()->setValue(100.0);
    rig.drop_file(write_recording(dir, "walk.bin", frames));
    QTRY_COMPARE(rig.received->size(), 1);

    if (halt == Halt::Pause) {
        rig.button("pauseButton")->click();
    } else if (halt == Halt::Stop) {
        rig.button("stopButton")->click();
        QCOMPARE(rig.title(), QStringLiteral("Playback stopped"));
    } else if (halt == Halt::Finish) {
        // 200 ms between frames at 100x.
        QTRY_COMPARE_WITH_TIMEOUT(rig.title(), QStringLiteral("Playback finished"), 10000);
        rig.rate_box()->setValue(1.0);
    }
    const int before = rig.received->size();

    rig.drag_slider_to(500);
    QCOMPARE(rig.hint(), QStringLiteral("4 frame(s) played"));
    QCOMPARE(rig.window.findChild<QSlider*>()->value(), 400);
    if (keeps_playing) {
        QTRY_COMPARE(rig.received->size(), before + 1);
    } else {
        QCOMPARE(rig.title(), QStringLiteral("Paused walk.bin"));
        QVERIFY(rig.button("resumeButton")->isEnabled());
        QVERIFY(rig.button("resumeButton")->isVisibleTo(&rig.window));
        QCOMPARE(rig.engine.state(), PlaybackEngine::State::Halted);
        rig.button("resumeButton")->click();
        QTRY_COMPARE(rig.received->size(), before + 1);
    }
    QCOMPARE(rig.datagram(before), frames[4]);
    QCOMPARE(rig.hint(), QStringLiteral("5 frame(s) played"));
}

void TestWindowMode::seek_past_a_damaged_frame_reports_a_playback_error()
{
    QTemporaryDir dir;
    QList<QByteArray> frames = make_frames(10, 20'000'000);
    frames[2][100] = char(frames[2][100] ^ 0x01);
    Rig rig;
    QVERIFY(rig.start());
    rig.drop_file(write_recording(dir, "walk.bin", frames));
    QTRY_COMPARE(rig.received->size(), 1); // frame 1 is pending for 20 s

    rig.drag_slider_to(500);
    QCOMPARE(rig.title(), QStringLiteral("Playback error"));
    QCOMPARE(rig.hint(), QStringLiteral("Frame CRC mismatch."));
    QCOMPARE(rig.engine.state(), PlaybackEngine::State::Failed);
    QVERIFY(rig.button("chooseButton")->isVisibleTo(&rig.window));
    QVERIFY(!rig.button("resumeButton")->isVisibleTo(&rig.window));
}

void TestWindowMode::stop_while_paused_offers_replay()
{
    QTemporaryDir dir;
    Rig rig;
    QVERIFY(rig.start());
    rig.drop_file(write_recording(dir, "walk.bin", make_frames(3, 20'000'000)));
    QTRY_COMPARE(rig.received->size(), 1);
    rig.button("pauseButton")->click();
    QVERIFY(rig.button("stopButton")->isVisibleTo(&rig.window));

    rig.button("stopButton")->click();
    QCOMPARE(rig.title(), QStringLiteral("Playback stopped"));
    QCOMPARE(rig.hint(), QStringLiteral("1 frame(s) played. Drop another recording, choose one, or replay."));
    QVERIFY(rig.button("replayButton")->isVisibleTo(&rig.window));
    QVERIFY(rig.button("chooseButton")->isVisibleTo(&rig.window));
}

void TestWindowMode::replay_sends_to_the_address_now_in_the_form()
{
    QTemporaryDir dir;
    const QList<QByteArray> frames = make_frames(2, 1'000);
    Rig rig;
    QVERIFY(rig.start());
    rig.drop_file(write_recording(dir, "walk.bin", frames));
    QTRY_COMPARE(rig.title(), QStringLiteral("Playback finished"));
    QTRY_COMPARE(rig.received->size(), 2);

    nmb::UdpAdapter second;
    QVERIFY(second.connect(QHostAddress::LocalHost, 0));
    QSignalSpy second_received(&second, &nmb::UdpAdapter::data_received);
    rig.window.findChild<QSpinBox*>()->setValue(second.local_port());
    rig.button("replayButton")->click();
    QTRY_COMPARE(second_received.size(), 2);
    QCOMPARE(second_received.at(0).at(0).toByteArray(), frames[0]);
    QTRY_COMPARE(rig.title(), QStringLiteral("Playback finished"));

    rig.ip_edit()->setText("receiver.local");
    rig.button("replayButton")->click();
    QCOMPARE(rig.title(), QStringLiteral("Invalid destination"));
    QCOMPARE(rig.engine.state(), PlaybackEngine::State::Finished);
}

void TestWindowMode::resume_with_nothing_pending_does_nothing()
{
    QTemporaryDir dir;
    Rig rig;
    QVERIFY(rig.start());
    QSignalSpy counts(&rig.engine, &PlaybackEngine::frame_count_changed);

    rig.engine.handle_console_action(QStringLiteral("Reelcast.play"));
    QCOMPARE(rig.engine.state(), PlaybackEngine::State::Idle);
    QCOMPARE(rig.title(), QStringLiteral("Drop a recording here"));

    rig.drop_file(write_recording(dir, "walk.bin", make_frames(1, 1'000)));
    QTRY_COMPARE(rig.title(), QStringLiteral("Playback finished"));
    const int played = counts.size();
    rig.engine.handle_console_action(QStringLiteral("Reelcast.play"));
    QCoreApplication::processEvents();
    QCOMPARE(rig.engine.state(), PlaybackEngine::State::Finished);
    QCOMPARE(counts.size(), played);
    QCOMPARE(rig.title(), QStringLiteral("Playback finished"));
    QTRY_COMPARE(rig.received->size(), 1);
}

void TestWindowMode::console_play_after_stop_brings_back_the_playing_controls()
{
    QTemporaryDir dir;
    const QList<QByteArray> frames = make_frames(3, 20'000'000);
    Rig rig;
    QVERIFY(rig.start());
    rig.drop_file(write_recording(dir, "walk.bin", frames));
    QTRY_COMPARE(rig.received->size(), 1);
    rig.button("stopButton")->click();
    QVERIFY(rig.button("chooseButton")->isVisibleTo(&rig.window));

    nmb::reelcast::handle_window_console_action(rig.window, rig.engine, "Reelcast.play");
    QCOMPARE(rig.title(), QStringLiteral("Playing walk.bin"));
    QVERIFY(!rig.button("chooseButton")->isVisibleTo(&rig.window));
    QVERIFY(rig.button("pauseButton")->isVisibleTo(&rig.window));
    QVERIFY(rig.button("pauseButton")->isEnabled());
    QTRY_COMPARE(rig.received->size(), 2);
    QCOMPARE(rig.datagram(1), frames[1]);
    QCOMPARE(rig.hint(), QStringLiteral("2 frame(s) played"));

    nmb::reelcast::handle_window_console_action(rig.window, rig.engine, "Reelcast.pause");
    QCOMPARE(rig.title(), QStringLiteral("Paused walk.bin"));
    nmb::reelcast::handle_window_console_action(rig.window, rig.engine, "Reelcast.pause");
    QCOMPARE(rig.engine.state(), PlaybackEngine::State::Halted);
    QVERIFY(rig.button("resumeButton")->isEnabled());
}

void TestWindowMode::keys_move_in_the_take_and_the_label_shows_its_time()
{
    QTemporaryDir dir;
    const QList<QByteArray> frames = make_frames(8, 2'000'000); // 14 s
    Rig rig;
    QVERIFY(rig.start());
    auto* time_label = rig.window.findChild<QLabel*>(QStringLiteral("time_label"));
    QVERIFY(time_label);
    rig.drop_file(write_recording(dir, "walk.bin", frames));
    QTRY_COMPARE(rig.received->size(), 1);
    QCOMPARE(time_label->text(), QStringLiteral("00:00.0 / 00:14.0"));

    QTest::keyClick(&rig.window, Qt::Key_Space);
    QCOMPARE(rig.title(), QStringLiteral("Paused walk.bin"));
    QTest::keyClick(&rig.window, Qt::Key_Right);
    QCOMPARE(time_label->text(), QStringLiteral("00:06.0 / 00:14.0"));
    QCOMPARE(rig.title(), QStringLiteral("Paused walk.bin"));
    QCOMPARE(rig.hint(), QStringLiteral("3 frame(s) played"));
    QTest::keyClick(&rig.window, Qt::Key_Left);
    QCOMPARE(time_label->text(), QStringLiteral("00:02.0 / 00:14.0"));
    QTest::keyClick(&rig.window, Qt::Key_Space);
    QTRY_COMPARE(rig.received->size(), 2);
    QCOMPARE(rig.datagram(1), frames[1]);

    // Home plays from the start, also after a stop brought the ready controls.
    rig.button("stopButton")->click();
    QTest::keyClick(&rig.window, Qt::Key_Home);
    QCOMPARE(rig.title(), QStringLiteral("Playing walk.bin"));
    QTRY_COMPARE(rig.received->size(), 3);
    QCOMPARE(rig.datagram(2), frames[0]);
    QCOMPARE(time_label->text(), QStringLiteral("00:00.0 / 00:14.0"));

    // A rate changed on the console shows in the window.
    nmb::reelcast::handle_window_console_action(rig.window, rig.engine, "Reelcast.rate_up");
    QCOMPARE(rig.rate_box()->value(), 2.0);
    QCOMPARE(rig.engine.rate(), 2.0);
}

void TestWindowMode::unreadable_recording_shows_the_open_error()
{
    QTemporaryDir dir;
    Rig rig;
    QVERIFY(rig.start());
    QFile empty(dir.filePath("empty.bin"));
    QVERIFY(empty.open(QIODevice::WriteOnly));
    empty.close();

    rig.drop_file(empty.fileName());
    QCOMPARE(rig.title(), QStringLiteral("Playback error"));
    QCOMPARE(rig.hint(), QStringLiteral("Recording is empty."));
    QVERIFY(rig.button("chooseButton")->isVisibleTo(&rig.window));
}

void TestWindowMode::seek_after_a_failed_open_does_nothing()
{
    QTemporaryDir dir;
    Rig rig;
    QVERIFY(rig.start());
    const QString path = write_recording(dir, "walk.bin", make_frames(3, 1'000));
    rig.drop_file(path);
    QTRY_COMPARE(rig.title(), QStringLiteral("Playback finished"));
    QTRY_COMPARE(rig.received->size(), 3);

    // The recording is gone by the time of the replay: the open fails and
    // leaves no file open, so the slider, still enabled, has nothing to seek.
    QVERIFY(QFile::remove(path));
    rig.button("replayButton")->click();
    QCOMPARE(rig.title(), QStringLiteral("Playback error"));
    const QString reason = rig.hint();
    QVERIFY(!reason.isEmpty());
    QSignalSpy counts(&rig.engine, &PlaybackEngine::frame_count_changed);
    QSignalSpy failures(&rig.engine, &PlaybackEngine::playback_failed);

    rig.drag_slider_to(500);
    QCOMPARE(rig.title(), QStringLiteral("Playback error"));
    QCOMPARE(rig.hint(), reason);
    QCOMPARE(rig.engine.state(), PlaybackEngine::State::Idle);
    QVERIFY(counts.isEmpty());
    QVERIFY(failures.isEmpty());
    QVERIFY(rig.button("chooseButton")->isVisibleTo(&rig.window));
    QVERIFY(!rig.received->wait(200));
}

QTEST_MAIN(TestWindowMode)
#include "tst_window_mode.moc"
