// Playback half of the recording adapter: real recordings in a temporary
// directory, frames built with the shared frame builders.
#include <nmb/binary_adapter.h>
#include <nmb/test/frames.h>
#include <nmb/test/recordings.h>

#include <QElapsedTimer>
#include <QFile>
#include <QMetaMethod>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <limits>

using nmb::BinaryAdapter;
using nmb::test::frame_bytes;
using nmb::test::joined;
using nmb::test::mocap_frame_bytes;
using nmb::test::mocap_frames;

namespace {

const QString NOT_OPEN = QStringLiteral("Binary recording is not open.");
const QString NOT_OPEN_EVENT = QStringLiteral("error: ") + NOT_OPEN;

QStringList frame_events(int count)
{
    return QStringList(count, QStringLiteral("frame"));
}

// An adapter, everything it announces in order ("frame", "error: <text>",
// "finished"), and a directory for its recordings.
class Rig : public QObject {
public:
    Rig()
    {
        connect(&adapter, &BinaryAdapter::data_received, this, [this](const QByteArray& frame) {
            events << QStringLiteral("frame");
            frames << frame;
        });
        connect(&adapter, &BinaryAdapter::error_occurred, this,
                [this](const QString& message) { events << QStringLiteral("error: ") + message; });
        connect(&adapter, &BinaryAdapter::finished, this,
                [this] { events << QStringLiteral("finished"); });
    }

    // Writes `bytes` as the recording `name` and returns its path (empty
    // when it could not be written).
    QString write(const QByteArray& bytes, const QString& name = QStringLiteral("take.bin")) const
    {
        return nmb::test::write_recording(dir, name, bytes);
    }

    bool open(const QByteArray& bytes)
    {
        const QString path = write(bytes);
        return !path.isEmpty() && adapter.open(path);
    }

    bool has_finished() const { return events.contains(QStringLiteral("finished")); }
    bool wait_finished() const
    {
        return QTest::qWaitFor([this] { return has_finished(); }, 5000);
    }

    // Opens and plays `bytes` until finished (at most 5 s).
    bool play_to_end(const QByteArray& bytes)
    {
        if (!open(bytes))
            return false;
        adapter.play();
        return wait_finished();
    }

    QTemporaryDir dir;
    BinaryAdapter adapter;
    QStringList events;
    QList<QByteArray> frames;
};

} // namespace

class TestBinaryAdapterPlayback : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void empty_file_finishes_at_once();
    void first_frame_is_emitted_inside_play();
    void frames_arrive_whole_and_in_order();
    void schedule_delays_data();
    void schedule_delays();
    void multi_day_jump_waits_one_day();
    void playback_rate_is_validated_data();
    void playback_rate_is_validated();
    void ending_playback_from_a_handler_data();
    void ending_playback_from_a_handler();
    void handler_may_start_another_recording();
    void play_after_finished_needs_a_new_open();
    void bad_frames_are_reported_then_finished_data();
    void bad_frames_are_reported_then_finished();
    void unusable_files_do_not_open_data();
    void unusable_files_do_not_open();
    void failed_read_is_no_clean_end();
    void played_frames_can_be_recorded_again();
    void thousand_hertz_for_two_seconds();
    void meta_object_order();
};

void TestBinaryAdapterPlayback::empty_file_finishes_at_once()
{
    Rig rig;
    QVERIFY(rig.open(QByteArray()));
    rig.adapter.play();
    QCOMPARE(rig.events, QStringList{"finished"});
    QVERIFY(!rig.adapter.is_playing());
    QTest::qWait(20); // nothing may follow from the event loop either
    QCOMPARE(rig.events, QStringList{"finished"});
}

void TestBinaryAdapterPlayback::first_frame_is_emitted_inside_play()
{
    Rig rig;
    const QList<QByteArray> frames = mocap_frames({0, 60'000'000});
    QVERIFY(rig.open(joined(frames)));
    QVERIFY(!rig.adapter.is_playing());
    rig.adapter.play();
    QCOMPARE(rig.frames, QList<QByteArray>{frames.first()});
    QVERIFY(rig.adapter.is_playing());
    rig.adapter.play(); // already playing: nothing happens
    QCOMPARE(rig.events, frame_events(1));
    rig.adapter.stop();
    QVERIFY(!rig.adapter.is_playing());
}

