#include <nmb/local_socket_adapter.h>
#include <nmb/test/frames.h>
#include <nmb/test/meta_methods.h>

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QUuid>
#include <QtTest>

#include <memory>
#include <utility>

using nmb::LocalSocketAdapter;

namespace {

// Generous bound for anything asynchronous on a loaded machine.
constexpr int WAIT_MS = 10000;

// A server name nobody else uses.
QString unique_name()
{
    return QStringLiteral("nmb-test-") + QUuid::createUuid().toString(QUuid::WithoutBraces);
}

// The server end of the tests: a real QLocalServer that keeps every accepted
// connection, what arrived on each and how many of them the client closed.
class LocalPeer : public QObject {
    Q_OBJECT

public:
    bool listen(const QString& name = unique_name())
    {
        QObject::connect(&server_, &QLocalServer::newConnection, this, &LocalPeer::accept);
        return server_.listen(name);
    }
    QString name() const { return server_.serverName(); }
    void close() { server_.close(); }

    qsizetype client_count() const { return clients_.size(); }
    QLocalSocket* client(qsizetype index) const { return clients_.value(index); }
    QLocalSocket* last_client() const { return clients_.isEmpty() ? nullptr : clients_.last(); }
    QByteArray received(qsizetype index = 0) const { return received_.value(index); }
    int closed_count() const { return closed_; }

Q_SIGNALS:
    void client_closed();

private:
    void accept()
    {
        while (QLocalSocket* socket = server_.nextPendingConnection()) {
            const qsizetype index = clients_.size();
            clients_.append(socket);
            received_.append(QByteArray());
            QObject::connect(socket, &QIODevice::readyRead, this,
                             [this, socket, index] { received_[index] += socket->readAll(); });
            QObject::connect(socket, &QLocalSocket::disconnected, this, [this] {
                ++closed_;
                Q_EMIT client_closed();
            });
        }
    }

    QLocalServer server_;
    QList<QLocalSocket*> clients_; // children of server_
    QList<QByteArray> received_;
    int closed_ = 0;
};

// Connects `adapter` to `peer` and waits until the server side has it.
bool open(LocalSocketAdapter& adapter, LocalPeer& peer)
{
    const qsizetype before = peer.client_count();
    if (!adapter.connect(peer.name()))
        return false;
    QDeadlineTimer deadline(WAIT_MS);
    while (peer.client_count() == before && !deadline.hasExpired())
        QTest::qWait(10);
    return peer.client_count() > before;
}

// Everything the adapter delivered, joined: chunk boundaries are the socket's.
QByteArray joined(const QSignalSpy& spy)
{
    QByteArray all;
    for (const QList<QVariant>& arguments : spy)
        all += arguments.first().toByteArray();
    return all;
}

QByteArray pattern(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + i / 251) & 0xFF);
    return bytes;
}

} // namespace

class TestLocalSocketAdapter : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void signals_in_order();
    void connects_to_a_listening_server();
    void connect_without_server_fails_data();
    void connect_without_server_fails();
    void reconnect_drops_the_old_connection();
    void passes_bytes_unchanged_data();
    void passes_bytes_unchanged();
    void empty_write_sends_nothing();
    void write_without_connection_fails_data();
    void write_without_connection_fails();
    void disconnect_closes_the_connection();
    void bytes_written_before_disconnect_arrive();
    void peer_closing_is_reported();
    void destruction_closes_the_connection();
};

void TestLocalSocketAdapter::signals_in_order()
{
    const QMetaObject& meta = LocalSocketAdapter::staticMetaObject;
    QCOMPARE(meta.className(), "nmb::LocalSocketAdapter");
    QCOMPARE(nmb::test::declared_methods(meta), (QStringList{"connected()", "disconnected()",
                                                       "data_received(QByteArray)", "error_occurred(QString)"}));
}

void TestLocalSocketAdapter::connects_to_a_listening_server()
{
    LocalPeer peer;
    QVERIFY(peer.listen());
    LocalSocketAdapter adapter;
    QVERIFY(adapter.initialize());
    QVERIFY(!adapter.is_connected());
    QCOMPARE(adapter.server_name(), QString());
    QSignalSpy connected(&adapter, &LocalSocketAdapter::connected);
    QSignalSpy errors(&adapter, &LocalSocketAdapter::error_occurred);

    QVERIFY(adapter.connect(peer.name()));
    // The wait inside connect() already delivered the socket's signal.
    QCOMPARE(connected.size(), 1);
    QVERIFY(adapter.is_connected());
    QCOMPARE(adapter.server_name(), peer.name());
    QTRY_COMPARE_WITH_TIMEOUT(peer.client_count(), 1, WAIT_MS);
    QCOMPARE(errors.size(), 0);
}

void TestLocalSocketAdapter::connect_without_server_fails_data()
{
    QTest::addColumn<bool>("listened_before");

    QTest::newRow("name never listened on") << false;
    QTest::newRow("server closed before the attempt") << true;
}

