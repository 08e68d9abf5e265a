#include <nmb/playback/timestamp_scheduler.h>

#include <QTest>

using nmb::reelcast::FrameMetadata;
using nmb::reelcast::TimestampScheduler;

namespace {

struct Step {
    quint16 id = 0;
    quint64 timestamp = 0;
    quint64 scale_us = 1;
    bool wraps = false;
};

using Steps = QList<Step>;
using Delays = QList<double>;

FrameMetadata to_meta(const Step& step)
{
    FrameMetadata meta;
    meta.frame_id = step.id;
    meta.payload_length = 1850;
    meta.timestamp = step.timestamp;
    meta.timestamp_scale_us = step.scale_us;
    meta.timestamp_wraps_32bit = step.wraps;
    return meta;
}

Steps us(quint16 id, std::initializer_list<quint64> timestamps)
{
    Steps steps;
    for (quint64 t : timestamps)
        steps.append({id, t, 1, false});
    return steps;
}

Steps wrapping(std::initializer_list<quint64> timestamps)
{
    Steps steps;
    for (quint64 t : timestamps)
        steps.append({0, t, 1, true});
    return steps;
}

constexpr quint16 A = 0;
constexpr quint16 B = 7;
constexpr qint64 NO_CAP = -1;

} // namespace

Q_DECLARE_METATYPE(Step)

class TestTimestampScheduler : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void delays_data();
    void delays();
    void reset_starts_every_time_line_afresh();
    void rate_applies_to_later_frames_only();
    void gap_cap_comes_from_the_policy();
};