void TestBinaryAdapterPlayback::frames_arrive_whole_and_in_order()
{
    Rig rig;
    const QList<QByteArray> frames{mocap_frame_bytes(0, 1.0f), nmb::test::timestamp_frame(0),
                                   mocap_frame_bytes(1000, 2.0f), mocap_frame_bytes(3000, 3.0f)};
    QVERIFY(rig.play_to_end(joined(frames)));
    QCOMPARE(rig.frames, frames);
    QCOMPARE(rig.events, frame_events(4) << "finished");
    QVERIFY(!rig.adapter.is_playing());
}

void TestBinaryAdapterPlayback::schedule_delays_data()
{
    QTest::addColumn<QList<quint64>>("timestamps");
    QTest::addColumn<double>("rate");
    QTest::addColumn<quint64>("scale_us");
    QTest::addColumn<bool>("wraps");
    QTest::addColumn<QList<double>>("delays");

    QTest::newRow("three frames at rate 1")
        << QList<quint64>{0, 1000, 3000} << 1.0 << quint64(1) << false
        << QList<double>{0, 1, 2};
    QTest::newRow("three frames at rate 2")
        << QList<quint64>{0, 1000, 3000} << 2.0 << quint64(1) << false
        << QList<double>{0, 0.5, 1.0};
    QTest::newRow("three frames at rate 0.5")
        << QList<quint64>{0, 1000, 3000} << 0.5 << quint64(1) << false
        << QList<double>{0, 2, 4};
    QTest::newRow("step back inside the timeline")
        << QList<quint64>{0, 10000, 5000, 6000, 12000} << 1.0 << quint64(1) << false
        << QList<double>{0, 10, 0, 0, 2};
    QTest::newRow("step back before the timeline's start")
        << QList<quint64>{10000, 5000, 6000, 12000, 13000} << 1.0 << quint64(1) << false
        << QList<double>{0, 0, 0, 2, 1};
    QTest::newRow("step back to zero then onwards")
        << QList<quint64>{1'000'000, 0, 1'001'000, 1'002'500} << 1.0 << quint64(1) << false
        << QList<double>{0, 0, 1, 1.5};
    QTest::newRow("equal timestamps")
        << QList<quint64>{500, 500, 500, 1500} << 1.0 << quint64(1) << false
        << QList<double>{0, 0, 0, 1};
    QTest::newRow("sub-millisecond spacing carries over")
        << QList<quint64>{0, 300, 600, 900, 1200} << 1.0 << quint64(1) << false
        << QList<double>{0, 0.3, 0.3, 0.3, 0.3};
    QTest::newRow("millisecond ticks")
        << QList<quint64>{1, 3, 4} << 1.0 << quint64(1000) << false
        << QList<double>{0, 2, 1};
    QTest::newRow("wrapping 32-bit counter")
        << QList<quint64>{0xFFFF'FC18, 0x0000'03E8} << 1.0 << quint64(1) << true
        << QList<double>{0, 2};
    QTest::newRow("largest timestamps")
        << QList<quint64>{std::numeric_limits<quint64>::max() - 2000,
                          std::numeric_limits<quint64>::max()}
        << 1.0 << quint64(1) << false << QList<double>{0, 2};
}

void TestBinaryAdapterPlayback::schedule_delays()
{
    QFETCH(QList<quint64>, timestamps);
    QFETCH(double, rate);
    QFETCH(quint64, scale_us);
    QFETCH(bool, wraps);
    QFETCH(QList<double>, delays);

    BinaryAdapter adapter;
    QVERIFY(adapter.set_playback_rate(rate));
    QList<double> scheduled;
    for (quint64 timestamp : timestamps)
        scheduled << adapter.schedule_frame({0, timestamp, scale_us, wraps});
    QCOMPARE(scheduled, delays);
}

