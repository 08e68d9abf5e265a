#include "reconnect_backoff.h"

#include <QTest>

#include <vector>

using nmb::ReconnectBackoff;

Q_DECLARE_METATYPE(std::vector<int>)

class TestReconnectBackoff : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void waits_data();
    void waits();
    void reset_starts_over();
};

void TestReconnectBackoff::waits_data()
{
    QTest::addColumn<double>("spread");
    QTest::addColumn<std::vector<int>>("expected_ms");
    QTest::newRow("middle of the band") << 0.0 << std::vector<int>{500, 1000, 2000, 4000, 8000, 10000, 10000};
    QTest::newRow("low edge") << -1.0 << std::vector<int>{450, 900, 1800, 3600, 7200, 9000, 9000};
    QTest::newRow("high edge never passes the longest wait")
        << 1.0 << std::vector<int>{550, 1100, 2200, 4400, 8800, 10000, 10000};
    QTest::newRow("spread outside the band is clamped") << -7.0 << std::vector<int>{450, 900, 1800, 3600, 7200, 9000};
}

void TestReconnectBackoff::waits()
{
    QFETCH(double, spread);
    QFETCH(std::vector<int>, expected_ms);
    ReconnectBackoff backoff;
    std::vector<int> waits;
    for (std::size_t i = 0; i < expected_ms.size(); ++i)
        waits.push_back(int(backoff.next(spread).count()));
    QCOMPARE(waits, expected_ms);
}

void TestReconnectBackoff::reset_starts_over()
{
    ReconnectBackoff backoff;
    for (int i = 0; i < 10; ++i)
        (void)backoff.next(0.0);
    backoff.reset();
    QCOMPARE(backoff.next(0.0).count(), 500);
}

QTEST_APPLESS_MAIN(TestReconnectBackoff)
#include "tst_reconnect_backoff.moc"
