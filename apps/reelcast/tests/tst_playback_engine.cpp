#include "format_frame.h"
#include "playback_engine.h"
#include "replay_recordings.h"

#include <nmb/test/udp_capture.h>
#include <nmb/tui.h>
#include <nmb/tui_qt_bus.h>

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <limits>

using nmb::reelcast::PlaybackEngine;
using nmb::test::UdpCapture;
using State = PlaybackEngine::State;

Q_DECLARE_METATYPE(PlaybackEngine::State)

namespace {

QList<quint64> counts(const QSignalSpy& spy)
{
    QList<quint64> values;
    for (const QList<QVariant>& arguments : spy)
        values.append(arguments.at(0).toULongLong());
    return values;
}

std::string last_frame_text()
{
    for (const auto& channel : nmb::Tui::instance().make_channel_snapshot()) {
        if (channel.name == "Reelcast.frame")
            return channel.message;
    }
    return {};
}

} // namespace

class TestPlaybackEngine : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void frame_numbers_rise_across_loop_passes();
    void pause_keeps_the_pending_frame_for_resume();
    void stop_halts_like_pause();
    void controls_outside_their_state_do_nothing_data();
    void controls_outside_their_state_do_nothing();
    void rate_change_rescales_the_pending_wait();
    void rate_change_while_halted_is_only_stored();
    void invalid_rates_are_refused_data();
    void invalid_rates_are_refused();
    void seek_data();
    void seek();
    void seek_after_the_end_halts_at_the_new_frame();
    void seek_into_damage_fails();
    void seek_without_an_open_file_does_nothing();
    void open_failures_data();
    void open_failures();
    void reopen_after_failure_clears_the_exit_code();
    void loop_source_is_asked_at_the_end();
    void console_actions_arrive_through_the_bus();

private:
    // Writes the frames as a recording, sends to the receiver and starts playing.
    bool open(PlaybackEngine& engine, const QList<QByteArray>& frames, const QString& name = "take.bin");

    QTemporaryDir dir_;
    UdpCapture* receiver_ = nullptr;
};

void TestPlaybackEngine::initTestCase()
{
    QVERIFY(dir_.isValid());
    // Without a terminal the console stays down, but prints are still kept
    // as long as the console was never started.
    nmb::Tui::instance().set_enabled(true);
}

void TestPlaybackEngine::init()
{
    delete receiver_;
    receiver_ = new UdpCapture(this);
    QVERIFY(receiver_->bind());
}

bool TestPlaybackEngine::open(PlaybackEngine& engine, const QList<QByteArray>& frames, const QString& name)
{
    const QString path = nmb::test::write_recording(dir_, name, nmb::test::joined(frames));
    engine.set_destination(QHostAddress(QHostAddress::LocalHost), receiver_->port());
    return !path.isEmpty() && engine.open_recording(path) && engine.state() == State::Playing;
}