void TestBinaryAdapterPlayback::multi_day_jump_waits_one_day()
{
    const quint64 five_days_us = 5ull * 86'400'000'000ull;
    Rig rig;
    QCOMPARE(rig.adapter.schedule_frame({0, 7, 1, false}), 0.0);
    const double delay = rig.adapter.schedule_frame({0, 7 + five_days_us, 1, false});
    QCOMPARE(delay, 5.0 * 86'400'000.0);
    // The next frame is spaced from the jumped one, not from the start.
    QCOMPARE(rig.adapter.schedule_frame({0, 1007 + five_days_us, 1, false}), 1.0);

    // Played for real: the far frame is armed, nothing overflows or fires.
    QVERIFY(rig.open(joined(mocap_frames({7, 7 + five_days_us}))));
    rig.adapter.play();
    QTest::qWait(20);
    QCOMPARE(rig.events, frame_events(1));
    QVERIFY(rig.adapter.is_playing());
    rig.adapter.close();
    QVERIFY(!rig.adapter.is_playing());
    QCOMPARE(rig.events, frame_events(1));
}

void TestBinaryAdapterPlayback::playback_rate_is_validated_data()
{
    QTest::addColumn<double>("rate");
    QTest::addColumn<bool>("accepted");
    const double inf = std::numeric_limits<double>::infinity();
    QTest::newRow("zero") << 0.0 << false;
    QTest::newRow("negative zero") << -0.0 << false;
    QTest::newRow("minus one") << -1.0 << false;
    QTest::newRow("not a number") << std::nan("") << false;
    QTest::newRow("infinite") << inf << false;
    QTest::newRow("minus infinite") << -inf << false;
    QTest::newRow("quarter speed") << 0.25 << true;
    QTest::newRow("ten times") << 10.0 << true;
    QTest::newRow("smallest positive") << std::numeric_limits<double>::denorm_min() << true;
}

void TestBinaryAdapterPlayback::playback_rate_is_validated()
{
    QFETCH(double, rate);
    QFETCH(bool, accepted);
    BinaryAdapter adapter;
    QCOMPARE(adapter.playback_rate(), 1.0);
    QVERIFY(adapter.set_playback_rate(3.0));
    QCOMPARE(adapter.set_playback_rate(rate), accepted);
    QCOMPARE(adapter.playback_rate(), accepted ? rate : 3.0);
}

void TestBinaryAdapterPlayback::ending_playback_from_a_handler_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<int>("at_frame"); // 1 is emitted inside play()
    QTest::newRow("stop at the first frame") << QString("stop") << 1;
    QTest::newRow("stop at a timer frame") << QString("stop") << 2;
    QTest::newRow("close at a timer frame") << QString("close") << 2;
    QTest::newRow("open at a timer frame") << QString("open") << 2;
}

void TestBinaryAdapterPlayback::ending_playback_from_a_handler()
{
    QFETCH(QString, action);
    QFETCH(int, at_frame);
    Rig rig;
    const QString path = rig.write(joined(mocap_frames({0, 1000, 2000, 3000})));
    int seen = 0;
    bool opened = false;
    connect(&rig.adapter, &BinaryAdapter::data_received, &rig, [&] {
        if (++seen != at_frame)
            return;
        if (action == "stop")
            rig.adapter.stop();
        else if (action == "close")
            rig.adapter.close();
        else
            opened = rig.adapter.open(path);
    });
    QVERIFY(rig.adapter.open(path));
    rig.adapter.play();
    QTRY_COMPARE_WITH_TIMEOUT(seen, at_frame, 5000);
    QVERIFY(!rig.adapter.is_playing());
    QTest::qWait(30); // the remaining frames were due within 3 ms
    QCOMPARE(rig.events, frame_events(at_frame));
    // Only open() leaves a file to play; it starts from its first frame.
    QCOMPARE(opened, action == "open");
    rig.adapter.play();
    if (opened) {
        QVERIFY(rig.wait_finished());
        QCOMPARE(rig.events, frame_events(at_frame + 4) << "finished");
    } else {
        QCOMPARE(rig.events, frame_events(at_frame) << NOT_OPEN_EVENT);
    }
}

