#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QSocketNotifier>

#include <memory>

namespace nmb::test {

// A loopback UDP receiver that keeps every datagram with the kernel's arrival
// time (SO_TIMESTAMPNS), so timing checks do not depend on how promptly the
// receiving process gets scheduled. Reads on the thread's event loop.
class UdpCapture : public QObject {
    Q_OBJECT

public:
    struct Datagram {
        QByteArray bytes;
        qint64 arrival_ns = 0; // kernel receive time, CLOCK_REALTIME
    };

    explicit UdpCapture(QObject* parent = nullptr);
    ~UdpCapture() override;

    // Binds `address` on a port the system picks, asking for an 8 MiB
    // receive buffer. Returns false when the socket cannot be set up.
    bool bind(const QHostAddress& address = QHostAddress(QHostAddress::LocalHost));

    quint16 port() const { return port_; }
    const QList<Datagram>& datagrams() const { return datagrams_; }
    qsizetype count() const { return datagrams_.size(); }

    // Bytes of every datagram received, in arrival order.
    QList<QByteArray> payloads() const;

    // Milliseconds between the arrivals of datagrams `from` and `to`.
    double span_ms(qsizetype from, qsizetype to) const;

Q_SIGNALS:
    void datagram_received();

private:
    void drain();

    int fd_ = -1;
    quint16 port_ = 0;
    std::unique_ptr<QSocketNotifier> notifier_;
    QList<Datagram> datagrams_;
};

} // namespace nmb::test
