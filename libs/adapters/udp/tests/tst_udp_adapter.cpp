#include <nmb/udp_adapter.h>

#include <nmb/test/frames.h>

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QUdpSocket>

Q_DECLARE_METATYPE(QHostAddress)

namespace {

// Datagram i of a numbered burst: its number, then a size that varies.
QByteArray numbered(int i)
{
    return QByteArray::number(i).rightJustified(6, '0') + QByteArray(i % 97, char('a' + i % 26));
}

// Sends `count` numbered datagrams from `first` on, then a marker to a
// socket of the test's own; once the marker is there, so is the burst.
bool send_burst(nmb::UdpAdapter& tx, const QHostAddress& to, quint16 port, int first, int count)
{
    QUdpSocket marker;
    if (!marker.bind(to, 0))
        return false;
    for (int i = first; i < first + count; ++i)
        if (tx.write(numbered(i), to, port) != numbered(i).size())
            return false;
    return tx.write("marker", to, marker.localPort()) == 6 && marker.waitForReadyRead(5000);
}

// A port that was free on `address` a moment ago.
quint16 free_port(const QHostAddress& address)
{
    QUdpSocket probe;
    return probe.bind(address, 0) ? probe.localPort() : 0;
}

} // namespace

class TestUdpAdapter : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void burst_is_delivered_in_one_handling_in_order();
    void datagrams_arrive_whole_data();
    void datagrams_arrive_whole();
    void zero_length_datagram_keeps_its_sender_data();
    void zero_length_datagram_keeps_its_sender();
    void oversized_write_fails();
    void rebinding_leaves_only_the_second_port();
    void is_connected_follows_bind_and_disconnect();
    void never_connected_adapter_still_sends();
    void busy_port_fails_with_a_reason();
    void queued_connection_carries_the_sender();
    void receive_buffer_request_data();
    void receive_buffer_request();
    void enlarged_buffer_holds_a_burst_while_the_loop_stalls();
    void listener_may_disconnect_inside_a_burst();
    void long_burst_keeps_order_and_senders_data();
    void long_burst_keeps_order_and_senders();
    void nested_event_loop_in_a_listener_keeps_the_order();
    void listener_may_rebind_inside_a_burst();
};

void TestUdpAdapter::burst_is_delivered_in_one_handling_in_order()
{
    nmb::UdpAdapter rx;
    nmb::UdpAdapter tx;
    QVERIFY(rx.connect(QHostAddress::LocalHost, 0));
    QSignalSpy received(&rx, &nmb::UdpAdapter::data_received);

    // A marker sent after the burst to a socket of our own: once it is
    // there, so is the burst, and no event has been handled yet.
    QUdpSocket marker;
    QVERIFY(marker.bind(QHostAddress::LocalHost, 0));
    for (int i = 0; i < 5; ++i)
        QCOMPARE(tx.write(QByteArray(i + 1, char('a' + i)), QHostAddress::LocalHost, rx.local_port()), i + 1);
    QCOMPARE(tx.write("marker", QHostAddress::LocalHost, marker.localPort()), 6);
    QVERIFY(marker.waitForReadyRead(5000));
    QCOMPARE(received.size(), 0);

    // The first handling that delivers anything delivers the whole burst.
    QTRY_VERIFY(!received.isEmpty());
    QCOMPARE(received.size(), 5);
    for (int i = 0; i < 5; ++i) {
        QCOMPARE(received.at(i).at(0).toByteArray(), QByteArray(i + 1, char('a' + i)));
        QCOMPARE(received.at(i).at(2).value<quint16>(), tx.local_port());
    }
}

void TestUdpAdapter::datagrams_arrive_whole_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::newRow("one byte") << QByteArray("x");
    QTest::newRow("mocap frame") << nmb::test::mocap_frame_bytes(123456789);
    QTest::newRow("several frames in one datagram")
        << nmb::test::mocap_frame_bytes(1) + nmb::test::patterned_frame(3, 500) + nmb::test::mocap_frame_bytes(2);
    QTest::newRow("largest IPv4 payload") << QByteArray(65507, 'L');
}

void TestUdpAdapter::datagrams_arrive_whole()
{
    QFETCH(QByteArray, datagram);
    nmb::UdpAdapter rx;
    nmb::UdpAdapter tx;
    QVERIFY(rx.connect(QHostAddress::LocalHost, 0));
    QSignalSpy received(&rx, &nmb::UdpAdapter::data_received);
    QCOMPARE(tx.write(datagram, QHostAddress::LocalHost, rx.local_port()), datagram.size());
    QTRY_COMPARE(received.size(), 1);
    QCOMPARE(received.at(0).at(0).toByteArray(), datagram);
}

