#pragma once

#include <nmb/udp_adapter_export.h>

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QUdpSocket>

#include <QList>

#include <memory>
#include <optional>

namespace nmb {

// A UDP port typed on a command line: a decimal number in 1-65535, or
// nothing.
inline std::optional<quint16> parse_udp_port(const QString& text)
{
    bool ok = false;
    const uint port = text.toUInt(&ok, 10);
    if (!ok || port < 1 || port > 65535)
        return std::nullopt;
    return quint16(port);
}

// The receive buffer the receiving programs ask for: room for about 3,800
// Mocap datagrams (the kernel counts its own overhead per datagram), so a
// stall of the event loop does not drop them.
inline constexpr int RECEIVE_BUFFER_REQUEST_BYTES = 8 * 1024 * 1024;

// The line a receiving program logs when the kernel granted less than it
// asked for; empty when the grant is enough or the request failed (-1).
inline QString receive_buffer_shortfall(int requested, int granted)
{
    if (granted < 0 || granted >= requested)
        return {};
    return QStringLiteral("UDP receive buffer: granted %1 of %2 requested bytes").arg(granted).arg(requested);
}

// Datagram transport: binds a local endpoint and emits every datagram it
// receives, whole and in arrival order; sends each write as one datagram.
// Failures come back as return values; the socket's reason goes out through
// error_occurred. Lives on the thread that runs its event loop.
class NMB_UDP_ADAPTER_EXPORT UdpAdapter : public QObject {
    Q_OBJECT

public:
    explicit UdpAdapter(QObject* parent = nullptr);
    ~UdpAdapter() override;

    // Nothing to prepare for UDP; always true. Kept so every adapter starts
    // the same way: construct, connect signals, initialize(), connect().
    bool initialize();

    // Binds to address:port (port 0: the system picks one, see local_port()).
    // Rebinds cleanly when already bound. Returns whether the bind succeeded.
    bool connect(const QHostAddress& address, quint16 port);

    // Closes the socket; safe at any time.
    void disconnect();

    // Sends `data` as exactly one datagram; returns the bytes sent or -1.
    // Works without connect(): the system then picks the local port.
    qint64 write(const QByteArray& data, const QHostAddress& address, quint16 port);

    bool is_connected() const;
    QHostAddress local_address() const;
    quint16 local_port() const;

    // Asks the kernel for a receive buffer of `bytes` on the bound socket, so
    // that bursts arriving while the event loop is busy are not dropped.
    // Returns the size the kernel granted, in bytes (what the kernel reports,
    // halved for its bookkeeping share on Linux), or -1 when the socket is
    // not bound. Callers log a grant below their request.
    int request_receive_buffer_size(int bytes);

    // readyRead handler: drains the socket. Not meant to be called by users.
    void read_pending_datagrams();

Q_SIGNALS:
    void data_received(const QByteArray& data, const QHostAddress& address, quint16 port);
    void error_occurred(const QString& message);

private:
    struct Received {
        QByteArray data;
        QHostAddress address;
        quint16 port = 0;
    };
    struct Batch;

    bool refill();
    void read_batch();

    QUdpSocket socket_;
    std::unique_ptr<Batch> batch_; // receive buffers, made on the first burst
    QList<Received> queue_;        // read, not yet delivered; emptied by connect() and disconnect()
    bool delivering_ = false;
};

} // namespace nmb
