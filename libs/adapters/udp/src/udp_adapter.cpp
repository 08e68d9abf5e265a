#include <nmb/udp_adapter.h>

#include <QNetworkDatagram>

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace nmb {

// Buffers for one recvmmsg call: room for the largest datagram in each slot
// (the pages a slot never fills are never touched, so they cost no memory).
struct UdpAdapter::Batch {
    static constexpr int SLOTS = 64;
    static constexpr std::size_t SLOT_BYTES = 65536;

    // Left uninitialised: zero-filling would touch every page.
    Batch()
        : bytes(new char[SLOTS * SLOT_BYTES])
    {
    }

    std::unique_ptr<char[]> bytes;
    std::array<iovec, SLOTS> vectors{};
    std::array<sockaddr_storage, SLOTS> senders{};
    std::array<mmsghdr, SLOTS> messages{};
    // The sender of the previous datagram and its address object: a stream
    // comes from few senders, so most datagrams reuse it.
    sockaddr_storage last_sender{};
    socklen_t last_sender_size = 0;
    QHostAddress last_address;
};

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
    queue_.clear();
    if (socket_.state() != QAbstractSocket::UnconnectedState)
        socket_.close();
    return socket_.bind(address, port);
}

void UdpAdapter::disconnect()
{
    queue_.clear();
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
    // A listener that runs a nested event loop brings us back here; the
    // outer call goes on reading, in order.
    if (delivering_)
        return;
    delivering_ = true;
    while (!queue_.isEmpty() || refill()) {
        const Received next = queue_.takeFirst();
        Q_EMIT data_received(next.data, next.address, next.port);
    }
    delivering_ = false;
}

bool UdpAdapter::refill()
{
    // Each refill starts with one datagram through the socket's own read,
    // which re-arms its read notification (a notification taken while a
    // listener ran a nested event loop leaves it disarmed otherwise); the
    // rest of a burst comes straight from the descriptor in batches, a share
    // of one system call each instead of three.
    if (!is_connected() || !socket_.hasPendingDatagrams())
        return false;
    const QNetworkDatagram datagram = socket_.receiveDatagram(-1);
    queue_.append({datagram.data(), datagram.senderAddress(), static_cast<quint16>(datagram.senderPort())});
    read_batch();
    return true;
}

void UdpAdapter::read_batch()
{
    const auto fd = static_cast<int>(socket_.socketDescriptor());
    if (!is_connected() || fd < 0)
        return;
    if (!batch_)
        batch_ = std::make_unique<Batch>();
    Batch& b = *batch_;
    for (int i = 0; i < Batch::SLOTS; ++i) {
        b.vectors[i] = {b.bytes.get() + i * Batch::SLOT_BYTES, Batch::SLOT_BYTES};
        b.messages[i] = {};
        b.messages[i].msg_hdr.msg_iov = &b.vectors[i];
        b.messages[i].msg_hdr.msg_iovlen = 1;
        b.messages[i].msg_hdr.msg_name = &b.senders[i];
        b.messages[i].msg_hdr.msg_namelen = sizeof(sockaddr_storage);
    }
    // Nothing left or an error: the socket's own read reports errors on
    // the next refill.
    const int count = ::recvmmsg(fd, b.messages.data(), Batch::SLOTS, MSG_DONTWAIT, nullptr);
    for (int i = 0; i < count; ++i) {
        const auto* sender = reinterpret_cast<const sockaddr*>(&b.senders[i]);
        const socklen_t sender_size = b.messages[i].msg_hdr.msg_namelen;
        quint16 port = 0;
        if (sender->sa_family == AF_INET)
            port = ntohs(reinterpret_cast<const sockaddr_in*>(sender)->sin_port);
        else if (sender->sa_family == AF_INET6)
            port = ntohs(reinterpret_cast<const sockaddr_in6*>(sender)->sin6_port);
        if (sender_size != b.last_sender_size || std::memcmp(sender, &b.last_sender, sender_size) != 0) {
            std::memcpy(&b.last_sender, sender, std::min<std::size_t>(sender_size, sizeof b.last_sender));
            b.last_sender_size = sender_size;
            b.last_address = QHostAddress(sender);
        }
        queue_.append({QByteArray(b.bytes.get() + i * Batch::SLOT_BYTES, qsizetype(b.messages[i].msg_len)),
                       b.last_address, port});
    }
}

} // namespace nmb
