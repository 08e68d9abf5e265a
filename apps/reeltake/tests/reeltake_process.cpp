#include "reeltake_process.h"

#include <nmb/test/programs.h>

#include <QDeadlineTimer>
#include <QUdpSocket>

#include <csignal>

namespace {

const QByteArray START_TEXT = "Recording UDP datagrams on ";

} // namespace

quint16 free_udp_port()
{
    QUdpSocket probe;
    return probe.bind(QHostAddress::LocalHost, 0) ? probe.localPort() : 0;
}

ReeltakeProcess::~ReeltakeProcess()
{
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(5000);
    }
}

bool ReeltakeProcess::start(const QString& working_directory, const QStringList& arguments)
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        port = free_udp_port();
        standard_error.clear();
        process.setWorkingDirectory(working_directory);
        process.start(nmb::test::program_path("nimbra_reeltake"),
                      QStringList{"--port", QString::number(port)} + arguments);
        if (!process.waitForStarted(10000))
            return false;
        if (wait_for_start_line()) {
            file_name = start_line.section(QStringLiteral(" to "), 1);
            return true;
        }
        wait_for_end();
        if (!standard_error.contains("Unable to bind UDP endpoint"))
            return false;
    }
    return false;
}

bool ReeltakeProcess::wait_for_start_line()
{
    // Other lines (the receive buffer grant) may come first.
    QDeadlineTimer deadline(10000);
    for (;;) {
        standard_error += process.readAllStandardError();
        const qsizetype begin = standard_error.indexOf(START_TEXT);
        const qsizetype end = begin < 0 ? -1 : standard_error.indexOf('\n', begin);
        if (end >= 0) {
            start_line = QString::fromUtf8(standard_error.mid(begin, end - begin));
            return true;
        }
        if (deadline.hasExpired() || process.state() == QProcess::NotRunning)
            return false;
        process.waitForReadyRead(int(qBound(qint64(1), deadline.remainingTime(), qint64(100))));
    }
}

bool ReeltakeProcess::send_signal(int signal)
{
    const qint64 pid = process.processId();
    if (process.state() != QProcess::Running || pid <= 0)
        return false;
    return ::kill(pid_t(pid), signal) == 0;
}

bool ReeltakeProcess::wait_for_end(int timeout_ms)
{
    const bool ended = process.state() == QProcess::NotRunning || process.waitForFinished(timeout_ms);
    standard_error += process.readAllStandardError();
    return ended;
}

QStringList ReeltakeProcess::error_lines() const
{
    QString text = QString::fromUtf8(standard_error);
    if (text.endsWith('\n'))
        text.chop(1);
    return text.split('\n');
}
