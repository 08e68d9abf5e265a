#include <nmb/test/ws_server.h>
#include <nmb/websocket_adapter.h>

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

using nmb::WebsocketAdapter;
using nmb::test::WsServer;

namespace {

const QString URL_ERROR = QStringLiteral("WebSocket URL must use ws or wss and include a host.");

// Starts `adapter` on `url` and waits for its connected signal.
bool open(WebsocketAdapter& adapter, const QUrl& url)
{
    QSignalSpy connected(&adapter, &WebsocketAdapter::connected);
    adapter.connect(url);
    return connected.wait(10000) && adapter.is_connected();
}

} // namespace

class TestWebsocketAdapter : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void signals_in_order();
    void accepts_websocket_urls_data();
    void accepts_websocket_urls();
    void refuses_other_urls_data();
    void refuses_other_urls();
    void sends_text_messages_data();
    void sends_text_messages();
    void delivers_text_as_utf8();
    void ignores_binary_messages();
    void write_without_connection_fails();
    void reconnect_aborts_the_open_connection();
    void disconnect_closes_normally();
    void disconnect_during_handshake_aborts();
    void destruction_closes_normally();
    void refused_connection_is_reported();
    void server_going_away_is_reported();
};

void TestWebsocketAdapter::signals_in_order()
{
    const QMetaObject& meta = WebsocketAdapter::staticMetaObject;
    QCOMPARE(meta.className(), "nmb::WebsocketAdapter");
    QStringList methods;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i)
        methods.append(QString::fromLatin1(meta.method(i).methodSignature()));
    QCOMPARE(methods, (QStringList{"data_received(QByteArray)", "connected()", "disconnected()",
                                   "error_occurred(QString)"}));
}

void TestWebsocketAdapter::accepts_websocket_urls_data()
{
    QTest::addColumn<bool>("tls");
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<QString>("host");

    QTest::newRow("ws on IPv4 loopback") << false << "ws" << "127.0.0.1";
    QTest::newRow("scheme in capitals") << false << "WS" << "127.0.0.1";
    QTest::newRow("host name") << false << "ws" << "localhost";
    QTest::newRow("wss with a self-signed certificate") << true << "wss" << "127.0.0.1";
    QTest::newRow("WSS in capitals") << true << "WSS" << "127.0.0.1";
    QTest::newRow("IPv6 loopback") << false << "ws" << "[::1]";
}

void TestWebsocketAdapter::accepts_websocket_urls()
{
    QFETCH(bool, tls);
    QFETCH(QString, scheme);
    QFETCH(QString, host);

    WsServer server;
    const QHostAddress address = host.startsWith(QLatin1Char('[')) ? QHostAddress::LocalHostIPv6
                                                                    : QHostAddress::LocalHost;
    if (!server.listen(tls ? WsServer::Security::Tls : WsServer::Security::Plain, address)) {
        if (address == QHostAddress::LocalHostIPv6)
            QSKIP("no IPv6 loopback on this machine");
        QFAIL(qPrintable(server.error()));
    }
    const QString text = QStringLiteral("%1://%2:%3/ws?stream=1").arg(scheme, host).arg(server.port());

    WebsocketAdapter adapter;
    QVERIFY(adapter.initialize());
    QSignalSpy errors(&adapter, &WebsocketAdapter::error_occurred);
    QVERIFY2(open(adapter, QUrl(text)), qPrintable(errors.isEmpty() ? text : errors.first().first().toString()));
    QCOMPARE(errors.size(), 0);
    QTRY_COMPARE(server.client_count(), 1);
    QCOMPARE(server.last_client()->requestUrl().path(), QStringLiteral("/ws"));
    QCOMPARE(server.last_client()->requestUrl().query(), QStringLiteral("stream=1"));
}

void TestWebsocketAdapter::refuses_other_urls_data()
{
    QTest::addColumn<QString>("url");

    QTest::newRow("http scheme") << "http://127.0.0.1:%1/ws";
    QTest::newRow("https scheme") << "https://127.0.0.1:%1/ws";
    QTest::newRow("empty host") << "ws://:%1/ws";
    QTest::newRow("no host at all") << "ws:/ws";
    QTest::newRow("host and port without scheme") << "127.0.0.1:%1";
    QTest::newRow("host name and port without scheme") << "localhost:%1";
    QTest::newRow("empty text") << "";
}

