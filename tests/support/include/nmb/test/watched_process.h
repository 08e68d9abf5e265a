#pragma once

#include <QByteArray>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>

namespace nmb::test {

// A program of this tree run through QProcess whose output is collected by
// the event loop, so a test can wait for text while its own sockets and
// servers keep being served. Every wait is bounded. The process is killed
// when the object goes away.
class WatchedProcess : public QObject {
public:
    explicit WatchedProcess(QObject* parent = nullptr);
    ~WatchedProcess() override;

    // Starts `name` (a program of the build's bin/, or an absolute path) and
    // waits until it runs. Returns whether it started.
    bool start(const QString& name, const QStringList& arguments);

    // Output so far (everything read from the pipes).
    QByteArray standard_output() const;
    QByteArray standard_error() const;

    // Waits, serving the event loop, until the collected output contains
    // `text` (at least `count` times). False when the time is up or the
    // program ended without writing it.
    bool wait_for_error(const QByteArray& text, int count = 1, int timeout_ms = 10000);
    bool wait_for_output(const QByteArray& text, int count = 1, int timeout_ms = 10000);

    // Sends a POSIX signal; false when the program is not running.
    bool send_signal(int signal_number);

    // Writes to the program's standard input.
    void write(const QByteArray& data);

    // Waits, serving the event loop, for the program to end.
    bool wait_for_finished(int timeout_ms = 10000);

    QProcess& process() { return process_; }

private:
    bool wait_for(const QByteArray& collected, const QByteArray& text, int count, int timeout_ms);

    QProcess process_;
    QByteArray output_;
    QByteArray error_;
};

} // namespace nmb::test