void TestLocalSocketAdapter::connect_without_server_fails()
{
    QFETCH(bool, listened_before);

    QString name = unique_name();
    if (listened_before) {
        LocalPeer gone;
        QVERIFY(gone.listen(name));
        gone.close();
    }
    LocalSocketAdapter adapter;
    QSignalSpy connected(&adapter, &LocalSocketAdapter::connected);
    QSignalSpy errors(&adapter, &LocalSocketAdapter::error_occurred);

    QElapsedTimer clock;
    clock.start();
    QVERIFY(!adapter.connect(name));
    // The attempt gives up within its own wait; the bound is generous.
    QVERIFY2(clock.elapsed() < WAIT_MS, qPrintable(QString::number(clock.elapsed())));

    QVERIFY(!adapter.is_connected());
    QCOMPARE(adapter.server_name(), name);
    QTRY_VERIFY_WITH_TIMEOUT(!errors.isEmpty(), WAIT_MS);
    QVERIFY(!errors.first().first().toString().isEmpty());
    QCOMPARE(connected.size(), 0);
}

void TestLocalSocketAdapter::reconnect_drops_the_old_connection()
{
    LocalPeer first;
    LocalPeer second;
    QVERIFY(first.listen());
    QVERIFY(second.listen());
    LocalSocketAdapter adapter;
    QVERIFY(open(adapter, first));
    QSignalSpy connected(&adapter, &LocalSocketAdapter::connected);

    QVERIFY(open(adapter, second));
    QCOMPARE(connected.size(), 1);
    QCOMPARE(adapter.server_name(), second.name());
    // The old server-side socket sees its client go.
    QTRY_COMPARE_WITH_TIMEOUT(first.closed_count(), 1, WAIT_MS);
    QCOMPARE(second.closed_count(), 0);

    QCOMPARE(adapter.write("on the second"), qint64(13));
    QTRY_COMPARE_WITH_TIMEOUT(second.received(), QByteArray("on the second"), WAIT_MS);
    QCOMPARE(first.received(), QByteArray());
    QCOMPARE(first.client_count(), 1);
}

void TestLocalSocketAdapter::passes_bytes_unchanged_data()
{
    QTest::addColumn<bool>("to_server");
    QTest::addColumn<QList<QByteArray>>("writes");

    const QList<std::pair<const char*, QList<QByteArray>>> cases = {
        {"one byte", {QByteArray(1, 'x')}},
        {"zero bytes and high bytes", {QByteArray("\x00\xAA\x55\xFF\x00", 5)}},
        {"one Mocap frame", {nmb::test::mocap_frame_bytes(1000)}},
        {"frames written back to back",
         {nmb::test::mocap_frame_bytes(0), nmb::test::mocap_frame_bytes(8333), nmb::test::mocap_frame_bytes(16666)}},
        {"one mebibyte", {pattern(1 << 20)}},
    };
    for (const bool to_server : {true, false}) {
        for (const auto& [name, writes] : cases)
            QTest::addRow("%s, %s", name, to_server ? "to the server" : "from the server") << to_server << writes;
    }
}

void TestLocalSocketAdapter::passes_bytes_unchanged()
{
    QFETCH(bool, to_server);
    QFETCH(QList<QByteArray>, writes);

    LocalPeer peer;
    QVERIFY(peer.listen());
    LocalSocketAdapter adapter;
    QVERIFY(open(adapter, peer));
    QSignalSpy received(&adapter, &LocalSocketAdapter::data_received);

    QByteArray expected;
    for (const QByteArray& data : writes) {
        QLocalSocket* server_side = peer.last_client();
        QCOMPARE(to_server ? adapter.write(data) : server_side->write(data), qint64(data.size()));
        expected += data;
    }
    if (to_server) {
        QTRY_COMPARE_WITH_TIMEOUT(peer.received().size(), expected.size(), WAIT_MS);
        QCOMPARE(peer.received(), expected);
        return;
    }
    peer.last_client()->flush();
    // Quick writes may merge into one chunk or split anywhere: only the
    // joined bytes are fixed, and no chunk is empty.
    QTRY_COMPARE_WITH_TIMEOUT(joined(received).size(), expected.size(), WAIT_MS);
    QCOMPARE(joined(received), expected);
    for (const QList<QVariant>& arguments : received)
        QVERIFY(!arguments.first().toByteArray().isEmpty());
}

void TestLocalSocketAdapter::empty_write_sends_nothing()
{
    LocalPeer peer;
    QVERIFY(peer.listen());
    LocalSocketAdapter adapter;
    QVERIFY(open(adapter, peer));
    QSignalSpy errors(&adapter, &LocalSocketAdapter::error_occurred);

    QCOMPARE(adapter.write(QByteArray()), qint64(0));
    // The marker written after the empty write is all the server gets.
    QCOMPARE(adapter.write("marker"), qint64(6));
    QTRY_COMPARE_WITH_TIMEOUT(peer.received(), QByteArray("marker"), WAIT_MS);
    QCOMPARE(errors.size(), 0);
    QVERIFY(adapter.is_connected());
}

