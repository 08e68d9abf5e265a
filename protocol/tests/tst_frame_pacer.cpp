#include <nmb/protocol/frame_pacer.h>

#include <QTest>

#include <limits>

using nmb::protocol::frame_wait_ms;
using nmb::protocol::FramePacer;
using nmb::protocol::MAX_FRAME_WAIT_MS;

namespace {

constexpr int ONE_DAY_MS = 86'400'000;
constexpr double FIVE_DAYS_MS = 5.0 * ONE_DAY_MS;

} // namespace

class TestFramePacer : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void wait_for_a_due_time_data();
    void wait_for_a_due_time();
    void timer_is_single_shot_and_precise();
    void multi_day_delay_waits_one_day_and_pulls_the_due_time_in();
    void fresh_schedule_counts_from_the_first_played_frame();
    void rescaling_shortens_the_remaining_wait();
    void rescaling_leaves_an_idle_timer_alone();
};

void TestFramePacer::wait_for_a_due_time_data()
{
    QTest::addColumn<double>("due_ms");
    QTest::addColumn<double>("now_ms");
    QTest::addColumn<int>("expected");
    const double inf = std::numeric_limits<double>::infinity();
    QTest::newRow("due now") << 5.0 << 5.0 << 0;
    QTest::newRow("whole milliseconds ahead") << 12.0 << 10.0 << 2;
    QTest::newRow("half a millisecond rounds away from zero") << 10.5 << 10.0 << 1;
    QTest::newRow("one and a half rounds to two") << 1.5 << 0.0 << 2;
    QTest::newRow("just under half rounds down") << 0.49 << 0.0 << 0;
    QTest::newRow("half a millisecond late") << 9.5 << 10.0 << 0;
    QTest::newRow("long overdue") << 0.0 << 5000.0 << 0;
    QTest::newRow("just under a day") << double(ONE_DAY_MS) - 1.0 << 0.0 << ONE_DAY_MS - 1;
    QTest::newRow("exactly a day") << double(ONE_DAY_MS) << 0.0 << ONE_DAY_MS;
    QTest::newRow("several days capped at a day") << FIVE_DAYS_MS + 3.0 << 3.0 << ONE_DAY_MS;
    QTest::newRow("centuries capped at a day") << 1e16 << 0.0 << ONE_DAY_MS;
    QTest::newRow("infinitely far capped at a day") << inf << 0.0 << ONE_DAY_MS;
    QTest::newRow("not a number waits the cap") << std::nan("") << 0.0 << ONE_DAY_MS;
}

void TestFramePacer::wait_for_a_due_time()
{
    QFETCH(double, due_ms);
    QFETCH(double, now_ms);
    QFETCH(int, expected);
    QCOMPARE(frame_wait_ms(due_ms, now_ms), expected);
}

void TestFramePacer::timer_is_single_shot_and_precise()
{
    FramePacer pacer;
    QVERIFY(pacer.timer().isSingleShot());
    QCOMPARE(pacer.timer().timerType(), Qt::PreciseTimer);
    QVERIFY(!pacer.is_armed());
}

void TestFramePacer::multi_day_delay_waits_one_day_and_pulls_the_due_time_in()
{
    FramePacer pacer;
    pacer.reanchor();
    pacer.frame_played();
    pacer.arm(FIVE_DAYS_MS);
    QVERIFY(pacer.is_armed());
    QCOMPARE(pacer.timer().interval(), ONE_DAY_MS);
    // The rest of the jump is dropped: the frame after it is spaced from a
    // due time one day ahead, not five.
    QVERIFY(pacer.due_ms() <= pacer.now_ms() + MAX_FRAME_WAIT_MS);
    QVERIFY(pacer.due_ms() > pacer.now_ms() + MAX_FRAME_WAIT_MS - 60'000.0);
    pacer.stop();
    QVERIFY(!pacer.is_armed());
}

void TestFramePacer::fresh_schedule_counts_from_the_first_played_frame()
{
    FramePacer pacer;
    pacer.reanchor();
    pacer.arm(0.0);
    QCOMPARE(pacer.timer().interval(), 0);
    const double armed_due = pacer.due_ms();

    // Let the clock move on (bounded), as a slow first send would.
    const double start = pacer.now_ms();
    for (int i = 0; i < 1'000'000 && pacer.now_ms() < start + 2.0; ++i)
        QTest::qWait(0);
    pacer.frame_played();
    const double anchored = pacer.due_ms();
    QVERIFY(anchored >= armed_due + 2.0);

    // Only the first frame after reanchor() moves the schedule.
    pacer.frame_played();
    QCOMPARE(pacer.due_ms(), anchored);
    pacer.arm(1000.0);
    QCOMPARE(pacer.due_ms(), anchored + 1000.0);
    QVERIFY(pacer.timer().interval() <= 1000);
    QVERIFY(pacer.timer().interval() > 500);
    pacer.stop();
}

void TestFramePacer::rescaling_shortens_the_remaining_wait()
{
    FramePacer pacer;
    pacer.reanchor();
    pacer.frame_played();
    pacer.arm(10'000.0);
    const double armed_at = pacer.now_ms();
    pacer.rescale_remaining(0.5);
    // About 5 s are left; a loaded machine may have spent some of them.
    QVERIFY(pacer.due_ms() <= armed_at + 5'000.0 + 1.0);
    QVERIFY(pacer.due_ms() > armed_at + 4'000.0);
    QVERIFY(pacer.timer().interval() <= 5'000);
    QVERIFY(pacer.timer().interval() > 3'000);
    pacer.stop();
}

void TestFramePacer::rescaling_leaves_an_idle_timer_alone()
{
    FramePacer pacer;
    pacer.reanchor();
    pacer.frame_played();
    const double due = pacer.due_ms();
    pacer.rescale_remaining(0.25);
    QVERIFY(!pacer.is_armed());
    QCOMPARE(pacer.due_ms(), due);
}

QTEST_GUILESS_MAIN(TestFramePacer)
#include "tst_frame_pacer.moc"