void TestUdpAdapter::zero_length_datagram_keeps_its_sender_data()
{
    QTest::addColumn<QHostAddress>("loopback");
    QTest::newRow("IPv4") << QHostAddress(QHostAddress::LocalHost);
    QTest::newRow("IPv6") << QHostAddress(QHostAddress::LocalHostIPv6);
}

void TestUdpAdapter::zero_length_datagram_keeps_its_sender()
{
    QFETCH(QHostAddress, loopback);
    nmb::UdpAdapter rx;
    nmb::UdpAdapter tx;
    if (!rx.connect(loopback, 0))
        QSKIP("this loopback address is not available here");
    QVERIFY(tx.connect(loopback, 0));
    QSignalSpy received(&rx, &nmb::UdpAdapter::data_received);
    QCOMPARE(tx.write(QByteArray(), loopback, rx.local_port()), 0);
    QTRY_COMPARE(received.size(), 1);
    QCOMPARE(received.at(0).at(0).toByteArray(), QByteArray());
    QCOMPARE(received.at(0).at(1).value<QHostAddress>(), loopback);
    QCOMPARE(received.at(0).at(2).value<quint16>(), tx.local_port());
}

void TestUdpAdapter::oversized_write_fails()
{
    nmb::UdpAdapter rx;
    nmb::UdpAdapter tx;
    QVERIFY(rx.connect(QHostAddress::LocalHost, 0));
    QCOMPARE(tx.write(QByteArray(65508, 'L'), QHostAddress::LocalHost, rx.local_port()), -1);
    // The adapter stays usable.
    QSignalSpy received(&rx, &nmb::UdpAdapter::data_received);
    QCOMPARE(tx.write("after", QHostAddress::LocalHost, rx.local_port()), 5);
    QTRY_COMPARE(received.size(), 1);
    QCOMPARE(received.at(0).at(0).toByteArray(), QByteArray("after"));
}

void TestUdpAdapter::rebinding_leaves_only_the_second_port()
{
    nmb::UdpAdapter rx;
    QVERIFY(rx.connect(QHostAddress::LocalHost, 0));
    const quint16 first = rx.local_port();
    quint16 second = 0;
    for (int attempt = 0; attempt < 5 && second == 0; ++attempt) {
        const quint16 candidate = free_port(QHostAddress::LocalHost);
        if (candidate != first && rx.connect(QHostAddress::LocalHost, candidate))
            second = candidate;
    }
    QVERIFY(second != 0);
    QVERIFY(rx.is_connected());
    QCOMPARE(rx.local_port(), second);

    // The first port is free again...
    nmb::UdpAdapter other;
    QVERIFY(other.connect(QHostAddress::LocalHost, first));
    // ...and datagrams reach the adapter on the second.
    QSignalSpy received(&rx, &nmb::UdpAdapter::data_received);
    nmb::UdpAdapter tx;
    QCOMPARE(tx.write("second", QHostAddress::LocalHost, second), 6);
    QTRY_COMPARE(received.size(), 1);
}

void TestUdpAdapter::is_connected_follows_bind_and_disconnect()
{
    nmb::UdpAdapter adapter;
    QVERIFY(adapter.initialize());
    QVERIFY(!adapter.is_connected());
    adapter.disconnect();
    QVERIFY(!adapter.is_connected());
    QVERIFY(adapter.connect(QHostAddress::LocalHost, 0));
    QVERIFY(adapter.is_connected());
    QCOMPARE(adapter.local_address(), QHostAddress(QHostAddress::LocalHost));
    QVERIFY(adapter.local_port() != 0);
    adapter.disconnect();
    QVERIFY(!adapter.is_connected());
    adapter.disconnect();
    QVERIFY(!adapter.is_connected());
}

void TestUdpAdapter::never_connected_adapter_still_sends()
{
    nmb::UdpAdapter rx;
    QVERIFY(rx.connect(QHostAddress::LocalHost, 0));
    QSignalSpy received(&rx, &nmb::UdpAdapter::data_received);
    nmb::UdpAdapter tx;
    tx.initialize();
    const QByteArray frame = nmb::test::mocap_frame_bytes(7);
    QCOMPARE(tx.write(frame, QHostAddress::LocalHost, rx.local_port()), frame.size());
    QTRY_COMPARE(received.size(), 1);
    QCOMPARE(received.at(0).at(0).toByteArray(), frame);
    QVERIFY(received.at(0).at(2).value<quint16>() != 0);
}

