#pragma once

#include <nmb/test/tls_certificate.h>

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>
#include <QWebSocket>
#include <QWebSocketServer>

namespace nmb::test {

// A WebSocket server on a loopback port chosen by the system, plain (ws) or
// with TLS (wss, a throw-away self-signed certificate). It records every
// text message and every connection, and can answer the sender hello with
// server_ready on its own. Lives on the test's thread; all waiting is done by
// the test through the signals.
class WsServer : public QObject {
    Q_OBJECT

public:
    enum class Security { Plain, Tls };

    explicit WsServer(QObject* parent = nullptr);
    ~WsServer() override;

    // Listens on `address` (loopback) port 0. With Tls, first makes the
    // certificate; error() says why when this returns false.
    bool listen(Security security = Security::Plain,
                const QHostAddress& address = QHostAddress::LocalHost);
    QString error() const;

    quint16 port() const;
    // ws://127.0.0.1:<port>/ws (wss:// with TLS); IPv6 hosts in brackets.
    QUrl url(const QString& path = QStringLiteral("/ws")) const;

    // Answers every text message of type hello with
    // {"protocol":"<protocol>","type":"server_ready"}; empty turns it off.
    void set_ready_reply(const QString& protocol);

    // Text messages from all clients, in arrival order.
    QStringList messages() const;
    void clear_messages();

    // Clients accepted so far (closed ones included); null once deleted.
    int client_count() const;
    QWebSocket* client(int index) const;
    QWebSocket* last_client() const;

    // Close codes of the clients that went away, in order. A client that
    // vanished without a close frame shows 1006 (abnormal closure).
    QList<int> close_codes() const;

    // Sends `text` to the most recent client; false when there is none open.
    bool send_text(const QString& text);
    // Closes every client with code 1000, or drops them without a close frame.
    void close_clients();
    void abort_clients();
    // Stops listening and drops every client.
    void shut_down();

Q_SIGNALS:
    void client_connected();
    void client_disconnected();
    void text_received(const QString& message);

private:
    void accept_pending();

    QWebSocketServer plain_server_;
    QWebSocketServer secure_server_;
    QWebSocketServer* server_ = nullptr;
    QTemporaryDir certificate_dir_;
    QString error_;
    QString ready_protocol_;
    QList<QPointer<QWebSocket>> clients_;
    QStringList messages_;
    QList<int> close_codes_;
};

} // namespace nmb::test
