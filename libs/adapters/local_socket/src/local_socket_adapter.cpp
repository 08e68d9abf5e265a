#include <nmb/local_socket_adapter.h>

namespace nmb {

namespace {

constexpr int CONNECT_WAIT_MS = 3000;

} // namespace

LocalSocketAdapter::LocalSocketAdapter(QObject* parent)
    : QObject(parent)
{
    QObject::connect(&socket_, &QLocalSocket::connected, this, &LocalSocketAdapter::connected);
    QObject::connect(&socket_, &QLocalSocket::disconnected, this, &LocalSocketAdapter::disconnected);
    QObject::connect(&socket_, &QIODevice::readyRead, this,
                     [this] { Q_EMIT data_received(socket_.readAll()); });
    QObject::connect(&socket_, &QLocalSocket::errorOccurred, this,
                     [this](QLocalSocket::LocalSocketError) { Q_EMIT error_occurred(socket_.errorString()); });
}

LocalSocketAdapter::~LocalSocketAdapter()
{
    disconnect();
}

bool LocalSocketAdapter::initialize()
{
    return true;
}

bool LocalSocketAdapter::connect(const QString& name)
{
    // A new target replaces the old one outright: whatever is still queued
    // for the old peer is dropped, not flushed.
    if (socket_.state() != QLocalSocket::UnconnectedState)
        socket_.abort();
    server_name_ = name;
    socket_.connectToServer(name, QIODevice::ReadWrite);
    return socket_.waitForConnected(CONNECT_WAIT_MS);
}

void LocalSocketAdapter::disconnect()
{
    if (socket_.state() == QLocalSocket::UnconnectedState)
        return;
    socket_.disconnectFromServer();
    // Still closing when bytes wait to be written; close() ends it now.
    if (socket_.state() != QLocalSocket::UnconnectedState)
        socket_.close();
}

qint64 LocalSocketAdapter::write(const QByteArray& data)
{
    // The socket itself would refuse too, with a console warning per call.
    if (socket_.state() == QLocalSocket::UnconnectedState)
        return -1;
    const qint64 accepted = socket_.write(data);
    if (accepted > 0)
        socket_.flush();
    return accepted;
}

bool LocalSocketAdapter::is_connected() const
{
    return socket_.state() == QLocalSocket::ConnectedState;
}

QString LocalSocketAdapter::server_name() const
{
    return server_name_;
}

} // namespace nmb