void TestBinaryAdapterPlayback::handler_may_start_another_recording()
{
    Rig rig;
    const QList<QByteArray> first = mocap_frames({0, 1000, 2000});
    const QList<QByteArray> second = mocap_frames({500'000, 501'000, 503'000});
    const QString a = rig.write(joined(first), "a.bin");
    const QString b = rig.write(joined(second), "b.bin");
    QVERIFY(!a.isEmpty() && !b.isEmpty());

    bool switched = false;
    connect(&rig.adapter, &BinaryAdapter::data_received, &rig, [&](const QByteArray& frame) {
        if (switched || frame != first.at(1))
            return;
        switched = true;
        // Restarting from inside the emission: the interrupted frame step
        // must not read on or schedule into the new playback.
        QVERIFY(rig.adapter.open(b));
        rig.adapter.play();
    });
    QVERIFY(rig.adapter.open(a));
    rig.adapter.play();
    QVERIFY(rig.wait_finished());
    QTest::qWait(20);
    QCOMPARE(rig.frames, (QList<QByteArray>{first.at(0), first.at(1)} + second));
    QCOMPARE(rig.events, frame_events(5) << "finished");
}

void TestBinaryAdapterPlayback::play_after_finished_needs_a_new_open()
{
    Rig rig;
    rig.adapter.play();
    QCOMPARE(rig.events, QStringList{NOT_OPEN_EVENT});
    rig.events.clear();

    const QByteArray bytes = joined(mocap_frames({0, 1000}));
    QVERIFY(rig.play_to_end(bytes));
    rig.adapter.play();
    QCOMPARE(rig.events, frame_events(2) << "finished" << NOT_OPEN_EVENT);

    rig.events.clear();
    QVERIFY(rig.play_to_end(bytes));
    QCOMPARE(rig.events, frame_events(2) << "finished");
}

void TestBinaryAdapterPlayback::bad_frames_are_reported_then_finished_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("good_frames");
    QTest::addColumn<QString>("message");

    const QByteArray good = joined(mocap_frames({0, 1000}));
    const QByteArray next = mocap_frame_bytes(2000);
    QByteArray swapped_sync = next;
    std::swap(swapped_sync[0], swapped_sync[1]);
    QByteArray corrupted = next;
    corrupted[100] = char(corrupted[100] ^ 0x01);
    QByteArray wrong_crc = next;
    wrong_crc[wrong_crc.size() - 1] = char(wrong_crc[wrong_crc.size() - 1] ^ 0x80);

    QTest::newRow("one byte left") << good + next.left(1) << 2 << "Truncated frame header.";
    QTest::newRow("five bytes left") << good + next.left(5) << 2 << "Truncated frame header.";
    QTest::newRow("sync bytes swapped") << good + swapped_sync << 2 << "Invalid frame header.";
    QTest::newRow("text instead of a frame")
        << good + QByteArray("not a frame at all") << 2 << "Invalid frame header.";
    QTest::newRow("header only") << good + next.left(6) << 2 << "Truncated frame payload.";
    QTest::newRow("checksum cut short") << good + next.chopped(1) << 2 << "Truncated frame payload.";
    QTest::newRow("payload byte flipped") << good + corrupted << 2 << "Frame CRC mismatch.";
    QTest::newRow("checksum byte flipped") << good + wrong_crc << 2 << "Frame CRC mismatch.";
    QTest::newRow("frame ID 1") << good + frame_bytes(1, QByteArray(8, '\0')) << 2
                                << "Frame ID 1 has no supported playback timestamp.";
    QTest::newRow("frame ID 4660 in decimal") << good + frame_bytes(0x1234, QByteArray(20, 'x')) << 2
                                              << "Frame ID 4660 has no supported playback timestamp.";
    QTest::newRow("timestamp payload of 7 bytes") << good + frame_bytes(0, QByteArray(7, '\0')) << 2
                                                  << "Frame payload is too short to contain a timestamp.";
    QTest::newRow("empty ID-0 payload") << good + frame_bytes(0, QByteArray()) << 2
                                        << "Frame payload is too short to contain a timestamp.";
    QTest::newRow("first frame bad") << frame_bytes(2, QByteArray(8, '\0')) + good << 0
                                     << "Frame ID 2 has no supported playback timestamp.";
    QTest::newRow("first frame truncated") << good.left(3) << 0 << "Truncated frame header.";
}

void TestBinaryAdapterPlayback::bad_frames_are_reported_then_finished()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, good_frames);
    QFETCH(QString, message);
    Rig rig;
    QVERIFY(rig.play_to_end(bytes));
    QCOMPARE(rig.events, frame_events(good_frames) << "error: " + message << "finished");
    QVERIFY(!rig.adapter.is_playing());
    rig.adapter.play();
    QCOMPARE(rig.events.last(), NOT_OPEN_EVENT);
}