void TestLocalSocketAdapter::write_without_connection_fails_data()
{
    QTest::addColumn<QString>("history");

    QTest::newRow("never connected") << "never";
    QTest::newRow("after a failed connect") << "failed";
    QTest::newRow("after disconnect") << "disconnected";
    QTest::newRow("after the server closed the connection") << "peer closed";
}

void TestLocalSocketAdapter::write_without_connection_fails()
{
    QFETCH(QString, history);

    LocalPeer peer;
    QVERIFY(peer.listen());
    LocalSocketAdapter adapter;
    if (history == QLatin1String("failed")) {
        QVERIFY(!adapter.connect(unique_name()));
    } else if (history == QLatin1String("disconnected")) {
        QVERIFY(open(adapter, peer));
        adapter.disconnect();
    } else if (history == QLatin1String("peer closed")) {
        QVERIFY(open(adapter, peer));
        QSignalSpy disconnected(&adapter, &LocalSocketAdapter::disconnected);
        peer.last_client()->disconnectFromServer();
        QTRY_COMPARE_WITH_TIMEOUT(disconnected.size(), 1, WAIT_MS);
    }
    QVERIFY(!adapter.is_connected());

    QSignalSpy connected(&adapter, &LocalSocketAdapter::connected);
    QSignalSpy disconnected(&adapter, &LocalSocketAdapter::disconnected);
    QSignalSpy received(&adapter, &LocalSocketAdapter::data_received);
    QSignalSpy errors(&adapter, &LocalSocketAdapter::error_occurred);
    QCOMPARE(adapter.write("lost"), qint64(-1));
    QCoreApplication::processEvents();
    QCOMPARE(connected.size() + disconnected.size() + received.size() + errors.size(), 0);
}

void TestLocalSocketAdapter::disconnect_closes_the_connection()
{
    LocalPeer peer;
    QVERIFY(peer.listen());
    LocalSocketAdapter adapter;
    QVERIFY(open(adapter, peer));
    QSignalSpy disconnected(&adapter, &LocalSocketAdapter::disconnected);
    QSignalSpy errors(&adapter, &LocalSocketAdapter::error_occurred);

    adapter.disconnect();
    QTRY_COMPARE_WITH_TIMEOUT(disconnected.size(), 1, WAIT_MS);
    QVERIFY(!adapter.is_connected());
    QTRY_COMPARE_WITH_TIMEOUT(peer.closed_count(), 1, WAIT_MS);
    QCOMPARE(errors.size(), 0);
    QCOMPARE(adapter.server_name(), peer.name());

    adapter.disconnect(); // nothing left to close
    QCoreApplication::processEvents();
    QCOMPARE(disconnected.size(), 1);

    // The same adapter connects again.
    QVERIFY(open(adapter, peer));
    QVERIFY(adapter.is_connected());
}

void TestLocalSocketAdapter::bytes_written_before_disconnect_arrive()
{
    LocalPeer peer;
    QVERIFY(peer.listen());
    LocalSocketAdapter adapter;
    QVERIFY(open(adapter, peer));

    // More than the system buffers at once: part of it is still queued in
    // the socket when disconnect() runs, and goes out before the close.
    const QByteArray data = pattern(4 * 1024 * 1024);
    QCOMPARE(adapter.write(data), qint64(data.size()));
    adapter.disconnect();
    QVERIFY(!adapter.is_connected());
    QTRY_COMPARE_WITH_TIMEOUT(peer.closed_count(), 1, WAIT_MS);
    QCOMPARE(peer.received().size(), data.size());
    QCOMPARE(peer.received(), data);
}

void TestLocalSocketAdapter::peer_closing_is_reported()
{
    LocalPeer peer;
    QVERIFY(peer.listen());
    LocalSocketAdapter adapter;
    QVERIFY(open(adapter, peer));
    QSignalSpy received(&adapter, &LocalSocketAdapter::data_received);
    QSignalSpy disconnected(&adapter, &LocalSocketAdapter::disconnected);

    peer.last_client()->write("last words");
    peer.last_client()->flush();
    peer.last_client()->disconnectFromServer();

    QTRY_COMPARE_WITH_TIMEOUT(disconnected.size(), 1, WAIT_MS);
    QVERIFY(!adapter.is_connected());
    QTRY_COMPARE_WITH_TIMEOUT(joined(received), QByteArray("last words"), WAIT_MS);
}

void TestLocalSocketAdapter::destruction_closes_the_connection()
{
    LocalPeer peer;
    QVERIFY(peer.listen());
    auto adapter = std::make_unique<LocalSocketAdapter>();
    QVERIFY(open(*adapter, peer));

    adapter.reset();
    QTRY_COMPARE_WITH_TIMEOUT(peer.closed_count(), 1, WAIT_MS);
}

QTEST_GUILESS_MAIN(TestLocalSocketAdapter)
#include "tst_local_socket_adapter.moc"