void TestUdpAdapter::busy_port_fails_with_a_reason()
{
    nmb::UdpAdapter occupant;
    QVERIFY(occupant.connect(QHostAddress::LocalHost, 0));
    nmb::UdpAdapter adapter;
    QSignalSpy errors(&adapter, &nmb::UdpAdapter::error_occurred);
    // Reported during the bind itself, before connect() returns.
    QVERIFY(!adapter.connect(QHostAddress::LocalHost, occupant.local_port()));
    QCOMPARE(errors.size(), 1);
    QVERIFY(!errors.at(0).at(0).toString().isEmpty());
    QVERIFY(!adapter.is_connected());
}

void TestUdpAdapter::queued_connection_carries_the_sender()
{
    nmb::UdpAdapter rx;
    nmb::UdpAdapter tx;
    QVERIFY(rx.connect(QHostAddress::LocalHost, 0));
    QVERIFY(tx.connect(QHostAddress::LocalHost, 0));
    QList<QHostAddress> senders;
    QObject::connect(
        &rx, &nmb::UdpAdapter::data_received, this,
        [&senders](const QByteArray&, const QHostAddress& address, quint16) { senders << address; },
        Qt::QueuedConnection);
    QCOMPARE(tx.write("queued", QHostAddress::LocalHost, rx.local_port()), 6);
    QTRY_COMPARE(senders.size(), 1);
    QCOMPARE(senders.at(0), QHostAddress(QHostAddress::LocalHost));
}

void TestUdpAdapter::receive_buffer_request_data()
{
    QTest::addColumn<int>("requested");
    QTest::newRow("modest size, within every system cap") << 65536;
    QTest::newRow("8 MiB") << 8388608;
}

void TestUdpAdapter::receive_buffer_request()
{
    QFETCH(int, requested);
    nmb::UdpAdapter adapter;
    QCOMPARE(adapter.request_receive_buffer_size(requested), -1);
    QVERIFY(adapter.connect(QHostAddress::LocalHost, 0));
    const int granted = adapter.request_receive_buffer_size(requested);
    QVERIFY2(granted > 0 && granted <= requested, qPrintable(QString::number(granted)));
    if (requested <= 65536)
        QCOMPARE(granted, requested);
    adapter.disconnect();
    QCOMPARE(adapter.request_receive_buffer_size(requested), -1);
}

void TestUdpAdapter::enlarged_buffer_holds_a_burst_while_the_loop_stalls()
{
    nmb::UdpAdapter rx;
    QVERIFY(rx.connect(QHostAddress::LocalHost, 0));
    const int granted = rx.request_receive_buffer_size(8388608);
    // A 1860-byte datagram takes up to about 8 KiB of buffer accounting; the
    // default buffer holds well under a hundred of them.
    const int burst = qMin(granted / 8192, 500);
    if (burst < 200)
        QSKIP("the system caps the receive buffer too low for this check");
    QSignalSpy received(&rx, &nmb::UdpAdapter::data_received);
    nmb::UdpAdapter tx;
    for (int i = 0; i < burst; ++i) {
        const QByteArray frame = nmb::test::mocap_frame_bytes(quint64(i));
        QCOMPARE(tx.write(frame, QHostAddress::LocalHost, rx.local_port()), frame.size());
    }
    QTRY_COMPARE(received.size(), burst);
    QCOMPARE(received.constLast().at(0).toByteArray(), nmb::test::mocap_frame_bytes(quint64(burst - 1)));
}

void TestUdpAdapter::listener_may_disconnect_inside_a_burst()
{
    nmb::UdpAdapter rx;
    nmb::UdpAdapter tx;
    QVERIFY(rx.connect(QHostAddress::LocalHost, 0));
    int deliveries = 0;
    QObject::connect(&rx, &nmb::UdpAdapter::data_received, this, [&] {
        ++deliveries;
        rx.disconnect();
    });
    QUdpSocket marker;
    QVERIFY(marker.bind(QHostAddress::LocalHost, 0));
    for (int i = 0; i < 3; ++i)
        QCOMPARE(tx.write("burst", QHostAddress::LocalHost, rx.local_port()), 5);
    QCOMPARE(tx.write("marker", QHostAddress::LocalHost, marker.localPort()), 6);
    QVERIFY(marker.waitForReadyRead(5000));

    // Nothing more is read, and nothing complains about the closed socket.
    QTest::failOnWarning(QRegularExpression(".*"));
    QTRY_COMPARE(deliveries, 1);
    QVERIFY(!rx.is_connected());
}

