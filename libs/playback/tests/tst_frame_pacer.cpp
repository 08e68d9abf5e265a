#include <nmb/playback/frame_pacer.h>

#include <QSignalSpy>
#include <QTest>

#include <cmath>
#include <limits>

using nmb::playback::FramePacer;
using nmb::playback::MAX_FRAME_WAIT_NS;

namespace {

constexpr double ONE_DAY_MS = 86'400'000.0;

// A pacer whose schedule has started: the first frame went out.
void start_schedule(FramePacer& pacer)
{
    pacer.reanchor();
    pacer.frame_played();
}

} // namespace

class TestFramePacer : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void due_times_add_up_in_nanoseconds_data();
    void due_times_add_up_in_nanoseconds();
    void waits_on_a_kernel_timer();
    void frame_is_never_due_before_its_time_data();
    void frame_is_never_due_before_its_time();
    void stopped_or_rearmed_wait_fires_once_or_not_at_all();
    void fresh_schedule_counts_from_the_first_played_frame();
    void rescaling_shortens_the_remaining_wait();
    void rescaling_leaves_an_idle_pacer_alone();
};

void TestFramePacer::due_times_add_up_in_nanoseconds_data()
{
    QTest::addColumn<QList<double>>("delays_ms");
    QTest::addColumn<qint64>("advance_ns");
    const double inf = std::numeric_limits<double>::infinity();
    QTest::newRow("whole milliseconds") << QList<double>{10, 10, 10} << qint64(30'000'000);
    QTest::newRow("sub-millisecond spacing is kept")
        << QList<double>{0.3, 0.3, 0.3, 0.3} << qint64(1'200'000);
    // Thirds of a microsecond: each is 333.33 ns, the fractions carry over.
    QTest::newRow("fractions of a nanosecond carry")
        << QList<double>(3000, 1.0 / 3000.0) << qint64(1'000'000);
    QTest::newRow("zero delays") << QList<double>{0, 0, 0} << qint64(0);
    QTest::newRow("negative delay waits nothing") << QList<double>{-5, 2} << qint64(2'000'000);
    QTest::newRow("several days capped at a day")
        << QList<double>{5 * ONE_DAY_MS} << MAX_FRAME_WAIT_NS;
    QTest::newRow("infinitely far capped at a day") << QList<double>{inf} << MAX_FRAME_WAIT_NS;
    QTest::newRow("not a number waits the cap") << QList<double>{std::nan("")} << MAX_FRAME_WAIT_NS;
}

void TestFramePacer::due_times_add_up_in_nanoseconds()
{
    QFETCH(QList<double>, delays_ms);
    QFETCH(qint64, advance_ns);
    FramePacer pacer;
    start_schedule(pacer);
    const qint64 start = pacer.due_ns();
    for (double delay : delays_ms)
        pacer.arm(delay);
    QVERIFY(pacer.is_armed());
    const qint64 advance = pacer.due_ns() - start;
    if (advance_ns == MAX_FRAME_WAIT_NS) {
        // Pulled in to one day from the moment it was armed.
        QVERIFY(advance <= MAX_FRAME_WAIT_NS + 60'000'000'000);
        QVERIFY(pacer.due_ns() <= pacer.now_ns() + MAX_FRAME_WAIT_NS);
    } else {
        QVERIFY2(std::abs(advance - advance_ns) <= 1, qPrintable(QString::number(advance)));
    }
    pacer.stop();
    QVERIFY(!pacer.is_armed());
}

void TestFramePacer::waits_on_a_kernel_timer()
{
    FramePacer pacer;
    QVERIFY(pacer.has_kernel_timer());
    QVERIFY(!pacer.is_armed());
}

void TestFramePacer::frame_is_never_due_before_its_time_data()
{
    QTest::addColumn<double>("delay_ms");
    QTest::newRow("due at once") << 0.0;
    QTest::newRow("a fraction of a millisecond") << 0.25;
    QTest::newRow("a few milliseconds") << 3.7;
}

void TestFramePacer::frame_is_never_due_before_its_time()
{
    QFETCH(double, delay_ms);
    FramePacer pacer;
    QSignalSpy due(&pacer, &FramePacer::frame_due);
    start_schedule(pacer);
    pacer.arm(delay_ms);
    QVERIFY(due.wait(5000));
    QVERIFY(pacer.now_ns() >= pacer.due_ns());
    QVERIFY(!pacer.is_armed());
    QCOMPARE(due.size(), 1);
}

void TestFramePacer::stopped_or_rearmed_wait_fires_once_or_not_at_all()
{
    FramePacer pacer;
    QSignalSpy due(&pacer, &FramePacer::frame_due);
    start_schedule(pacer);

    // Already expired in the kernel, not yet seen by the event loop.
    pacer.arm(0.0);
    pacer.stop();
    QVERIFY(!due.wait(50));

    // Expired, then armed again further ahead: only the new deadline counts.
    pacer.arm(0.0);
    pacer.arm(20.0);
    QVERIFY(due.wait(5000));
    QVERIFY(pacer.now_ns() >= pacer.due_ns());
    QVERIFY(!due.wait(50));
    QCOMPARE(due.size(), 1);
}

void TestFramePacer::fresh_schedule_counts_from_the_first_played_frame()
{
    FramePacer pacer;
    pacer.reanchor();
    pacer.arm(0.0);
    const qint64 armed_due = pacer.due_ns();

    // Let the clock move on (bounded), as a slow first send would.
    const qint64 start = pacer.now_ns();
    for (int i = 0; i < 1'000'000 && pacer.now_ns() < start + 2'000'000; ++i)
        QTest::qWait(0);
    pacer.frame_played();
    const qint64 anchored = pacer.due_ns();
    QVERIFY(anchored >= armed_due + 2'000'000);

    // Only the first frame after reanchor() moves the schedule.
    pacer.frame_played();
    QCOMPARE(pacer.due_ns(), anchored);
    pacer.arm(1000.0);
    QCOMPARE(pacer.due_ns(), anchored + 1'000'000'000);
    pacer.stop();

    // A quick hand-over anchors where the frame left, a slow one where it
    // returned.
    pacer.reanchor();
    pacer.frame_played(5'000'000, 5'000'000 + FramePacer::QUICK_HANDOVER_NS);
    QCOMPARE(pacer.due_ns(), qint64(5'000'000));
    pacer.reanchor();
    pacer.frame_played(5'000'000, 5'000'001 + FramePacer::QUICK_HANDOVER_NS);
    QCOMPARE(pacer.due_ns(), 5'000'001 + FramePacer::QUICK_HANDOVER_NS);
}

void TestFramePacer::rescaling_shortens_the_remaining_wait()
{
    FramePacer pacer;
    start_schedule(pacer);
    pacer.arm(10'000.0);
    const qint64 armed_at = pacer.now_ns();
    pacer.rescale_remaining(0.5);
    QVERIFY(pacer.is_armed());
    // About 5 s are left; a loaded machine may have spent some of them.
    QVERIFY(pacer.due_ns() <= armed_at + 5'001'000'000);
    QVERIFY(pacer.due_ns() > armed_at + 4'000'000'000);
    pacer.stop();
}

void TestFramePacer::rescaling_leaves_an_idle_pacer_alone()
{
    FramePacer pacer;
    start_schedule(pacer);
    const qint64 due = pacer.due_ns();
    pacer.rescale_remaining(0.25);
    QVERIFY(!pacer.is_armed());
    QCOMPARE(pacer.due_ns(), due);
}

QTEST_GUILESS_MAIN(TestFramePacer)
#include "tst_frame_pacer.moc"
