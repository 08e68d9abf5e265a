#pragma once

#include "recorder_options.h"

#include <nmb/binary_adapter.h>
#include <nmb/udp_adapter.h>

#include <QHostAddress>
#include <QObject>
#include <QString>

namespace nmb::reeltake {

// One recording run: every datagram received on the bound endpoint goes,
// unchanged, into one new recording file. Counts what it received and
// reports the first error of either adapter.
class Recorder : public QObject {
    Q_OBJECT

public:
    explicit Recorder(QObject* parent = nullptr);

    // Binds address:port, asks for the receive buffer and starts the
    // recording in `directory`. On failure the reasons have been logged,
    // exit_code() is 1 and false is returned.
    bool start(const QHostAddress& address, quint16 port, const QString& directory);

    // Stops receiving, then flushes and closes the file. Safe to repeat.
    void stop();

    // The error handler of both adapters. Only the first error is logged and
    // acted on: it sets the exit code to 1 and, from the next turn of the
    // event loop, announces failed(1).
    void report_error(const QString& message);

    int exit_code() const { return exit_code_; }
    quint64 datagram_count() const { return datagram_count_; }
    quint64 byte_count() const { return byte_count_; }
    QString recording_file_name() const { return writer_.recording_file_name(); }
    quint16 local_port() const { return udp_.local_port(); }

    // "address:port" as the log lines show it.
    static QString endpoint_text(const QHostAddress& address, quint16 port);

Q_SIGNALS:
    // The run must end with `exit_code`; emitted once, outside any adapter
    // signal emission.
    void failed(int exit_code);

private:
    void record(const QByteArray& data);

    UdpAdapter udp_;
    BinaryAdapter writer_;
    int exit_code_ = 0;
    quint64 datagram_count_ = 0;
    quint64 byte_count_ = 0;
};

// The whole program after the command line: records until SIGINT or SIGTERM
// (status 0) or the first error (status 1), then prints the summary.
// Needs a QCoreApplication.
int run_recorder(const RecorderOptions& options);

} // namespace nmb::reeltake
