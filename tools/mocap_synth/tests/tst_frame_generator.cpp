#include "frame_generator.h"

#include <nmb/protocol/mocap_decoder.h>
#include <nmb/protocol/frame.h>
#include <nmb/protocol/joint_tables.h>

#include <QTest>

#include <cmath>
#include <cstring>

using namespace nmb::synth;
using nmb::codec::DecodeResult;
using nmb::protocol::MocapFrame;

namespace {

using Decoder = nmb::codec::MocapDecoder;

std::set<std::int64_t> indices(const QList<int>& list)
{
    return {list.begin(), list.end()};
}

// Feeds the stream to a decoder and spells out its results: R a frame,
// S another ID skipped, L length too large, C checksum mismatch.
QString decode_letters(const QByteArray& stream, QList<quint64>* timestamps = nullptr)
{
    Decoder decoder;
    QString letters;
    for (const char c : stream) {
        switch (decoder.feed(std::uint8_t(c))) {
        case DecodeResult::Pending:
            break;
        case DecodeResult::FrameReady:
            letters += QLatin1Char('R');
            if (timestamps)
                *timestamps << decoder.frame().timestamp_us;
            break;
        case DecodeResult::SkippedOtherId:
            letters += QLatin1Char('S');
            break;
        case DecodeResult::LengthTooLarge:
            letters += QLatin1Char('L');
            break;
        case DecodeResult::CrcMismatch:
            letters += QLatin1Char('C');
            break;
        }
    }
    return letters;
}

QByteArray stream_of(const FrameGenerator& generator, int count)
{
    QByteArray stream;
    for (int k = 0; k < count; ++k)
        generator.append_frame(k, stream);
    return stream;
}

} // namespace

class TestFrameGenerator : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void clean_frames_check_and_decode();
    void timestamps_step_by_the_period_data();
    void timestamps_step_by_the_period();
    void faults_give_the_planned_results_data();
    void faults_give_the_planned_results();
    void garbage_never_holds_the_sync_byte();
    void same_plan_gives_same_bytes();
    void body_frame_shows_the_same_skeleton();
};

void TestFrameGenerator::clean_frames_check_and_decode()
{
    const FrameGenerator generator(120, {});
    const QByteArray stream = stream_of(generator, 50);
    QCOMPARE(stream.size(), 50 * 1860);
    for (int k = 0; k < 50; ++k) {
        const QByteArrayView frame(stream.constData() + k * 1860, 1860);
        QCOMPARE(nmb::protocol::check_frame(frame), nmb::protocol::FrameCheck::Ok);
        QCOMPARE(nmb::protocol::read_u16(frame.data() + 4), quint16(1850));
        // The uninterpreted tail of the payload stays zero.
        QCOMPARE(QByteArrayView(frame.data() + 1806, 50), QByteArray(50, '\0'));
    }
    QCOMPARE(decode_letters(stream), QString(50, QLatin1Char('R')));
}

void TestFrameGenerator::timestamps_step_by_the_period_data()
{
    QTest::addColumn<double>("rate");
    QTest::newRow("120 Hz, a period of whole and third microseconds") << 120.0;
    QTest::newRow("60 Hz") << 60.0;
    QTest::newRow("1 kHz") << 1000.0;
    QTest::newRow("59.94 Hz") << 59.94;
    QTest::newRow("one frame a second") << 1.0;
}

void TestFrameGenerator::timestamps_step_by_the_period()
{
    QFETCH(double, rate);
    const FrameGenerator generator(rate, {});
    QList<quint64> timestamps;
    QCOMPARE(decode_letters(stream_of(generator, 200), &timestamps), QString(200, QLatin1Char('R')));
    QCOMPARE(timestamps.first(), FrameGenerator::BASE_TIMESTAMP_US);
    const double period = 1e6 / rate;
    for (int k = 1; k < timestamps.size(); ++k) {
        const double step = double(timestamps[k] - timestamps[k - 1]);
        QVERIFY2(std::abs(step - period) <= 1.0, qPrintable(QString::number(step)));
        // Rounding never accumulates: each stamp is its own nearest value.
        QCOMPARE(timestamps[k] - timestamps[0], quint64(std::llround(k * period)));
    }
}

