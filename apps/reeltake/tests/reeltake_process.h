#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

// The real nimbra_reeltake, run on a free local port and watched through its
// standard error.
class ReeltakeProcess {
public:
    ReeltakeProcess() = default;
    ReeltakeProcess(const ReeltakeProcess&) = delete;
    ReeltakeProcess& operator=(const ReeltakeProcess&) = delete;
    ~ReeltakeProcess();

    // Starts the program in `working_directory` with --port <free port> and
    // `arguments`, and waits for its start line. A port taken between the
    // choice and the bind is retried with another one.
    bool start(const QString& working_directory, const QStringList& arguments);

    // Sends `signal` while the program runs; false once it has ended.
    bool send_signal(int signal);

    // Waits (bounded) for the end and collects the rest of standard error.
    bool wait_for_end(int timeout_ms = 10000);

    // Lines of standard error seen so far, without line ends.
    QStringList error_lines() const;

    QProcess process;
    quint16 port = 0;
    QString start_line;
    QString file_name; // from the start line
    QByteArray standard_error;

private:
    bool wait_for_start_line();
};

// A UDP port that was free on 127.0.0.1 a moment ago.
quint16 free_udp_port();
