#include <nmb/websocket_adapter.h>

#include <QAbstractSocket>
#include <QSslError>

namespace nmb {

namespace {

const QString URL_ERROR = QStringLiteral("WebSocket URL must use ws or wss and include a host.");
const QString NOT_CONNECTED_ERROR = QStringLiteral("WebSocket is not connected.");

bool is_websocket_url(const QUrl& url)
{
    const QString scheme = url.scheme().toLower();
    return url.isValid() && !url.host(QUrl::FullyDecoded).isEmpty()
        && (scheme == QLatin1String("ws") || scheme == QLatin1String("wss"));
}

} // namespace

WebsocketAdapter::WebsocketAdapter(QObject* parent)
    : QObject(parent)
    , socket_(QString(), QWebSocketProtocol::Version13)
{
    QObject::connect(&socket_, &QWebSocket::connected, this, [this] {
        send_without_delay();
        Q_EMIT connected();
    });
    QObject::connect(&socket_, &QWebSocket::disconnected, this, &WebsocketAdapter::disconnected);
    QObject::connect(&socket_, &QWebSocket::textMessageReceived, this,
                     [this](const QString& message) { Q_EMIT data_received(message.toUtf8()); });
    // Services often run with self-signed certificates; the connection goes on
    // whatever the TLS layer complains about.
    QObject::connect(&socket_, &QWebSocket::sslErrors, this,
                     [this](const QList<QSslError>&) { socket_.ignoreSslErrors(); });
    QObject::connect(&socket_, qOverload<QAbstractSocket::SocketError>(&QWebSocket::error), this,
                     [this](QAbstractSocket::SocketError) { Q_EMIT error_occurred(socket_.errorString()); });
}

WebsocketAdapter::~WebsocketAdapter()
{
    disconnect();
}

bool WebsocketAdapter::initialize()
{
    return true;
}

void WebsocketAdapter::connect(const QUrl& url)
{
    if (!is_websocket_url(url)) {
        Q_EMIT error_occurred(URL_ERROR);
        return;
    }
    if (socket_.state() != QAbstractSocket::UnconnectedState)
        socket_.abort();
    socket_.open(url);
}

void WebsocketAdapter::disconnect()
{
    const QAbstractSocket::SocketState state = socket_.state();
    // A close frame cannot be sent before the opening handshake is done.
    if (state == QAbstractSocket::ConnectingState || state == QAbstractSocket::HostLookupState)
        socket_.abort();
    else if (state != QAbstractSocket::UnconnectedState)
        socket_.close(QWebSocketProtocol::CloseCodeNormal, QString());
}

qint64 WebsocketAdapter::write(const QByteArray& data)
{
    if (!is_connected()) {
        Q_EMIT error_occurred(NOT_CONNECTED_ERROR);
        return -1;
    }
    return socket_.sendTextMessage(QString::fromUtf8(data));
}

void WebsocketAdapter::send_without_delay()
{
    // Messages are written whole, one per call: holding a short one back
    // until the previous one is acknowledged (Nagle's algorithm) only adds
    // latency. The WebSocket keeps its TCP socket as a child.
    const auto transports = socket_.findChildren<QAbstractSocket*>();
    for (QAbstractSocket* transport : transports)
        transport->setSocketOption(QAbstractSocket::LowDelayOption, 1);
}

bool WebsocketAdapter::is_connected() const
{
    return socket_.state() == QAbstractSocket::ConnectedState;
}

} // namespace nmb