void TestTimestampScheduler::delays_data()
{
    QTest::addColumn<Steps>("steps");
    QTest::addColumn<double>("rate");
    QTest::addColumn<Delays>("expected");
    QTest::addColumn<qint64>("cap_us"); // --max-gap; NO_CAP: the 60 s rule

    QTest::newRow("10 ms spacing at rate 1")
        << us(A, {1'000'000, 1'010'000, 1'020'000}) << 1.0 << Delays{0, 10, 10} << NO_CAP;
    QTest::newRow("10 ms spacing at rate 4")
        << us(A, {1'000'000, 1'010'000, 1'020'000}) << 4.0 << Delays{0, 2.5, 2.5} << NO_CAP;
    QTest::newRow("10 ms spacing at rate 0.5")
        << us(A, {0, 10'000, 20'000}) << 0.5 << Delays{0, 20, 20} << NO_CAP;
    QTest::newRow("sub-millisecond spacing keeps its fraction")
        << us(A, {0, 400, 800}) << 1.0 << Delays{0, 0.4, 0.4} << NO_CAP;
    QTest::newRow("equal timestamps") << us(A, {5'000, 5'000}) << 1.0 << Delays{0, 0} << NO_CAP;
    QTest::newRow("backwards step re-anchors")
        << us(A, {5'000'000, 4'000'000, 4'010'000}) << 1.0 << Delays{0, 0, 10} << NO_CAP;
    QTest::newRow("gap of exactly 60 seconds is waited for")
        << us(A, {0, 60'000'000}) << 1.0 << Delays{0, 60'000} << NO_CAP;
    QTest::newRow("gap one microsecond above 60 seconds is skipped")
        << us(A, {0, 60'000'001}) << 1.0 << Delays{0, 0} << NO_CAP;
    QTest::newRow("frames after a skipped gap keep their spacing")
        << us(A, {0, 90'000'000, 90'010'000}) << 1.0 << Delays{0, 0, 10} << NO_CAP;
    QTest::newRow("millisecond ticks count as milliseconds")
        << Steps{{A, 100, 1000, false}, {A, 110, 1000, false}} << 1.0 << Delays{0, 10} << NO_CAP;
    QTest::newRow("millisecond ticks at the 60 second limit")
        << Steps{{A, 0, 1000, false}, {A, 60'000, 1000, false}} << 1.0 << Delays{0, 60'000} << NO_CAP;
    QTest::newRow("millisecond ticks above the 60 second limit")
        << Steps{{A, 0, 1000, false}, {A, 60'001, 1000, false}} << 1.0 << Delays{0, 0} << NO_CAP;
    QTest::newRow("two interleaved IDs")
        << Steps{{A, 0}, {B, 500'000}, {A, 20'000}, {B, 530'000}} << 1.0
        << Delays{0, 0, 20, 10} << NO_CAP;
    QTest::newRow("second ID due behind the clock")
        << Steps{{A, 0}, {B, 500'000}, {A, 20'000}, {B, 510'000}} << 1.0
        << Delays{0, 0, 20, 0} << NO_CAP;
    QTest::newRow("late frame of the first ID")
        << Steps{{A, 0}, {A, 50'000}, {B, 7}, {B, 10'007}, {A, 55'000}} << 1.0
        << Delays{0, 50, 0, 10, 0} << NO_CAP;
    QTest::newRow("new ID far ahead costs no wait")
        << Steps{{A, 0}, {A, 10'000}, {B, 9'000'000'000}, {B, 9'000'005'000}} << 1.0
        << Delays{0, 10, 0, 5} << NO_CAP;
    QTest::newRow("32-bit counter wraps forward")
        << wrapping({0xFFFFFF00, 0x00000100}) << 1.0 << Delays{0, 0.512} << NO_CAP;
    QTest::newRow("32-bit counter from the middle backwards re-anchors")
        << wrapping({0x80000000, 0x00000100, 0x00000100 + 10'000}) << 1.0 << Delays{0, 0, 10} << NO_CAP;
    QTest::newRow("32-bit counter compares the low 32 bits only")
        << wrapping({0x5'00000000, 0x0'00000010}) << 1.0 << Delays{0, 0.016} << NO_CAP;
    QTest::newRow("32-bit counter wrap with high bits set")
        << wrapping({0x1'FFFFFF00, 0x2'00000100}) << 1.0 << Delays{0, 0.512} << NO_CAP;
    QTest::newRow("64-bit timestamps never wrap")
        << us(A, {0xFFFFFF00, 0x00000100, 0x00000100 + 10'000}) << 1.0 << Delays{0, 0, 10} << NO_CAP;
    QTest::newRow("capped gap waits the cap, later frames keep their spacing")
        << us(A, {0, 10'000'000, 10'010'000}) << 1.0 << Delays{0, 2'000, 10} << qint64(2'000'000);
    QTest::newRow("gap equal to the cap is waited")
        << us(A, {0, 2'000'000}) << 1.0 << Delays{0, 2'000} << qint64(2'000'000);
    QTest::newRow("cap divided by the rate")
        << us(A, {0, 10'000'000}) << 4.0 << Delays{0, 500} << qint64(2'000'000);
    QTest::newRow("cap above 60 seconds waits a longer gap")
        << us(A, {0, 90'000'000}) << 1.0 << Delays{0, 90'000} << qint64(120'000'000);
    QTest::newRow("backwards step under a cap still re-anchors")
        << us(A, {5'000'000, 4'000'000, 4'010'000}) << 1.0 << Delays{0, 0, 10} << qint64(2'000'000);
}

void TestTimestampScheduler::delays()
{
    QFETCH(Steps, steps);
    QFETCH(double, rate);
    QFETCH(Delays, expected);
    QFETCH(qint64, cap_us);

    TimestampScheduler scheduler;
    if (cap_us != NO_CAP)
        scheduler.set_policy(nmb::reelcast::TimingPolicy::replay_capped(quint64(cap_us)));
    Delays actual;
    for (const Step& step : steps)
        actual.append(scheduler.add_frame(to_meta(step), rate));
    QCOMPARE(actual.size(), expected.size());
    for (qsizetype i = 0; i < actual.size(); ++i) {
        if (!qFuzzyCompare(1.0 + actual[i], 1.0 + expected[i]))
            QFAIL(qPrintable(QStringLiteral("frame %1: delay %2 ms, expected %3 ms")
                                 .arg(i)
                                 .arg(actual[i])
                                 .arg(expected[i])));
    }
}

void TestTimestampScheduler::reset_starts_every_time_line_afresh()
{
    TimestampScheduler scheduler;
    QCOMPARE(scheduler.add_frame(to_meta({A, 0}), 1.0), 0.0);
    QCOMPARE(scheduler.add_frame(to_meta({A, 50'000}), 1.0), 50.0);
    QCOMPARE(scheduler.add_frame(to_meta({B, 3}), 1.0), 0.0);
    scheduler.reset();
    // Both IDs are first frames again, and the clock starts from zero: a new
    // ID's 20 ms is not swallowed by the 50 ms the clock had reached.
    QCOMPARE(scheduler.add_frame(to_meta({A, 9'000'000}), 1.0), 0.0);
    QCOMPARE(scheduler.add_frame(to_meta({B, 1'000}), 1.0), 0.0);
    QCOMPARE(scheduler.add_frame(to_meta({B, 21'000}), 1.0), 20.0);
}

void TestTimestampScheduler::rate_applies_to_later_frames_only()
{
    TimestampScheduler scheduler;
    QCOMPARE(scheduler.add_frame(to_meta({A, 0}), 1.0), 0.0);
    QCOMPARE(scheduler.add_frame(to_meta({A, 10'000}), 1.0), 10.0);
    QCOMPARE(scheduler.add_frame(to_meta({A, 20'000}), 2.0), 5.0);
    QCOMPARE(scheduler.add_frame(to_meta({A, 30'000}), 0.5), 20.0);
}

void TestTimestampScheduler::gap_cap_comes_from_the_policy()
{
    TimestampScheduler scheduler(nmb::reelcast::TimingPolicy::replay(2'000'000));
    QCOMPARE(scheduler.add_frame(to_meta({A, 0}), 1.0), 0.0);
    QCOMPARE(scheduler.add_frame(to_meta({A, 2'000'000}), 1.0), 2'000.0);
    QCOMPARE(scheduler.add_frame(to_meta({A, 4'000'001}), 1.0), 0.0);
    // A new cap applies from the next frame; the time line stays.
    scheduler.set_policy(nmb::reelcast::TimingPolicy::replay(3'000'000));
    QCOMPARE(scheduler.add_frame(to_meta({A, 6'500'001}), 1.0), 2'500.0);
}

QTEST_GUILESS_MAIN(TestTimestampScheduler)
#include "tst_timestamp_scheduler.moc"
