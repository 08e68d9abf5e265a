#include <nmb/test/udp_capture.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

namespace nmb::test {

UdpCapture::UdpCapture(QObject* parent)
    : QObject(parent)
{
}

UdpCapture::~UdpCapture()
{
    notifier_.reset();
    if (fd_ >= 0)
        ::close(fd_);
}

bool UdpCapture::bind(const QHostAddress& address)
{
    const bool v6 = address.protocol() == QAbstractSocket::IPv6Protocol;
    fd_ = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        return false;
    const int on = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    const int buffer = 8 * 1024 * 1024;
    if (::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer) != 0)
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);

    sockaddr_storage storage{};
    socklen_t length = 0;
    if (v6) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
        in6->sin6_family = AF_INET6;
        const Q_IPV6ADDR raw = address.toIPv6Address();
        std::memcpy(&in6->sin6_addr, &raw, sizeof raw);
        length = sizeof *in6;
    } else {
        auto* in4 = reinterpret_cast<sockaddr_in*>(&storage);
        in4->sin_family = AF_INET;
        in4->sin_addr.s_addr = htonl(address.toIPv4Address());
        length = sizeof *in4;
    }
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&storage), length) != 0)
        return false;
    length = sizeof storage;
    if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&storage), &length) != 0)
        return false;
    port_ = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                     : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);

    notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &UdpCapture::drain);
    return true;
}

void UdpCapture::drain()
{
    QByteArray buffer(65536, Qt::Uninitialized);
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    bool any = false;
    for (int guard = 0; guard < 100000; ++guard) {
        iovec io{buffer.data(), size_t(buffer.size())};
        msghdr message{};
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t received = ::recvmsg(fd_, &message, 0);
        if (received < 0)
            break;
        Datagram datagram;
        datagram.bytes = buffer.left(received);
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                timespec stamp{};
                std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
                datagram.arrival_ns = qint64(stamp.tv_sec) * 1'000'000'000 + stamp.tv_nsec;
            }
        }
        datagrams_.append(std::move(datagram));
        any = true;
    }
    if (any)
        Q_EMIT datagram_received();
}

QList<QByteArray> UdpCapture::payloads() const
{
    QList<QByteArray> list;
    list.reserve(datagrams_.size());
    for (const Datagram& datagram : datagrams_)
        list.append(datagram.bytes);
    return list;
}

double UdpCapture::span_ms(qsizetype from, qsizetype to) const
{
    return double(datagrams_.at(to).arrival_ns - datagrams_.at(from).arrival_ns) / 1e6;
}

} // namespace nmb::test
