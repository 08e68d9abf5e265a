// The engine in process, for what the window tests do not reach: frame
// numbers across loop passes and the console text, states that ignore the
// controls, the loop source, rate checks and the console actions. Pause,
// resume, stop, seek and rate changes are driven through the window in
// tst_window_mode.

#include "format_frame.h"
#include "playback_engine.h"

#include <nmb/test/recordings.h>
#include <nmb/test/udp_capture.h>
#include <nmb/tui.h>
#include <nmb/tui_qt_bus.h>

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <limits>

using nmb::reelcast::PlaybackEngine;
using nmb::test::UdpCapture;
using State = PlaybackEngine::State;

Q_DECLARE_METATYPE(PlaybackEngine::State)

namespace {

std::string shown_text(const std::string& name)
{
    for (const auto& channel : nmb::Tui::instance().make_channel_snapshot()) {
        if (channel.name == name)
            return channel.message + "|" + channel.description;
    }
    return {};
}

std::string shown_frame_text()
{
    const std::string text = shown_text("Reelcast.frame");
    return text.substr(0, text.rfind('|'));
}

} // namespace

class TestPlaybackEngine : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void frame_numbers_rise_across_loop_passes();
    void controls_outside_their_state_do_nothing_data();
    void controls_outside_their_state_do_nothing();
    void loop_source_is_asked_at_every_end();
    void invalid_rates_are_refused_data();
    void invalid_rates_are_refused();
    void console_actions_arrive_through_the_bus();
    void navigation_data();
    void navigation();
    void timing_is_reported_at_most_ten_times_a_second();

private:
    // Writes the frames as a recording and starts playing it to the receiver.
    bool open(PlaybackEngine& engine, const QList<QByteArray>& frames);

    QTemporaryDir dir_;
    UdpCapture receiver_;
};

void TestPlaybackEngine::initTestCase()
{
    QVERIFY(dir_.isValid());
    QVERIFY(receiver_.bind());
}

bool TestPlaybackEngine::open(PlaybackEngine& engine, const QList<QByteArray>& frames)
{
    const QString path = nmb::test::write_recording(dir_, "take.bin", nmb::test::joined(frames));
    engine.set_destination(QHostAddress(QHostAddress::LocalHost), receiver_.port());
    return !path.isEmpty() && engine.open_recording(path);
}

