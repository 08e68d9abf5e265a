#include "sender_table.h"

#include <nmb/test/frames.h>

#include <QTest>

#include <vector>

using namespace std::chrono_literals;
using nmb::SenderLimits;
using nmb::SenderTable;
using nmb::codec::DecodeResult;

namespace {

SenderTable::Key peer(int n)
{
    return {QStringLiteral("10.0.%1.%2").arg(n / 256).arg(n % 256), quint16(40000 + n % 1000)};
}

// Feeds `bytes` and returns the results other than Pending, in order.
std::vector<DecodeResult> feed(SenderTable::Decoder& decoder, const QByteArray& bytes)
{
    std::vector<DecodeResult> results;
    for (const char byte : bytes) {
        const DecodeResult result = decoder.feed(static_cast<std::uint8_t>(byte));
        if (result != DecodeResult::Pending)
            results.push_back(result);
    }
    return results;
}

const std::vector<DecodeResult> ONE_FRAME{DecodeResult::FrameReady};
const std::vector<DecodeResult> NOTHING{};

} // namespace

class TestSenderTable : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void idle_senders_are_dropped_data();
    void idle_senders_are_dropped();
    void full_table_drops_the_longest_silent();
    void default_limits_keep_4096_senders();
    void dropping_one_sender_leaves_another_mid_frame_intact();
    void dropped_sender_restarts_with_a_fresh_decoder_data();
    void dropped_sender_restarts_with_a_fresh_decoder();
};

void TestSenderTable::idle_senders_are_dropped_data()
{
    QTest::addColumn<int>("last_heard_ms");
    QTest::addColumn<int>("check_at_ms");
    QTest::addColumn<bool>("kept");

    QTest::newRow("silent one millisecond short of the limit") << 1000 << 30999 << true;
    QTest::newRow("silent exactly the limit") << 1000 << 31000 << false;
    QTest::newRow("silent well past the limit") << 1000 << 90000 << false;
    QTest::newRow("heard again just before the check") << 29000 << 31000 << true;
}

void TestSenderTable::idle_senders_are_dropped()
{
    QFETCH(int, last_heard_ms);
    QFETCH(int, check_at_ms);
    QFETCH(bool, kept);

    SenderTable table;
    QCOMPARE(table.limits().idle_timeout, 30000ms);
    table.decoder_for(peer(1), 1000ms);
    table.decoder_for(peer(1), std::chrono::milliseconds(last_heard_ms));
    // A second sender that keeps talking is never affected.
    table.decoder_for(peer(2), std::chrono::milliseconds(check_at_ms));

    QCOMPARE(table.drop_idle(std::chrono::milliseconds(check_at_ms)), kept ? 0u : 1u);
    QCOMPARE(table.contains(peer(1)), kept);
    QVERIFY(table.contains(peer(2)));
    QCOMPARE(table.size(), kept ? 2u : 1u);
}

void TestSenderTable::full_table_drops_the_longest_silent()
{
    SenderTable table(SenderLimits{30s, 3});
    table.decoder_for(peer(1), 10ms);
    table.decoder_for(peer(2), 20ms);
    table.decoder_for(peer(3), 30ms);
    table.decoder_for(peer(1), 40ms); // sender 2 is now the longest silent

    table.decoder_for(peer(4), 50ms);
    QCOMPARE(table.size(), 3u);
    QVERIFY(!table.contains(peer(2)));
    QVERIFY(table.contains(peer(1)));
    QVERIFY(table.contains(peer(3)));
    QVERIFY(table.contains(peer(4)));

    // Hearing from a kept sender never evicts anyone.
    table.decoder_for(peer(3), 60ms);
    QCOMPARE(table.size(), 3u);

    table.decoder_for(peer(5), 70ms); // sender 1 (heard at 40) goes next
    QVERIFY(!table.contains(peer(1)));
    QVERIFY(table.contains(peer(3)) && table.contains(peer(4)) && table.contains(peer(5)));
}

void TestSenderTable::default_limits_keep_4096_senders()
{
    SenderTable table;
    QCOMPARE(table.limits().max_senders, 4096u);
    for (int n = 0; n < 4096; ++n)
        table.decoder_for(peer(n), std::chrono::milliseconds(n));
    QCOMPARE(table.size(), 4096u);
    QVERIFY(table.contains(peer(0)));

    table.decoder_for(peer(4096), 5000ms);
    QCOMPARE(table.size(), 4096u);
    QVERIFY(!table.contains(peer(0)));
    QVERIFY(table.contains(peer(1)));
    QVERIFY(table.contains(peer(4096)));
}

void TestSenderTable::dropping_one_sender_leaves_another_mid_frame_intact()
{
    const QByteArray frame = nmb::test::mocap_frame_bytes(1234, 1.0f);
    SenderTable table(SenderLimits{30s, 2});

    QCOMPARE(feed(table.decoder_for(peer(1), 0ms), frame.left(700)), NOTHING);
    table.decoder_for(peer(2), 10ms);
    QCOMPARE(feed(table.decoder_for(peer(1), 20ms), frame.mid(700, 500)), NOTHING);

    // Sender 2 is now the longest silent: a newcomer pushes it out.
    table.decoder_for(peer(3), 30ms);
    QVERIFY(!table.contains(peer(2)));

    // The idle check drops the newcomer, silent for exactly the limit.
    table.decoder_for(peer(1), 25000ms);
    QCOMPARE(table.drop_idle(30030ms), 1u);
    QVERIFY(!table.contains(peer(3)));

    // Sender 1 kept its partial frame through both drops.
    SenderTable::Decoder& decoder = table.decoder_for(peer(1), 30031ms);
    QCOMPARE(feed(decoder, frame.mid(1200)), ONE_FRAME);
    QCOMPARE(quint64(decoder.frame().timestamp_us), quint64(1234));
}

void TestSenderTable::dropped_sender_restarts_with_a_fresh_decoder_data()
{
    QTest::addColumn<bool>("by_eviction");
    QTest::newRow("dropped for silence") << false;
    QTest::newRow("evicted by a newcomer") << true;
}

void TestSenderTable::dropped_sender_restarts_with_a_fresh_decoder()
{
    QFETCH(bool, by_eviction);
    const QByteArray first = nmb::test::mocap_frame_bytes(1, 1.0f);
    const QByteArray second = nmb::test::mocap_frame_bytes(2, 2.0f);
    SenderTable table(SenderLimits{30s, 1});

    // Half a frame, then the sender is dropped mid-frame.
    QCOMPARE(feed(table.decoder_for(peer(1), 0ms), first.left(900)), NOTHING);
    if (by_eviction) {
        table.decoder_for(peer(2), 10ms);
        QVERIFY(!table.contains(peer(1)));
        QVERIFY(table.contains(peer(2)));
    } else {
        QCOMPARE(table.drop_idle(30000ms), 1u);
        QCOMPARE(table.size(), 0u);
    }

    // Back again, the sender's old half is gone: the rest of the first frame
    // is junk to a fresh decoder, and the next whole frame decodes on its own.
    // (A kept decoder would swallow the second frame into the first one's
    // payload and report a checksum mismatch.)
    SenderTable::Decoder& decoder = table.decoder_for(peer(1), 40000ms);
    QCOMPARE(decoder.state(), nmb::codec::DecoderState::HuntSync0);
    QCOMPARE(feed(decoder, second), ONE_FRAME);
    QCOMPARE(quint64(decoder.frame().timestamp_us), quint64(2));
}

QTEST_GUILESS_MAIN(TestSenderTable)
#include "tst_sender_table.moc"
