#pragma once

#include <nmb/local_socket_adapter_export.h>

#include <QByteArray>
#include <QLocalSocket>
#include <QObject>
#include <QString>

namespace nmb {

// Client transport over a local stream socket (a server name on this
// machine). Bytes pass through unchanged both ways; there is no framing, so
// one data_received chunk is whatever the socket had buffered, possibly
// several of the peer's writes or part of one.
//
// connect() blocks the calling thread (and its event loop) for up to
// 3000 ms. Socket errors go out through error_occurred with the socket's own
// text. The adapter never reconnects by itself. Lives on the thread that
// owns it.
class NMB_LOCAL_SOCKET_ADAPTER_EXPORT LocalSocketAdapter : public QObject {
    Q_OBJECT

public:
    explicit LocalSocketAdapter(QObject* parent = nullptr);
    // Disconnects before the socket goes.
    ~LocalSocketAdapter() override;

    // Nothing to prepare; always true. Kept for the common start-up sequence.
    bool initialize();

    // Drops any current connection at once (no flush, no graceful close),
    // remembers `name` and connects to it, waiting up to 3000 ms. Returns
    // whether the connection stands; a failure also reaches error_occurred.
    bool connect(const QString& name);

    // Closes the connection, flushing what is buffered when the socket can;
    // nothing happens when unconnected.
    void disconnect();

    // Writes `data` and flushes at once when any byte was accepted. Returns
    // the bytes accepted (0 for an empty array) or -1, for example when
    // unconnected; nothing is emitted on failure.
    qint64 write(const QByteArray& data);

    // True exactly while the socket is in the connected state.
    bool is_connected() const;

    // The name last passed to connect(), whether or not it succeeded; empty
    // before the first connect().
    QString server_name() const;

Q_SIGNALS:
    void connected();
    void disconnected();
    void data_received(const QByteArray& data);
    void error_occurred(const QString& message);

private:
    QLocalSocket socket_;
    QString server_name_;
};

} // namespace nmb
