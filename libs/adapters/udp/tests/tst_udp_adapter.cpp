#include <nmb/udp_adapter.h>

#include <QSignalSpy>
#include <QTest>

class TestUdpAdapter : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void burst_arrives_in_order();
};

void TestUdpAdapter::burst_arrives_in_order()
{
    nmb::UdpAdapter rx;
    nmb::UdpAdapter tx;
    QVERIFY(rx.connect(QHostAddress::LocalHost, 0));
    QSignalSpy received(&rx, &nmb::UdpAdapter::data_received);
    for (int i = 0; i < 5; ++i)
        QCOMPARE(tx.write(QByteArray(i + 1, char('a' + i)), QHostAddress::LocalHost, rx.local_port()), i + 1);
    QTRY_COMPARE(received.size(), 5);
    for (int i = 0; i < 5; ++i)
        QCOMPARE(received.at(i).at(0).toByteArray(), QByteArray(i + 1, char('a' + i)));
}

QTEST_GUILESS_MAIN(TestUdpAdapter)
#include "tst_udp_adapter.moc"