void TestBinaryAdapterPlayback::unusable_files_do_not_open_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("missing file") << QString("<dir>/missing.bin");
    QTest::newRow("directory") << QString("<dir>");
}

void TestBinaryAdapterPlayback::unusable_files_do_not_open()
{
    QFETCH(QString, path);
    Rig rig;
    path.replace("<dir>", rig.dir.path());
    QVERIFY(!rig.adapter.open(path));
    QCOMPARE(rig.events.size(), 1);
    QVERIFY(rig.events.at(0).startsWith("error: "));
    QVERIFY(rig.events.at(0).size() > QString("error: ").size());
    rig.adapter.play();
    QCOMPARE(rig.events.last(), NOT_OPEN_EVENT);
    QVERIFY(!rig.adapter.is_playing());
}

void TestBinaryAdapterPlayback::failed_read_is_no_clean_end()
{
    Rig rig;
    QVERIFY(rig.adapter.open("/proc/self/mem")); // opens, but reading address 0 fails
    rig.adapter.play();
    QCOMPARE(rig.events.size(), 2);
    QVERIFY(rig.events.at(0).startsWith("error: "));
    QVERIFY(rig.events.at(0).size() > QString("error: ").size());
    QCOMPARE(rig.events.at(1), "finished");
}

void TestBinaryAdapterPlayback::played_frames_can_be_recorded_again()
{
    // Both halves at once: every played frame recorded again gives the
    // same file.
    Rig rig;
    const QByteArray bytes = joined(mocap_frames({0, 1000, 1500, 4000, 4000, 9000}));
    connect(&rig.adapter, &BinaryAdapter::data_received, &rig.adapter, &BinaryAdapter::record_data);
    QVERIFY(rig.adapter.start_recording(rig.dir.filePath("again")));
    QVERIFY(rig.play_to_end(bytes));
    QVERIFY(rig.adapter.is_recording());
    rig.adapter.stop_recording();
    QFile copy(rig.adapter.recording_file_name());
    QVERIFY(copy.open(QIODevice::ReadOnly));
    QCOMPARE(copy.readAll(), bytes);
}

void TestBinaryAdapterPlayback::thousand_hertz_for_two_seconds()
{
    Rig rig;
    QVERIFY(rig.open(joined(nmb::test::evenly_spaced_frames(2001, 1000, 5'000'000))));
    QSignalSpy finished(&rig.adapter, &BinaryAdapter::finished);
    QElapsedTimer clock;
    clock.start();
    rig.adapter.play();
    QVERIFY(finished.wait(10'000));
    const qint64 elapsed = clock.elapsed();
    QCOMPARE(rig.frames.size(), 2001);
    // Ideal: exactly 2 s from the first frame to the last. Generous on the
    // late side for a loaded machine; never early.
    QVERIFY2(elapsed >= 1900, qPrintable(QString::number(elapsed)));
    QVERIFY2(elapsed < 3500, qPrintable(QString::number(elapsed)));
}

void TestBinaryAdapterPlayback::meta_object_order()
{
    const QMetaObject& meta = BinaryAdapter::staticMetaObject;
    QCOMPARE(meta.className(), "nmb::BinaryAdapter");
    const QList<QByteArray> expected{"data_received(QByteArray)", "error_occurred(QString)",
                                     "finished()", "record_data(QByteArray)", "emit_next_frame()"};
    QList<QByteArray> own;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i)
        own << meta.method(i).methodSignature();
    QCOMPARE(own, expected);
    QCOMPARE(meta.method(meta.methodOffset() + 4).access(), QMetaMethod::Private);
}

QTEST_GUILESS_MAIN(TestBinaryAdapterPlayback)
#include "tst_binary_adapter_playback.moc"
