#include "format_frame.h"

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

QTEST_GUILESS_MAIN(TestFormatFrame)
#include "tst_format_frame.moc"
