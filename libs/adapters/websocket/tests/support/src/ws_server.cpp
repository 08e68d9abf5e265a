#include <nmb/test/ws_server.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QSslConfiguration>
#include <QSslSocket>

namespace nmb::test {

WsServer::WsServer(QObject* parent)
    : QObject(parent)
    , plain_server_(QStringLiteral("nmb-test"), QWebSocketServer::NonSecureMode)
    , secure_server_(QStringLiteral("nmb-test"), QWebSocketServer::SecureMode)
{
    connect(&plain_server_, &QWebSocketServer::newConnection, this, &WsServer::accept_pending);
    connect(&secure_server_, &QWebSocketServer::newConnection, this, &WsServer::accept_pending);
}

WsServer::~WsServer()
{
    shut_down();
}

bool WsServer::listen(Security security, const QHostAddress& address)
{
    server_ = &plain_server_;
    if (security == Security::Tls) {
        if (!QSslSocket::supportsSsl()) {
            error_ = QStringLiteral("this Qt has no TLS backend");
            return false;
        }
        if (!certificate_dir_.isValid()) {
            error_ = QStringLiteral("no temporary directory for the certificate");
            return false;
        }
        const TlsCredentials credentials = make_self_signed_certificate(certificate_dir_.path());
        if (!credentials.ok) {
            error_ = credentials.error;
            return false;
        }
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.setLocalCertificate(credentials.certificate);
        configuration.setPrivateKey(credentials.key);
        configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
        secure_server_.setSslConfiguration(configuration);
        server_ = &secure_server_;
    }
    if (!server_->listen(address, 0)) {
        error_ = server_->errorString();
        return false;
    }
    return true;
}

QString WsServer::error() const
{
    return error_;
}

quint16 WsServer::port() const
{
    return server_ != nullptr ? server_->serverPort() : 0;
}

QUrl WsServer::url(const QString& path) const
{
    QUrl url;
    url.setScheme(server_ == &secure_server_ ? QStringLiteral("wss") : QStringLiteral("ws"));
    url.setHost(server_ != nullptr ? server_->serverAddress().toString() : QString());
    url.setPort(port());
    url.setPath(path);
    return url;
}

void WsServer::set_ready_reply(const QString& protocol)
{
    ready_protocol_ = protocol;
}

QStringList WsServer::messages() const
{
    return messages_;
}

void WsServer::clear_messages()
{
    messages_.clear();
}

int WsServer::client_count() const
{
    return static_cast<int>(clients_.size());
}

QWebSocket* WsServer::client(int index) const
{
    return index >= 0 && index < clients_.size() ? clients_.at(index).data() : nullptr;
}

QWebSocket* WsServer::last_client() const
{
    return clients_.isEmpty() ? nullptr : clients_.last().data();
}

QList<int> WsServer::close_codes() const
{
    return close_codes_;
}

bool WsServer::send_text(const QString& text)
{
    QWebSocket* socket = last_client();
    if (socket == nullptr || socket->state() != QAbstractSocket::ConnectedState)
        return false;
    return socket->sendTextMessage(text) >= 0;
}

void WsServer::close_clients()
{
    for (const QPointer<QWebSocket>& socket : std::as_const(clients_))
        if (socket != nullptr)
            socket->close(QWebSocketProtocol::CloseCodeNormal);
}

void WsServer::abort_clients()
{
    for (const QPointer<QWebSocket>& socket : std::as_const(clients_))
        if (socket != nullptr)
            socket->abort();
}

void WsServer::shut_down()
{
    plain_server_.close();
    secure_server_.close();
    for (const QPointer<QWebSocket>& socket : std::as_const(clients_)) {
        if (socket != nullptr) {
            socket->disconnect(this);
            socket->abort();
            socket->deleteLater();
        }
    }
}

void WsServer::accept_pending()
{
    while (server_->hasPendingConnections()) {
        QWebSocket* socket = server_->nextPendingConnection();
        socket->setParent(this);
        clients_.append(socket);
        connect(socket, &QWebSocket::textMessageReceived, this, [this, socket](const QString& text) {
            messages_.append(text);
            if (!ready_protocol_.isEmpty()) {
                const QJsonObject object = QJsonDocument::fromJson(text.toUtf8()).object();
                if (object.value(QLatin1String("type")).toString() == QLatin1String("hello")) {
                    const QJsonObject reply{{QStringLiteral("type"), QStringLiteral("server_ready")},
                                            {QStringLiteral("protocol"), ready_protocol_}};
                    socket->sendTextMessage(
                        QString::fromUtf8(QJsonDocument(reply).toJson(QJsonDocument::Compact)));
                }
            }
            Q_EMIT text_received(text);
        });
        // closeCode() reads 1000 also after a bare TCP drop; only a socket
        // that went through a closing handshake announces aboutToClose.
        connect(socket, &QWebSocket::aboutToClose, this,
                [socket] { socket->setProperty("nmb_closing_handshake", true); });
        connect(socket, &QWebSocket::disconnected, this, [this, socket] {
            close_codes_.append(socket->property("nmb_closing_handshake").toBool()
                                    ? static_cast<int>(socket->closeCode())
                                    : int(QWebSocketProtocol::CloseCodeAbnormalDisconnection));
            Q_EMIT client_disconnected();
        });
        Q_EMIT client_connected();
    }
}

} // namespace nmb::test