void TestWebsocketAdapter::refuses_other_urls()
{
    QFETCH(QString, url);

    WsServer server;
    QVERIFY(server.listen());
    WebsocketAdapter adapter;
    QVERIFY(open(adapter, server.url()));
    QSignalSpy errors(&adapter, &WebsocketAdapter::error_occurred);
    QSignalSpy disconnected(&adapter, &WebsocketAdapter::disconnected);

    adapter.connect(QUrl(url.contains(QLatin1String("%1")) ? url.arg(server.port()) : url));

    // Refused at once; the open connection is left alone.
    QCOMPARE(errors.size(), 1);
    QCOMPARE(errors.first().first().toString(), URL_ERROR);
    QVERIFY(adapter.is_connected());
    QVERIFY(adapter.write("still here") > 0);
    QTRY_COMPARE(server.messages(), QStringList{QStringLiteral("still here")});
    QCOMPARE(disconnected.size(), 0);
    QCOMPARE(server.client_count(), 1);
}

void TestWebsocketAdapter::sends_text_messages_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QString>("expected");

    QTest::newRow("plain ASCII") << QByteArray("{\"role\":\"sender\",\"type\":\"hello\"}")
                                 << QStringLiteral("{\"role\":\"sender\",\"type\":\"hello\"}");
    QTest::newRow("non-ASCII UTF-8") << QByteArray("Gr\xc3\xbc\xc3\x9f \xe2\x82\xac")
                                     << QStringLiteral(u"Grüß €");
    QTest::newRow("invalid UTF-8 becomes replacement characters")
        << QByteArray("a\xff" "b") << QStringLiteral(u"a\uFFFDb");
    QTest::newRow("empty message") << QByteArray() << QString();
}

void TestWebsocketAdapter::sends_text_messages()
{
    QFETCH(QByteArray, data);
    QFETCH(QString, expected);

    WsServer server;
    QVERIFY(server.listen());
    WebsocketAdapter adapter;
    QVERIFY(open(adapter, server.url()));
    QSignalSpy received(&server, &WsServer::text_received);

    QVERIFY(adapter.write(data) >= 0);
    QVERIFY(received.wait(10000));
    QCOMPARE(server.messages(), QStringList{expected});
}

void TestWebsocketAdapter::delivers_text_as_utf8()
{
    WsServer server;
    QVERIFY(server.listen());
    WebsocketAdapter adapter;
    QVERIFY(open(adapter, server.url()));
    QSignalSpy received(&adapter, &WebsocketAdapter::data_received);

    QTRY_VERIFY(server.send_text(QStringLiteral(u"Pose ✓ Ωmega")));
    QVERIFY(received.wait(10000));
    QCOMPARE(received.first().first().toByteArray(), QStringLiteral(u"Pose ✓ Ωmega").toUtf8());
}

void TestWebsocketAdapter::ignores_binary_messages()
{
    WsServer server;
    QVERIFY(server.listen());
    WebsocketAdapter adapter;
    QVERIFY(open(adapter, server.url()));
    QSignalSpy received(&adapter, &WebsocketAdapter::data_received);
    QTRY_VERIFY(server.last_client() != nullptr);

    // The text message sent after the binary one marks that both arrived.
    server.last_client()->sendBinaryMessage("binary");
    QVERIFY(server.send_text(QStringLiteral("text")));
    QVERIFY(received.wait(10000));
    QCOMPARE(received.size(), 1);
    QCOMPARE(received.first().first().toByteArray(), QByteArray("text"));
}

void TestWebsocketAdapter::write_without_connection_fails()
{
    WebsocketAdapter adapter;
    QSignalSpy errors(&adapter, &WebsocketAdapter::error_occurred);

    QCOMPARE(adapter.write("lost"), qint64(-1));
    QCOMPARE(errors.size(), 1);
    QCOMPARE(errors.first().first().toString(), QStringLiteral("WebSocket is not connected."));
    QVERIFY(!adapter.is_connected());
}