void TestFrameGenerator::faults_give_the_planned_results_data()
{
    QTest::addColumn<QList<int>>("other_id_at");
    QTest::addColumn<QList<int>>("bad_crc_at");
    QTest::addColumn<QList<int>>("garbage_at");
    QTest::addColumn<QString>("letters");
    QTest::newRow("no faults") << QList<int>{} << QList<int>{} << QList<int>{} << "RRRRRR";
    QTest::newRow("body frame in the middle")
        << QList<int>{2} << QList<int>{} << QList<int>{} << "RRSRRR";
    QTest::newRow("wrong checksum on the last frame")
        << QList<int>{} << QList<int>{5} << QList<int>{} << "RRRRRC";
    QTest::newRow("garbage before the first frame")
        << QList<int>{} << QList<int>{} << QList<int>{0} << "RRRRRR";
    QTest::newRow("garbage before every frame")
        << QList<int>{} << QList<int>{} << QList<int>{0, 1, 2, 3, 4, 5} << "RRRRRR";
    QTest::newRow("all three on different frames")
        << QList<int>{1} << QList<int>{3} << QList<int>{4} << "RSRCRR";
    QTest::newRow("body frame with a wrong checksum is skipped unchecked")
        << QList<int>{2} << QList<int>{2} << QList<int>{2} << "RRSRRR";
}

void TestFrameGenerator::faults_give_the_planned_results()
{
    QFETCH(QList<int>, other_id_at);
    QFETCH(QList<int>, bad_crc_at);
    QFETCH(QList<int>, garbage_at);
    QFETCH(QString, letters);
    FaultPlan plan;
    plan.other_id_at = indices(other_id_at);
    plan.bad_crc_at = indices(bad_crc_at);
    plan.garbage_at = indices(garbage_at);
    const FrameGenerator generator(120, plan);

    QByteArray stream;
    qsizetype garbage_bytes = 0;
    for (int k = 0; k < 6; ++k) {
        const qsizetype appended = generator.append_frame(k, stream);
        QCOMPARE(appended, generator.frame_size(k) + generator.garbage_before(k).size());
        garbage_bytes += generator.garbage_before(k).size();
        QCOMPARE(generator.frame_size(k), other_id_at.contains(k) ? 686 : 1860);
    }
    QCOMPARE(garbage_bytes > 0, !garbage_at.isEmpty());
    QCOMPARE(decode_letters(stream), letters);
}

void TestFrameGenerator::garbage_never_holds_the_sync_byte()
{
    FaultPlan plan;
    for (int k = 0; k < 500; ++k)
        plan.garbage_at.insert(k);
    plan.seed = 7;
    const FrameGenerator generator(120, plan);
    qsizetype shortest = 1000, longest = 0;
    for (int k = 0; k < 500; ++k) {
        const QByteArray garbage = generator.garbage_before(k);
        QVERIFY(!garbage.contains(char(0xAA)));
        shortest = std::min(shortest, garbage.size());
        longest = std::max(longest, garbage.size());
    }
    QVERIFY(shortest >= 1 && longest <= 64);
    QVERIFY(longest > shortest);
    QVERIFY(generator.garbage_before(500).isEmpty());
}

void TestFrameGenerator::same_plan_gives_same_bytes()
{
    FaultPlan plan;
    plan.garbage_at = {3};
    plan.seed = 42;
    const FrameGenerator first(120, plan);
    const FrameGenerator second(120, plan);
    QByteArray a, b;
    first.append_frame(3, a);
    second.append_frame(3, b);
    QCOMPARE(a, b);

    plan.seed = 43;
    const FrameGenerator reseeded(120, plan);
    QVERIFY(reseeded.garbage_before(3) != first.garbage_before(3));
}

void TestFrameGenerator::body_frame_shows_the_same_skeleton()
{
    FaultPlan plan;
    plan.other_id_at = {4};
    const FrameGenerator with_body(120, plan);
    const FrameGenerator clean(120, {});
    QByteArray body_bytes, mocap_bytes;
    with_body.append_frame(4, body_bytes);
    clean.append_frame(4, mocap_bytes);
    QCOMPARE(nmb::protocol::check_frame(body_bytes), nmb::protocol::FrameCheck::Ok);

    nmb::protocol::HumanBodyFrame body;
    MocapFrame mocap;
    std::memcpy(&body, body_bytes.constData(), sizeof body);
    std::memcpy(&mocap, mocap_bytes.constData(), sizeof mocap);
    QCOMPARE(body.frame_id, quint16(1));
    QCOMPARE(body.payload_length, quint16(676));
    for (int k = 0; k < nmb::protocol::HumanBodyFrame::POSE_COUNT; ++k) {
        const auto& expected = mocap.poses[nmb::protocol::HUMAN_BODY_JOINTS[k]];
        QCOMPARE(std::memcmp(&body.poses[k], &expected, sizeof expected), 0);
    }
}

QTEST_GUILESS_MAIN(TestFrameGenerator)
#include "tst_frame_generator.moc"
