#pragma once

#include "bridge_options.h"
#include "pending_frames.h"
#include "sender_table.h"

#include <nmb/protocol/mocap_frame.h>
#include <nmb/stop_signal.h>
#include <nmb/udp_adapter.h>

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <string>

namespace nmb {

class Skelora;

// The forwarding loop of nimbra_skelora_bridge: decodes the Mocap frames
// arriving on a UDP port, one decoder per sender, logs every decoded and
// every rejected frame, and hands each decoded frame to the Skelora client
// under one skeleton ID. Frames decoded before the service is ready collapse
// into one pending frame, sent when it becomes ready; with reconnection on,
// into one pending frame per sender, sent each time the service is ready
// again. Runtime errors are logged as warnings and never stop the loop. Main
// thread only.
class Bridge : public QObject {
    Q_OBJECT

public:
    // How often senders are checked for silence.
    static constexpr std::chrono::milliseconds IDLE_CHECK_INTERVAL{5000};

    // Creates the UDP adapter and connects it and the client (the process's
    // Skelora singleton) to the bridge's handlers. Starts nothing.
    explicit Bridge(const BridgeOptions& options, SenderLimits limits = {}, QObject* parent = nullptr);
    ~Bridge() override;

    // Binds 0.0.0.0:port, starts the client, installs the SIGINT/SIGTERM
    // handler and the stop poll, and logs the listening line. Returns false
    // (after logging why) when the port cannot be bound; the client is then
    // never started.
    bool start();

    // Stops the timers, closes the UDP port and the client and logs the
    // summary line. Call once the event loop has returned.
    void finish();

private:
    void handle_datagram(const QByteArray& data, const QHostAddress& address, quint16 port);
    void handle_frame(const protocol::MocapFrame& frame, const SenderTable::Key& key, const QString& sender);
    void handle_ready();
    void handle_connection_lost(const QString& reason, int retry_ms);
    void drop_idle_senders();
    // Lets go of the held frames of senders no longer in the sender table.
    void forget_dropped_senders();
    std::chrono::milliseconds now() const;

    UdpAdapter udp_;
    Skelora* client_;
    BridgeOptions options_;
    std::string skeleton;
    SenderTable decoders;
    PendingFrames pending_frames;
    quint64 decoded_ = 0;
    quint64 forwarded_ = 0;
    quint64 rejected_ = 0;
    quint64 readies_ = 0;
    QElapsedTimer clock_;
    StopSignalPoll stop_poll_;
    QTimer idle_check_;
};

} // namespace nmb