void TestPlaybackEngine::frame_numbers_rise_across_loop_passes()
{
    const QList<QByteArray> frames = nmb::test::evenly_spaced_frames(3, 5'000);
    PlaybackEngine engine;
    engine.set_loop(true);
    QSignalSpy count(&engine, &PlaybackEngine::frame_count_changed);
    QSignalSpy finished(&engine, &PlaybackEngine::playback_finished);
    QVERIFY(open(engine, frames));
    QTRY_VERIFY_WITH_TIMEOUT(count.size() >= 6, 5000);
    engine.pause();

    QCOMPARE(counts(count).mid(0, 6), (QList<quint64>{1, 2, 3, 4, 5, 6}));
    QVERIFY(finished.isEmpty());
    const quint64 played = engine.frames_played();
    QTRY_COMPARE(receiver_->count(), qsizetype(played));
    const QList<QByteArray> sent = receiver_->payloads();
    for (qsizetype i = 0; i < sent.size(); ++i)
        QCOMPARE(sent[i], frames[i % 3]);
    QCOMPARE(last_frame_text(), nmb::reelcast::format_frame(frames[(played - 1) % 3], played));
}

void TestPlaybackEngine::pause_keeps_the_pending_frame_for_resume()
{
    // 400 ms between frames: a resumed frame that arrives long before that
    // was played at once rather than after the rest of its wait.
    const QList<QByteArray> frames = nmb::test::evenly_spaced_frames(3, 400'000);
    PlaybackEngine engine;
    QSignalSpy paused(&engine, &PlaybackEngine::playback_paused);
    QSignalSpy count(&engine, &PlaybackEngine::frame_count_changed);
    QVERIFY(open(engine, frames));
    QTRY_COMPARE(receiver_->count(), 1);

    engine.pause();
    QCOMPARE(engine.state(), State::Halted);
    QCOMPARE(paused.size(), 1);
    QElapsedTimer resumed;
    resumed.start();
    engine.resume();
    QCOMPARE(engine.state(), State::Playing);
    QCOMPARE(counts(count).last(), quint64(1)); // resume shows the count again
    QTRY_COMPARE_WITH_TIMEOUT(receiver_->count(), 2, 5000);
    QVERIFY2(resumed.elapsed() < 300, qPrintable(QString::number(resumed.elapsed())));
    QCOMPARE(receiver_->payloads(), frames.mid(0, 2));
    // Later frames keep their spacing.
    QTRY_COMPARE_WITH_TIMEOUT(receiver_->count(), 3, 5000);
    QVERIFY(receiver_->span_ms(1, 2) >= 390.0);
    QCOMPARE(engine.state(), State::Finished);
}

void TestPlaybackEngine::stop_halts_like_pause()
{
    const QList<QByteArray> frames = nmb::test::evenly_spaced_frames(2, 300'000);
    PlaybackEngine engine;
    QSignalSpy stopped(&engine, &PlaybackEngine::playback_stopped);
    QVERIFY(open(engine, frames));
    QTRY_COMPARE(receiver_->count(), 1);
    engine.stop();
    QCOMPARE(engine.state(), State::Halted);
    QCOMPARE(stopped.size(), 1);
    QCOMPARE(stopped.at(0).at(0).toULongLong(), quint64(1));
    engine.resume();
    QTRY_COMPARE(receiver_->count(), 2);
    QCOMPARE(receiver_->payloads(), frames);
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
    PlaybackEngine engine;
    const QList<QByteArray> frames = nmb::test::evenly_spaced_frames(2, 1'000);
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
    QTRY_COMPARE(receiver_->count(), before == State::Finished ? 2 : before == State::Failed ? 1 : 0);
    const qsizetype sent = receiver_->count();

    QSignalSpy count(&engine, &PlaybackEngine::frame_count_changed);
    QSignalSpy paused(&engine, &PlaybackEngine::playback_paused);
    QSignalSpy stopped(&engine, &PlaybackEngine::playback_stopped);
    const std::string text = last_frame_text();
    engine.resume();
    engine.pause();
    engine.stop();
    engine.resume();
    QCOMPARE(engine.state(), before);
    QVERIFY(count.isEmpty() && paused.isEmpty() && stopped.isEmpty());
    // Nothing empty goes out or onto the console (a later frame would show).
    QVERIFY(!count.wait(100));
    QCOMPARE(receiver_->count(), sent);
    QCOMPARE(last_frame_text(), text);
}

void TestPlaybackEngine::rate_change_rescales_the_pending_wait()
{
    const QList<QByteArray> frames = nmb::test::evenly_spaced_frames(3, 600'000);
    PlaybackEngine engine;
    QVERIFY(open(engine, frames));
    QTRY_COMPARE(receiver_->count(), 1);
    QVERIFY(engine.set_rate(2.0));
    QCOMPARE(engine.rate(), 2.0);
    QTRY_COMPARE_WITH_TIMEOUT(receiver_->count(), 3, 5000);
    // About 300 ms to the pending frame, then 300 ms for the next one at the
    // new rate, instead of 600 ms each.
    const double first = receiver_->span_ms(0, 1);
    const double second = receiver_->span_ms(1, 2);
    QVERIFY2(first >= 250.0 && first < 500.0, qPrintable(QString::number(first)));
    QVERIFY2(second >= 290.0 && second < 500.0, qPrintable(QString::number(second)));
    QCOMPARE(receiver_->payloads(), frames);
}

void TestPlaybackEngine::rate_change_while_halted_is_only_stored()
{
    const QList<QByteArray> frames = nmb::test::evenly_spaced_frames(3, 200'000);
    PlaybackEngine engine;
    QVERIFY(open(engine, frames));
    QTRY_COMPARE(receiver_->count(), 1);
    engine.pause();
    QVERIFY(engine.set_rate(0.5));
    QCOMPARE(engine.state(), State::Halted);
    engine.resume();
    QTRY_COMPARE_WITH_TIMEOUT(receiver_->count(), 3, 5000);
    // The third frame was scheduled after the change: 400 ms at rate 0.5.
    QVERIFY2(receiver_->span_ms(1, 2) >= 390.0, qPrintable(QString::number(receiver_->span_ms(1, 2))));
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

void TestPlaybackEngine::seek_data()
{
    QTest::addColumn<bool>("playing");
    QTest::newRow("while playing") << true;
    QTest::newRow("while paused") << false;
}

void TestPlaybackEngine::seek()
{
    QFETCH(bool, playing);
    // Ten 18-byte frames, 300 ms apart: the middle of the 180-byte file is
    // byte 90, the end of frame index 4.
    QList<QByteArray> frames;
    for (quint64 i = 0; i < 10; ++i)
        frames.append(nmb::test::timestamp_frame(i * 300'000));
    PlaybackEngine engine;
    QSignalSpy count(&engine, &PlaybackEngine::frame_count_changed);
    QSignalSpy progress(&engine, &PlaybackEngine::progress_changed);
    QSignalSpy paused(&engine, &PlaybackEngine::playback_paused);
    QVERIFY(open(engine, frames));
    QTRY_COMPARE(receiver_->count(), 1);
    if (!playing)
        engine.pause();
    count.clear();
    progress.clear();
    paused.clear();

    engine.seek(0.5);
    QCOMPARE(counts(count), QList<quint64>{4});
    QCOMPARE(progress.size(), 1);
    QCOMPARE(progress.at(0).at(0).toLongLong(), qint64(72));
    QCOMPARE(progress.at(0).at(1).toLongLong(), qint64(180));
    QCOMPARE(engine.frames_played(), quint64(4));
    QCOMPARE(engine.state(), playing ? State::Playing : State::Halted);
    QCOMPARE(paused.size(), playing ? 0 : 1);
    if (!playing)
        engine.resume();
    // The frame found goes out at once and is numbered by its place.
    QTRY_COMPARE_WITH_TIMEOUT(receiver_->count(), 2, 1000);
    QCOMPARE(receiver_->payloads().at(1), frames[4]);
    QCOMPARE(last_frame_text(), nmb::reelcast::format_frame(frames[4], 5));
    engine.pause();
}

void TestPlaybackEngine::seek_after_the_end_halts_at_the_new_frame()
{
    const QList<QByteArray> frames = nmb::test::evenly_spaced_frames(3, 1'000);
    PlaybackEngine engine;
    QSignalSpy paused(&engine, &PlaybackEngine::playback_paused);
    QVERIFY(open(engine, frames));
    QTRY_COMPARE(engine.state(), State::Finished);
    engine.seek(0.0);
    QCOMPARE(engine.state(), State::Halted);
    QCOMPARE(engine.frames_played(), quint64(0));
    QCOMPARE(paused.size(), 1);
    engine.resume();
    QTRY_COMPARE(engine.state(), State::Finished);
    QCOMPARE(receiver_->payloads(), frames + frames);
    QCOMPARE(engine.frames_played(), quint64(3));
}

void TestPlaybackEngine::seek_into_damage_fails()
{
    QList<QByteArray> frames = nmb::test::evenly_spaced_frames(3, 500'000);
    frames[1][200] = char(frames[1][200] ^ 0x01);
    PlaybackEngine engine;
    QSignalSpy failed(&engine, &PlaybackEngine::playback_failed);
    QVERIFY(open(engine, frames));
    engine.seek(1.0);
    QCOMPARE(engine.state(), State::Failed);
    QCOMPARE(engine.exit_code(), 1);
    QCOMPARE(failed.size(), 1);
    QCOMPARE(failed.at(0).at(0).toString(), QStringLiteral("Frame CRC mismatch."));
}

void TestPlaybackEngine::seek_without_an_open_file_does_nothing()
{
    PlaybackEngine engine;
    QSignalSpy count(&engine, &PlaybackEngine::frame_count_changed);
    QSignalSpy failed(&engine, &PlaybackEngine::playback_failed);
    engine.seek(0.5);
    QVERIFY(!engine.open_recording(dir_.filePath("missing.bin")));
    engine.seek(0.5);
    QVERIFY(count.isEmpty() && failed.isEmpty());
    QCOMPARE(engine.state(), State::Idle);
}

void TestPlaybackEngine::open_failures_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("message");
    QTest::newRow("empty recording") << QByteArray() << QStringLiteral("Recording is empty.");
    QTest::newRow("first frame without timestamp")
        << nmb::test::frame_bytes(0, QByteArray(7, '\0')) << QStringLiteral("Frame has no usable timestamp.");
    QTest::newRow("first frame cut short")
        << nmb::test::timestamp_frame(0).left(12) << QStringLiteral("Truncated frame payload.");
}

void TestPlaybackEngine::open_failures()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, message);
    const QString path = nmb::test::write_recording(dir_, "bad.bin", bytes);
    PlaybackEngine engine;
    QSignalSpy open_failed(&engine, &PlaybackEngine::open_failed);
    QSignalSpy playback_failed(&engine, &PlaybackEngine::playback_failed);
    QVERIFY(!engine.open_recording(path));
    QCOMPARE(open_failed.size(), 1);
    QCOMPARE(open_failed.at(0).at(0).toString(), message);
    QVERIFY(playback_failed.isEmpty());
    QCOMPARE(engine.exit_code(), 0);
    QCOMPARE(engine.state(), State::Idle);
    // The recording stays open: a seek reports its damage as a playback error.
    engine.seek(0.0);
    QCOMPARE(playback_failed.size(), 1);
}

void TestPlaybackEngine::reopen_after_failure_clears_the_exit_code()
{
    const QList<QByteArray> frames = nmb::test::evenly_spaced_frames(2, 1'000);
    PlaybackEngine engine;
    QVERIFY(open(engine, {frames[0], frames[1].left(50)}, "cut.bin"));
    QTRY_COMPARE(engine.state(), State::Failed);
    QCOMPARE(engine.exit_code(), 1);
    QVERIFY(open(engine, frames));
    QCOMPARE(engine.exit_code(), 0);
    QCOMPARE(engine.frames_played(), quint64(0));
    QTRY_COMPARE(engine.state(), State::Finished);
    QCOMPARE(engine.frames_played(), quint64(2));
}

void TestPlaybackEngine::loop_source_is_asked_at_the_end()
{
    const QList<QByteArray> frames = nmb::test::evenly_spaced_frames(2, 1'000);
    PlaybackEngine engine;
    engine.set_loop(false);
    engine.set_loop_source([&engine] { return engine.frames_played() < 6; });
    QVERIFY(open(engine, frames));
    QTRY_COMPARE(engine.state(), State::Finished);
    QCOMPARE(engine.frames_played(), quint64(6));
    QCOMPARE(receiver_->payloads(), frames + frames + frames);
}

void TestPlaybackEngine::console_actions_arrive_through_the_bus()
{
    nmb::reelcast::register_console_actions();
    const auto actions = nmb::Tui::instance().make_action_snapshot();
    QCOMPARE(actions.size(), std::size_t(3));
    QCOMPARE(actions[0].id, std::string("Reelcast.pause"));
    QCOMPARE(actions[0].description, std::string("pause binary playback"));
    QCOMPARE(actions[1].id, std::string("Reelcast.play"));
    QCOMPARE(actions[1].description, std::string("resume binary playback"));
    QCOMPARE(actions[2].id, std::string("Reelcast.quit"));
    QCOMPARE(actions[2].description, std::string("quit binary playback"));

    const QList<QByteArray> frames = nmb::test::evenly_spaced_frames(2, 300'000);
    PlaybackEngine engine;
    connect(&nmb::TuiQtBus::instance(), &nmb::TuiQtBus::action_triggered, &engine,
            &PlaybackEngine::handle_console_action);
    QSignalSpy paused(&engine, &PlaybackEngine::playback_paused);
    QVERIFY(open(engine, frames));
    QTRY_COMPARE(receiver_->count(), 1);
    nmb::Tui::instance().execute_action("Reelcast.pause");
    QCOMPARE(engine.state(), State::Playing); // delivered on a later turn of the loop
    QTRY_COMPARE(engine.state(), State::Halted);
    nmb::Tui::instance().execute_action("Reelcast.unknown");
    nmb::Tui::instance().execute_action("Reelcast.play");
    QTRY_COMPARE(receiver_->count(), 2);
    QCOMPARE(paused.size(), 1);
}

QTEST_GUILESS_MAIN(TestPlaybackEngine)
#include "tst_playback_engine.moc"
