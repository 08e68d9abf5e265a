#include <nmb/playback/lateness_meter.h>

#include <QTest>

using nmb::playback::LatenessMeter;

class TestLatenessMeter : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void figures_data();
    void figures();
    void reset_forgets_every_frame();
};

void TestLatenessMeter::figures_data()
{
    QTest::addColumn<QList<qint64>>("lateness_ns");
    QTest::addColumn<QString>("report");
    QTest::addColumn<QString>("summary");

    QTest::newRow("no frames") << QList<qint64>{}
        << "late p50: 0.000 ms\nlate p99: 0.000 ms\nlate max: 0.000 ms\nlate over 1 ms: 0 of 0"
        << "late p50: 0.000 ms, p99: 0.000 ms";
    // A bucket reads as its upper edge: 60.2 us is within (60, 61] us.
    QTest::newRow("one frame") << QList<qint64>{60'200}
        << "late p50: 0.060 ms\nlate p99: 0.060 ms\nlate max: 0.060 ms\nlate over 1 ms: 0 of 1"
        << "late p50: 0.060 ms, p99: 0.060 ms";
    QList<qint64> hundred(98, 50'000);
    hundred << 1'000'000 << 1'302'400;
    QTest::newRow("exactly 1 ms is not over it") << hundred
        << "late p50: 0.051 ms\nlate p99: 1.001 ms\nlate max: 1.302 ms\nlate over 1 ms: 1 of 100"
        << "late p50: 0.051 ms, p99: 1.001 ms";
    QTest::newRow("early counts as on time") << QList<qint64>{-5'000'000, 2'600}
        << "late p50: 0.001 ms\nlate p99: 0.003 ms\nlate max: 0.003 ms\nlate over 1 ms: 0 of 2"
        << "late p50: 0.001 ms, p99: 0.003 ms";
    // Beyond the histogram a percentile reads as the maximum.
    QTest::newRow("beyond the histogram") << QList<qint64>{20'000'000, 3'000'000'000}
        << "late p50: 3000.000 ms\nlate p99: 3000.000 ms\nlate max: 3000.000 ms\n"
           "late over 1 ms: 2 of 2"
        << "late p50: 3000.000 ms, p99: 3000.000 ms";
}

void TestLatenessMeter::figures()
{
    QFETCH(QList<qint64>, lateness_ns);
    QFETCH(QString, report);
    QFETCH(QString, summary);
    LatenessMeter meter;
    for (qint64 late : lateness_ns)
        meter.add(late);
    QCOMPARE(QString::fromStdString(meter.report()), report);
    QCOMPARE(QString::fromStdString(meter.summary()), summary);
    QCOMPARE(meter.count(), quint64(lateness_ns.size()));
}

void TestLatenessMeter::reset_forgets_every_frame()
{
    LatenessMeter meter;
    for (int i = 0; i < 1000; ++i)
        meter.add(i * 10'000);
    meter.reset();
    meter.add(7'000);
    QCOMPARE(meter.count(), quint64(1));
    QCOMPARE(meter.max_ns(), qint64(7'000));
    QCOMPARE(meter.over_one_ms(), quint64(0));
    QCOMPARE(meter.percentile_ns(0.99), qint64(7'000));
}

QTEST_GUILESS_MAIN(TestLatenessMeter)
#include "tst_lateness_meter.moc"