void TestWebsocketAdapter::reconnect_aborts_the_open_connection()
{
    WsServer server;
    QVERIFY(server.listen());
    WebsocketAdapter adapter;
    QVERIFY(open(adapter, server.url(QStringLiteral("/first"))));
    QTRY_COMPARE(server.client_count(), 1);

    QVERIFY(open(adapter, server.url(QStringLiteral("/second"))));
    QTRY_COMPARE(server.client_count(), 2);
    QCOMPARE(server.client(1)->requestUrl().path(), QStringLiteral("/second"));
    // The first connection went without a close handshake.
    QTRY_COMPARE(server.close_codes().size(), 1);
    QCOMPARE(server.close_codes().first(), int(QWebSocketProtocol::CloseCodeAbnormalDisconnection));
    QVERIFY(adapter.write("on the second") > 0);
    QTRY_COMPARE(server.messages(), QStringList{QStringLiteral("on the second")});
}

void TestWebsocketAdapter::disconnect_closes_normally()
{
    WsServer server;
    QVERIFY(server.listen());
    WebsocketAdapter adapter;
    QVERIFY(open(adapter, server.url()));
    QSignalSpy disconnected(&adapter, &WebsocketAdapter::disconnected);
    QSignalSpy errors(&adapter, &WebsocketAdapter::error_occurred);

    adapter.disconnect();
    QTRY_COMPARE(disconnected.size(), 1);
    QVERIFY(!adapter.is_connected());
    QTRY_COMPARE(server.close_codes(), QList<int>{int(QWebSocketProtocol::CloseCodeNormal)});
    QCOMPARE(errors.size(), 0);

    adapter.disconnect(); // nothing left to close
    QCOMPARE(disconnected.size(), 1);
}

void TestWebsocketAdapter::disconnect_during_handshake_aborts()
{
    // A TCP peer that takes the upgrade request and never answers it.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
    WebsocketAdapter adapter;
    QSignalSpy connected(&adapter, &WebsocketAdapter::connected);
    adapter.connect(QUrl(QStringLiteral("ws://127.0.0.1:%1/ws").arg(silent.serverPort())));
    QVERIFY(silent.waitForNewConnection(10000));
    QTcpSocket* peer = silent.nextPendingConnection();
    QByteArray request;
    QTRY_VERIFY_WITH_TIMEOUT((request += peer->readAll()).contains("\r\n\r\n"), 10000);

    adapter.disconnect();

    QTRY_COMPARE_WITH_TIMEOUT(peer->state(), QAbstractSocket::UnconnectedState, 10000);
    // No close frame follows the request: the socket was dropped.
    QCOMPARE(peer->readAll(), QByteArray());
    QVERIFY(!adapter.is_connected());
    QCOMPARE(connected.size(), 0);
}

void TestWebsocketAdapter::destruction_closes_normally()
{
    WsServer server;
    QVERIFY(server.listen());
    {
        WebsocketAdapter adapter;
        QVERIFY(open(adapter, server.url()));
        QTRY_COMPARE(server.client_count(), 1);
    }
    QTRY_COMPARE(server.close_codes(), QList<int>{int(QWebSocketProtocol::CloseCodeNormal)});
}

void TestWebsocketAdapter::refused_connection_is_reported()
{
    quint16 closed_port = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        closed_port = probe.serverPort();
    }
    WebsocketAdapter adapter;
    QSignalSpy errors(&adapter, &WebsocketAdapter::error_occurred);
    QSignalSpy connected(&adapter, &WebsocketAdapter::connected);

    adapter.connect(QUrl(QStringLiteral("ws://127.0.0.1:%1/ws").arg(closed_port)));
    QVERIFY(errors.wait(10000));
    QVERIFY(!errors.first().first().toString().isEmpty());
    QVERIFY(errors.first().first().toString() != URL_ERROR);
    QCOMPARE(connected.size(), 0);
    QVERIFY(!adapter.is_connected());
}

void TestWebsocketAdapter::server_going_away_is_reported()
{
    WsServer server;
    QVERIFY(server.listen());
    WebsocketAdapter adapter;
    QVERIFY(open(adapter, server.url()));
    QTRY_COMPARE(server.client_count(), 1);
    QSignalSpy disconnected(&adapter, &WebsocketAdapter::disconnected);

    server.close_clients();
    QVERIFY(disconnected.wait(10000));
    QVERIFY(!adapter.is_connected());
    QCOMPARE(adapter.write("after close"), qint64(-1));
}

QTEST_GUILESS_MAIN(TestWebsocketAdapter)
#include "tst_websocket_adapter.moc"