void TestPlaybackEngine::frame_numbers_rise_across_loop_passes()
{
    const QList<QByteArray> frames = nmb::test::evenly_spaced_frames(3, 5'000);
    PlaybackEngine engine;
    engine.set_loop(true);
    QSignalSpy count(&engine, &PlaybackEngine::frame_count_changed);
    const qsizetype before = receiver_.count();
    QVERIFY(open(engine, frames));
    QTRY_VERIFY_WITH_TIMEOUT(count.size() >= 6, 5000);
    engine.pause();

    for (int i = 0; i < 6; ++i)
        QCOMPARE(count.at(i).at(0).toULongLong(), quint64(i + 1));
    const quint64 played = engine.frames_played();
    QTRY_COMPARE(receiver_.count(), before + qsizetype(played));
    for (qsizetype i = 0; i < qsizetype(played); ++i)
        QCOMPARE(receiver_.datagrams().at(before + i).bytes, frames[i % 3]);
    QCOMPARE(shown_frame_text(), nmb::reelcast::format_frame(frames[(played - 1) % 3], played));
}

void TestPlaybackEngine::controls_outside_their_state_do_nothing_data()
{
    QTest::addColumn<QString>("situation");
    QTest::newRow("never opened") << QStringLiteral("idle");
    QTest::newRow("after the end") << QStringLiteral("finished");
    QTest::newRow("after a playback error") << QStringLiteral("failed");
    QTest::newRow("after a failed open") << QStringLiteral("open failed");
}

void TestPlaybackEngine::controls_outside_their_state_do_nothing()
{
    QFETCH(QString, situation);
    const QList<QByteArray> frames = nmb::test::evenly_spaced_frames(2, 1'000);
    PlaybackEngine engine;
    if (situation == "finished") {
        QVERIFY(open(engine, frames));
        QTRY_COMPARE(engine.state(), State::Finished);
    } else if (situation == "failed") {
        QVERIFY(open(engine, {frames[0], frames[1].left(100)}));
        QTRY_COMPARE(engine.state(), State::Failed);
    } else if (situation == "open failed") {
        QVERIFY(!engine.open_recording(dir_.filePath("missing.bin")));
    }
    const State before = engine.state();
    QSignalSpy count(&engine, &PlaybackEngine::frame_count_changed);
    QSignalSpy halted(&engine, &PlaybackEngine::playback_paused);
    QSignalSpy stopped(&engine, &PlaybackEngine::playback_stopped);
    const std::string text = shown_frame_text();

    engine.resume();
    engine.pause();
    engine.stop();
    engine.handle_console_action("Reelcast.play");
    QCOMPARE(engine.state(), before);
    // Nothing is pending, so nothing (and no empty frame) may go out later.
    QVERIFY(!count.wait(100));
    QVERIFY(halted.isEmpty() && stopped.isEmpty());
    QCOMPARE(shown_frame_text(), text);
}

void TestPlaybackEngine::loop_source_is_asked_at_every_end()
{
    const QList<QByteArray> frames = nmb::test::evenly_spaced_frames(2, 1'000);
    PlaybackEngine engine;
    engine.set_loop(false);
    engine.set_loop_source([&engine] { return engine.frames_played() < 6; });
    const qsizetype before = receiver_.count();
    QVERIFY(open(engine, frames));
    QTRY_COMPARE(engine.state(), State::Finished);
    QCOMPARE(engine.frames_played(), quint64(6));
    QTRY_COMPARE(receiver_.count(), before + 6);
}

void TestPlaybackEngine::invalid_rates_are_refused_data()
{
    QTest::addColumn<double>("rate");
    QTest::newRow("zero") << 0.0;
    QTest::newRow("negative") << -2.0;
    QTest::newRow("infinite") << std::numeric_limits<double>::infinity();
    QTest::newRow("not a number") << std::numeric_limits<double>::quiet_NaN();
}

void TestPlaybackEngine::invalid_rates_are_refused()
{
    QFETCH(double, rate);
    PlaybackEngine engine;
    QVERIFY(engine.set_rate(3.0));
    QVERIFY(!engine.set_rate(rate));
    QCOMPARE(engine.rate(), 3.0);
}

void TestPlaybackEngine::console_actions_arrive_through_the_bus()
{
    nmb::reelcast::register_console_actions();
    const auto actions = nmb::Tui::instance().make_action_snapshot();
    QStringList listed;
    for (const auto& action : actions)
        listed << QString::fromStdString(action.id + " " + action.description + " [" + action.key + "]");
    QCOMPARE(listed, (QStringList{
                         "Reelcast.pause pause binary playback []",
                         "Reelcast.play resume binary playback [Space]",
                         "Reelcast.quit quit binary playback []",
                         "Reelcast.rate_down halve the playback rate [-]",
                         "Reelcast.rate_up double the playback rate [+]",
                         "Reelcast.restart play from the start [Home]",
                         "Reelcast.seek_back jump back 5 s [Left]",
                         "Reelcast.seek_forward jump forward 5 s [Right]",
                     }));

    PlaybackEngine engine;
    connect(&nmb::TuiQtBus::instance(), &nmb::TuiQtBus::action_triggered, &engine,
            &PlaybackEngine::handle_console_action);
    QSignalSpy count(&engine, &PlaybackEngine::frame_count_changed);
    QVERIFY(open(engine, nmb::test::evenly_spaced_frames(2, 300'000)));
    QTRY_COMPARE(count.size(), 1);
    nmb::Tui::instance().execute_action("Reelcast.pause");
    QCOMPARE(engine.state(), State::Playing); // delivered on a later turn of the loop
    QTRY_COMPARE(engine.state(), State::Halted);
    // While playing, Space pauses; halted, it plays.
    QCOMPARE(nmb::Tui::instance().make_action_snapshot()[1].key, std::string("Space"));
    nmb::Tui::instance().execute_action("Reelcast.unknown");
    nmb::Tui::instance().execute_action("Reelcast.play");
    QTRY_COMPARE(engine.state(), State::Finished);
    QCOMPARE(engine.frames_played(), quint64(2));
}

void TestPlaybackEngine::navigation_data()
{
    QTest::addColumn<QStringList>("actions"); // console action ids without "Reelcast."
    QTest::addColumn<bool>("loop");
    QTest::addColumn<qint64>("start_us");
    QTest::addColumn<qint64>("end_us"); // -1: none
    QTest::addColumn<State>("state");
    QTest::addColumn<qint64>("position_us");
    QTest::addColumn<quint64>("frames"); // frames played, the landing frame's index after a jump
    QTest::addColumn<double>("rate");
    QTest::addColumn<QString>("progress"); // empty: not compared
    QTest::addColumn<int>("body_frame_at"); // a frame without timestamp there; -1: none

    // The take: 100 frames 100 ms apart, 9.9 s long; opened and paused at once.
    QTest::newRow("opened and paused") << QStringList{} << false << qint64(0) << qint64(-1)
        << State::Halted << qint64(0) << quint64(0) << 1.0
        << "time: 00:00.000 / 00:09.900\nprogress: [....................] 0 %\nstate: paused\n" << -1;
    QTest::newRow("forward while paused stays paused")
        << QStringList{"seek_forward"} << false << qint64(0) << qint64(-1) << State::Halted
        << qint64(5'000'000) << quint64(50) << 1.0
        << "time: 00:05.000 / 00:09.900\nprogress: [##########..........] 50 %\nstate: paused\n" << -1;
    QTest::newRow("back before the first frame lands on it")
        << QStringList{"seek_forward", "seek_back", "seek_back"} << false << qint64(0) << qint64(-1)
        << State::Halted << qint64(0) << quint64(0) << 1.0 << "" << -1;
    QTest::newRow("past the last frame ends the pass")
        << QStringList{"seek_forward", "seek_forward"} << false << qint64(0) << qint64(-1)
        << State::Finished << qint64(9'900'000) << quint64(50) << 1.0
        << "time: 00:09.900 / 00:09.900\nprogress: [####################] 100 %\nstate: finished\n" << -1;
    QTest::newRow("past the last frame in a loop starts over, paused")
        << QStringList{"seek_forward", "seek_forward"} << true << qint64(0) << qint64(-1)
        << State::Halted << qint64(0) << quint64(50) << 1.0 << "" << -1;
    QTest::newRow("restart plays from the start")
        << QStringList{"seek_forward", "restart"} << false << qint64(0) << qint64(-1)
        << State::Playing << qint64(0) << quint64(0) << 1.0
        << "time: 00:00.000 / 00:09.900\nprogress: [....................] 0 %\nstate: playing at 1x\n" << -1;
    QTest::newRow("rate doubles up to 100x")
        << QStringList(8, "rate_up") << false << qint64(0) << qint64(-1) << State::Halted
        << qint64(0) << quint64(0) << 100.0 << "" << -1;
    QTest::newRow("rate halves down to 0.1x")
        << QStringList{"rate_down", "rate_down", "rate_down", "rate_down", "play"} << false
        << qint64(0) << qint64(-1) << State::Playing << qint64(0) << quint64(0) << 0.1
        << "time: 00:00.000 / 00:09.900\nprogress: [....................] 0 %\nstate: playing at 0.1x\n" << -1;
    QTest::newRow("play window starts at its start")
        << QStringList{} << false << qint64(2'050'000) << qint64(4'000'000) << State::Halted
        << qint64(2'100'000) << quint64(21) << 1.0 << "" << -1;
    QTest::newRow("back is held at the window's start")
        << QStringList{"seek_back"} << false << qint64(2'000'000) << qint64(4'000'000)
        << State::Halted << qint64(2'000'000) << quint64(20) << 1.0 << "" << -1;
    QTest::newRow("forward past the window's end ends the pass")
        << QStringList{"seek_forward"} << false << qint64(2'000'000) << qint64(4'000'000)
        << State::Finished << qint64(4'000'000) << quint64(20) << 1.0 << "" << -1;
    QTest::newRow("a jump across a frame without timestamp fails")
        << QStringList{"seek_forward"} << false << qint64(0) << qint64(-1) << State::Failed
        << qint64(0) << quint64(0) << 1.0
        << "time: 00:00.000 / 00:09.900\nprogress: [....................] 0 %\nstate: error\n" << 30;
}

void TestPlaybackEngine::navigation()
{
    QFETCH(QStringList, actions);
    QFETCH(bool, loop);
    QFETCH(qint64, start_us);
    QFETCH(qint64, end_us);
    QFETCH(State, state);
    QFETCH(qint64, position_us);
    QFETCH(quint64, frames);
    QFETCH(double, rate);
    QFETCH(QString, progress);
    QFETCH(int, body_frame_at);

    QList<QByteArray> take;
    for (quint64 i = 0; i < 100; ++i)
        take.append(nmb::test::timestamp_frame(3'000'000 + i * 100'000));
    if (body_frame_at >= 0)
        take[body_frame_at] = nmb::test::frame_bytes(1, QByteArray(8, '\0'));
    PlaybackEngine engine;
    engine.set_loop(loop);
    engine.set_play_window(start_us, end_us < 0 ? std::nullopt : std::optional<qint64>(end_us));
    QVERIFY(open(engine, take));
    engine.pause(); // before the first frame's timer has fired
    for (const QString& action : actions)
        engine.handle_console_action(QStringLiteral("Reelcast.") + action);
    QCOMPARE(engine.state(), state);
    QCOMPARE(engine.position_us(), position_us);
    QCOMPARE(engine.frames_played(), frames);
    QCOMPARE(engine.rate(), rate);
    QCOMPARE(engine.duration_us(), qint64(9'900'000));
    if (!progress.isEmpty())
        QCOMPARE(QString::fromStdString(shown_text("Reelcast.progress")),
                 progress + "|playback progress");
    if (state == State::Failed)
        QCOMPARE(QString::fromStdString(shown_text("Reelcast.error")),
                 QStringLiteral("Frame has no usable timestamp.|binary playback error"));
    engine.pause();
}

void TestPlaybackEngine::timing_is_reported_at_most_ten_times_a_second()
{
    PlaybackEngine engine;
    QSignalSpy timing(&engine, &PlaybackEngine::timing_changed);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(open(engine, nmb::test::evenly_spaced_frames(300, 1'000)));
    QTRY_COMPARE_WITH_TIMEOUT(engine.state(), State::Finished, 10'000);
    // The last figures follow the last frame once the interval is over.
    const QRegularExpression report(QStringLiteral(
        "late p50: \\d+\\.\\d{3} ms\nlate p99: \\d+\\.\\d{3} ms\nlate max: \\d+\\.\\d{3} ms\n"
        "late over 1 ms: \\d+ of 300\\|playback timing"));
    QTRY_VERIFY2(report.match(QString::fromStdString(shown_text("Reelcast.timing"))).hasMatch(),
                 shown_text("Reelcast.timing").c_str());
    const qint64 elapsed_ms = clock.elapsed();

    // An empty summary on open, then figures no more often than every 100 ms.
    QVERIFY(timing.size() >= 2);
    QCOMPARE(timing.first().at(0).toString(), QString());
    QVERIFY2(timing.size() - 1 <= elapsed_ms / 100 + 1, qPrintable(QString::number(timing.size())));
    const QRegularExpression summary(
        QStringLiteral("^late p50: \\d+\\.\\d{3} ms, p99: \\d+\\.\\d{3} ms$"));
    QVERIFY(summary.match(timing.last().at(0).toString()).hasMatch());

    // A new rate starts the figures afresh; the same rate does not.
    timing.clear();
    QVERIFY(engine.set_rate(1.0));
    QVERIFY(timing.isEmpty());
    QVERIFY(engine.set_rate(2.0));
    QCOMPARE(timing.size(), 1);
    QCOMPARE(timing.first().at(0).toString(), QString());
}

QTEST_GUILESS_MAIN(TestPlaybackEngine)
#include "tst_playback_engine.moc"