void TestUdpAdapter::long_burst_keeps_order_and_senders_data()
{
    QTest::addColumn<QHostAddress>("loopback");
    QTest::addColumn<int>("count");
    QTest::newRow("IPv4, one batch and a bit") << QHostAddress(QHostAddress::LocalHost) << 17;
    QTest::newRow("IPv4, many batches") << QHostAddress(QHostAddress::LocalHost) << 300;
    QTest::newRow("IPv6, many batches") << QHostAddress(QHostAddress::LocalHostIPv6) << 300;
}

// The first datagram of a handling and the rest of the burst are read in
// different ways; every one must come out the same.
void TestUdpAdapter::long_burst_keeps_order_and_senders()
{
    QFETCH(QHostAddress, loopback);
    QFETCH(int, count);
    nmb::UdpAdapter rx;
    nmb::UdpAdapter tx;
    if (!rx.connect(loopback, 0))
        QSKIP("this loopback address is not available here");
    rx.request_receive_buffer_size(1 << 20);
    QVERIFY(tx.connect(loopback, 0));
    QSignalSpy received(&rx, &nmb::UdpAdapter::data_received);
    QVERIFY(send_burst(tx, loopback, rx.local_port(), 0, count));
    QTRY_COMPARE(received.size(), count);
    for (int i = 0; i < count; ++i) {
        QCOMPARE(received.at(i).at(0).toByteArray(), numbered(i));
        QCOMPARE(received.at(i).at(1).value<QHostAddress>().toString(), loopback.toString());
        QCOMPARE(received.at(i).at(2).value<quint16>(), tx.local_port());
    }
}

void TestUdpAdapter::nested_event_loop_in_a_listener_keeps_the_order()
{
    nmb::UdpAdapter rx;
    nmb::UdpAdapter tx;
    QVERIFY(rx.connect(QHostAddress::LocalHost, 0));
    rx.request_receive_buffer_size(1 << 20);
    QList<QByteArray> delivered;
    bool nested = false;
    QObject::connect(&rx, &nmb::UdpAdapter::data_received, this, [&](const QByteArray& data) {
        delivered << data;
        if (delivered.size() != 1)
            return;
        // A second burst arrives while the first is being handed over, and
        // the listener lets the event loop run.
        nested = send_burst(tx, QHostAddress::LocalHost, rx.local_port(), 40, 40);
        for (int i = 0; i < 5; ++i)
            QCoreApplication::processEvents();
    });
    QVERIFY(send_burst(tx, QHostAddress::LocalHost, rx.local_port(), 0, 40));
    QTRY_COMPARE(delivered.size(), 80);
    QVERIFY(nested);
    // The socket still reports what comes next.
    QVERIFY(send_burst(tx, QHostAddress::LocalHost, rx.local_port(), 80, 10));
    QTRY_COMPARE(delivered.size(), 90);
    for (int i = 0; i < 90; ++i)
        QCOMPARE(delivered.at(i), numbered(i));
}

void TestUdpAdapter::listener_may_rebind_inside_a_burst()
{
    nmb::UdpAdapter rx;
    nmb::UdpAdapter tx;
    QVERIFY(rx.connect(QHostAddress::LocalHost, 0));
    const quint16 first_port = rx.local_port();
    QList<QByteArray> delivered;
    QObject::connect(&rx, &nmb::UdpAdapter::data_received, this, [&](const QByteArray& data) {
        delivered << data;
        if (delivered.size() == 1)
            QVERIFY(rx.connect(QHostAddress::LocalHost, 0));
    });
    QVERIFY(send_burst(tx, QHostAddress::LocalHost, first_port, 0, 40));
    QTRY_COMPARE(delivered.size(), 1);
    QVERIFY(rx.local_port() != first_port);

    // The rest of the old burst is gone with the old socket; the new one
    // receives.
    QVERIFY(send_burst(tx, QHostAddress::LocalHost, rx.local_port(), 100, 3));
    QTRY_COMPARE(delivered.size(), 4);
    QCOMPARE(delivered.mid(1), (QList<QByteArray>{numbered(100), numbered(101), numbered(102)}));
}

QTEST_GUILESS_MAIN(TestUdpAdapter)
#include "tst_udp_adapter.moc"
