#pragma once

#include <nmb/websocket_adapter_export.h>

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QUrl>
#include <QWebSocket>

namespace nmb {

// WebSocket client transport for text protocols. Outgoing byte arrays go out
// as text messages (decoded as UTF-8); incoming text messages come back as
// their UTF-8 bytes. Binary messages are neither sent nor delivered.
//
// Opening completes later: success is reported by connected(), failure by
// error_occurred() with the socket's own text. TLS certificate and handshake
// errors on wss are ignored, so self-signed services are reachable. The
// adapter never reconnects by itself. Once connected, messages go out without
// Nagle's delay. Lives on the thread that owns it.
class NMB_WEBSOCKET_ADAPTER_EXPORT WebsocketAdapter : public QObject {
    Q_OBJECT

public:
    explicit WebsocketAdapter(QObject* parent = nullptr);
    // Closes an open connection normally (code 1000) before the socket goes.
    ~WebsocketAdapter() override;

    // Nothing to prepare; always true. Kept for the common start-up sequence.
    bool initialize();

    // Starts opening `url` (scheme ws or wss in any case, non-empty host; path,
    // query and port pass through). A refused URL emits error_occurred and
    // leaves any current connection alone; an accepted one first aborts
    // whatever the socket is doing, without a close handshake.
    void connect(const QUrl& url);

    // Aborts an opening handshake in progress, or closes an open connection
    // with code 1000. Nothing happens when unconnected.
    void disconnect();

    // Sends `data` as one text message (invalid UTF-8 becomes U+FFFD). Returns
    // the bytes the socket accepted, or -1 with error_occurred when not
    // connected; nothing is queued for later.
    qint64 write(const QByteArray& data);

    // True exactly while the socket is in the connected state.
    bool is_connected() const;

Q_SIGNALS:
    void data_received(const QByteArray& data);
    void connected();
    void disconnected();
    void error_occurred(const QString& message);

private:
    void send_without_delay();

    QWebSocket socket_;
};

} // namespace nmb
