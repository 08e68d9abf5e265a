#include "format_frame.h"
#include "progress_text.h"

#include <nmb/test/frames.h>

#include <QTest>

#include <limits>

namespace {

QByteArray timestamp_payload(quint64 timestamp, int extra_bytes = 0)
{
    QByteArray payload;
    for (int i = 0; i < 8; ++i)
        payload.append(char((timestamp >> (8 * i)) & 0xFF));
    return payload + QByteArray(extra_bytes, '\x5A');
}

} // namespace

class TestFormatFrame : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void text_data();
    void text();
    void progress_data();
    void progress();
};

void TestFormatFrame::text_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<quint64>("number");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("timestamp-only mocap frame")
        << nmb::test::frame_bytes(0, timestamp_payload(1'000'000)) << quint64(1)
        << QByteArray("frame: 1\nid: 0\nlength: 8\ntimestamp: 1000000 us\n");
    QTest::newRow("full mocap frame")
        << nmb::test::mocap_frame_bytes(123'456'789) << quint64(42)
        << QByteArray("frame: 42\nid: 0\nlength: 1850\ntimestamp: 123456789 us\n");
    QTest::newRow("largest timestamp and frame number")
        << nmb::test::frame_bytes(0, timestamp_payload(std::numeric_limits<quint64>::max()))
        << std::numeric_limits<quint64>::max()
        << QByteArray("frame: 18446744073709551615\nid: 0\nlength: 8\n"
                      "timestamp: 18446744073709551615 us\n");
    QTest::newRow("frame of another ID has no timestamp")
        << nmb::test::frame_bytes(1, timestamp_payload(5'000, 20)) << quint64(3)
        << QByteArray("frame: 3\nid: 1\nlength: 28\ntimestamp: 0 us\n");
    QTest::newRow("mocap frame too short for a timestamp")
        << nmb::test::frame_bytes(0, QByteArray(7, '\x11')) << quint64(7)
        << QByteArray("frame: 7\nid: 0\nlength: 7\ntimestamp: 0 us\n");
    QTest::newRow("highest frame ID")
        << nmb::test::frame_bytes(65535, {}) << quint64(0)
        << QByteArray("frame: 0\nid: 65535\nlength: 0\ntimestamp: 0 us\n");
}

void TestFormatFrame::text()
{
    QFETCH(QByteArray, frame);
    QFETCH(quint64, number);
    QFETCH(QByteArray, expected);
    QCOMPARE(QByteArray::fromStdString(nmb::reelcast::format_frame(frame, number)), expected);
}

void TestFormatFrame::progress_data()
{
    QTest::addColumn<qint64>("position_us");
    QTest::addColumn<qint64>("duration_us");
    QTest::addColumn<QString>("state");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<QByteArray>("window");

    QTest::newRow("a sixth in")
        << qint64(12'345'678) << qint64(75'000'000) << "playing at 1x"
        << QByteArray("time: 00:12.345 / 01:15.000\nprogress: [###.................] 16 %\n"
                      "state: playing at 1x\n")
        << QByteArray("00:12.3 / 01:15.0");
    QTest::newRow("start") << qint64(0) << qint64(75'000'000) << "paused"
                           << QByteArray("time: 00:00.000 / 01:15.000\nprogress: [....................] 0 %\n"
                                         "state: paused\n")
                           << QByteArray("00:00.0 / 01:15.0");
    QTest::newRow("end, past the length clamps")
        << qint64(80'000'000) << qint64(75'000'000) << "finished"
        << QByteArray("time: 01:15.000 / 01:15.000\nprogress: [####################] 100 %\n"
                      "state: finished\n")
        << QByteArray("01:15.0 / 01:15.0");
    QTest::newRow("an hour or longer shows hours")
        << qint64(3'599'999'999) << qint64(4'500'000'000) << "playing at 2.5x"
        << QByteArray("time: 0:59:59.999 / 1:15:00.000\nprogress: [###############.....] 79 %\n"
                      "state: playing at 2.5x\n")
        << QByteArray("0:59:59.9 / 1:15:00.0");
    QTest::newRow("just under an hour") << qint64(0) << qint64(3'599'999'999) << "stopped"
        << QByteArray("time: 00:00.000 / 59:59.999\nprogress: [....................] 0 %\n"
                      "state: stopped\n")
        << QByteArray("00:00.0 / 59:59.9");
    QTest::newRow("longest take") << std::numeric_limits<qint64>::max() / 2
        << std::numeric_limits<qint64>::max() << "paused"
        << QByteArray("time: 1281023894:00:27.387 / 2562047788:00:54.775\n"
                      "progress: [##########..........] 50 %\nstate: paused\n")
        << QByteArray("1281023894:00:27.3 / 2562047788:00:54.7");
    QTest::newRow("take of one frame") << qint64(0) << qint64(0) << "error"
        << QByteArray("time: 00:00.000 / 00:00.000\nprogress: [....................] 0 %\n"
                      "state: error\n")
        << QByteArray("00:00.0 / 00:00.0");
}

void TestFormatFrame::progress()
{
    QFETCH(qint64, position_us);
    QFETCH(qint64, duration_us);
    QFETCH(QString, state);
    QFETCH(QByteArray, expected);
    QFETCH(QByteArray, window);
    QCOMPARE(QByteArray::fromStdString(
                 nmb::reelcast::format_progress(position_us, duration_us, state.toStdString())),
             expected);
    QCOMPARE(QByteArray::fromStdString(nmb::reelcast::format_window_time(position_us, duration_us)),
             window);
}

QTEST_GUILESS_MAIN(TestFormatFrame)
#include "tst_format_frame.moc"
