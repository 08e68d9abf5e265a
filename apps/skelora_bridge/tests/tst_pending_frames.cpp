#include "pending_frames.h"

#include <QTest>

#include <vector>

using nmb::PendingFrames;
using nmb::protocol::MocapFrame;

namespace {

PendingFrames::Key peer(int n)
{
    return {QStringLiteral("10.0.0.%1").arg(n), quint16(50000 + n)};
}

MocapFrame frame(std::uint64_t timestamp_us)
{
    MocapFrame result;
    result.timestamp_us = timestamp_us;
    return result;
}

// Timestamps of the frames taken from `pending`.
std::vector<std::uint64_t> taken(PendingFrames& pending)
{
    std::vector<std::uint64_t> timestamps;
    for (const MocapFrame& held : pending.take())
        timestamps.push_back(std::uint64_t{held.timestamp_us}); // a copy: the frame is packed
    return timestamps;
}

} // namespace

Q_DECLARE_METATYPE(std::vector<std::uint64_t>)

class TestPendingFrames : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void latest_frames_only_data();
    void latest_frames_only();
    void forgotten_senders_leave_nothing_behind();
};

void TestPendingFrames::latest_frames_only_data()
{
    QTest::addColumn<bool>("per_sender");
    QTest::addColumn<std::vector<std::uint64_t>>("expected");
    // Held in turn: sender 2 frames 1, 2; sender 1 frames 3, 4; sender 2 frame 5.
    QTest::newRow("one slot for the stream") << false << std::vector<std::uint64_t>{5};
    QTest::newRow("one slot per sender, in sender order") << true << std::vector<std::uint64_t>{4, 5};
}

void TestPendingFrames::latest_frames_only()
{
    QFETCH(bool, per_sender);
    QFETCH(std::vector<std::uint64_t>, expected);
    PendingFrames pending(per_sender);
    pending.hold(peer(2), frame(1));
    pending.hold(peer(2), frame(2));
    pending.hold(peer(1), frame(3));
    pending.hold(peer(1), frame(4));
    pending.hold(peer(2), frame(5));
    QCOMPARE(pending.size(), expected.size());
    QCOMPARE(taken(pending), expected);
    QCOMPARE(pending.size(), std::size_t(0));
    QVERIFY(taken(pending).empty()); // taken once, never again
}

void TestPendingFrames::forgotten_senders_leave_nothing_behind()
{
    PendingFrames pending(true);
    for (int n = 0; n < 10; ++n)
        pending.hold(peer(n), frame(std::uint64_t(n)));
    pending.keep_known([](const PendingFrames::Key& key) { return key.second % 2 == 0; });
    QCOMPARE(taken(pending), (std::vector<std::uint64_t>{0, 2, 4, 6, 8}));
}

QTEST_APPLESS_MAIN(TestPendingFrames)
#include "tst_pending_frames.moc"
