#pragma once

#include <nmb/test/watched_process.h>

#include <QStringList>

#include <memory>

namespace nmb::test {

// A running nimbra_skelora_bridge and the UDP port it listens on.
struct RunningBridge {
    std::unique_ptr<WatchedProcess> process;
    quint16 port = 0;
};

// Starts the bridge on a free UDP port with `arguments` (without --port) and
// waits for its listening line. Another process can take the port between
// the probe and the bridge's bind; that attempt is retried a few times.
// The process is null when the bridge never got to listen.
RunningBridge start_bridge(const QStringList& arguments);

// The sender item the bridge writes for a datagram from 127.0.0.1:port.
QByteArray loopback_sender(quint16 port);

} // namespace nmb::test
