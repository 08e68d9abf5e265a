#include <nmb/udp_adapter.h>

#include <QNetworkDatagram>

#include <sys/socket.h>

namespace nmb {

UdpAdapter::UdpAdapter(QObject* parent)
    : QObject(parent)
{
    // QHostAddress travels in a signal argument, also over queued connections.
    qRegisterMetaType<QHostAddress>();
    QObject::connect(&socket_, &QIODevice::readyRead, this, &UdpAdapter::read_pending_datagrams);
    QObject::connect(&socket_, &QAbstractSocket::errorOccurred, this,
                     [this] { Q_EMIT error_occurred(socket_.errorString()); });
}

UdpAdapter::~UdpAdapter()
{
    disconnect();
}

bool UdpAdapter::initialize()
{
    return true;
}

bool UdpAdapter::connect(const QHostAddress& address, quint16 port)
{
    if (socket_.state() != QAbstractSocket::UnconnectedState)
        socket_.close();
    return socket_.bind(address, port);
}

void UdpAdapter::disconnect()
{
    socket_.close();
}

qint64 UdpAdapter::write(const QByteArray& data, const QHostAddress& address, quint16 port)
{
    return socket_.writeDatagram(data.constData(), data.size(), address, port);
}

bool UdpAdapter::is_connected() const
{
    return socket_.state() == QAbstractSocket::BoundState;
}

QHostAddress UdpAdapter::local_address() const
{
    return socket_.localAddress();
}

quint16 UdpAdapter::local_port() const
{
    return socket_.localPort();
}

int UdpAdapter::request_receive_buffer_size(int bytes)
{
    const auto fd = static_cast<int>(socket_.socketDescriptor());
    if (!is_connected() || fd < 0)
        return -1;
    // SO_RCVBUFFORCE passes the system-wide cap when the process may do so;
    // otherwise the plain request is capped by net.core.rmem_max.
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    int granted = 0;
    socklen_t size = sizeof granted;
    if (::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &size) != 0)
        return -1;
    // Linux reports twice the usable size (half is its own bookkeeping).
    return granted / 2;
}

void UdpAdapter::read_pending_datagrams()
{
    // A listener may close the socket from inside data_received; stop there
    // instead of asking a closed socket for more.
    while (is_connected() && socket_.hasPendingDatagrams()) {
        const QNetworkDatagram datagram = socket_.receiveDatagram(-1);
        Q_EMIT data_received(datagram.data(), datagram.senderAddress(),
                             static_cast<quint16>(datagram.senderPort()));
    }
}

} // namespace nmb
