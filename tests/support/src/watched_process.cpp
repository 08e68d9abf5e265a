#include <nmb/test/watched_process.h>

#include <nmb/test/programs.h>

#include <QFileInfo>
#include <QTest>

#include <signal.h>

namespace nmb::test {

WatchedProcess::WatchedProcess(QObject* parent)
    : QObject(parent)
{
    QObject::connect(&process_, &QProcess::readyReadStandardOutput, this,
                     [this] { output_ += process_.readAllStandardOutput(); });
    QObject::connect(&process_, &QProcess::readyReadStandardError, this,
                     [this] { error_ += process_.readAllStandardError(); });
}

WatchedProcess::~WatchedProcess()
{
    if (process_.state() != QProcess::NotRunning) {
        process_.kill();
        process_.waitForFinished(3000);
    }
}

bool WatchedProcess::start(const QString& name, const QStringList& arguments)
{
    process_.start(QFileInfo(name).isAbsolute() ? name : program_path(name), arguments);
    return process_.waitForStarted(10000);
}

QByteArray WatchedProcess::standard_output() const
{
    return output_;
}

QByteArray WatchedProcess::standard_error() const
{
    return error_;
}

bool WatchedProcess::wait_for(const QByteArray& collected, const QByteArray& text, int count, int timeout_ms)
{
    const auto found = [&] { return collected.count(text) >= count; };
    (void)QTest::qWaitFor([&] { return found() || process_.state() == QProcess::NotRunning; }, timeout_ms);
    if (!found() && process_.state() == QProcess::NotRunning) {
        // Whatever was still in the pipes when the program ended.
        output_ += process_.readAllStandardOutput();
        error_ += process_.readAllStandardError();
    }
    return found();
}

bool WatchedProcess::wait_for_error(const QByteArray& text, int count, int timeout_ms)
{
    return wait_for(error_, text, count, timeout_ms);
}

bool WatchedProcess::wait_for_output(const QByteArray& text, int count, int timeout_ms)
{
    return wait_for(output_, text, count, timeout_ms);
}

bool WatchedProcess::send_signal(int signal_number)
{
    if (process_.state() != QProcess::Running)
        return false;
    return ::kill(pid_t(process_.processId()), signal_number) == 0;
}

void WatchedProcess::write(const QByteArray& data)
{
    process_.write(data);
}

bool WatchedProcess::wait_for_finished(int timeout_ms)
{
    (void)QTest::qWaitFor([this] { return process_.state() == QProcess::NotRunning; }, timeout_ms);
    if (process_.state() != QProcess::NotRunning)
        return false;
    output_ += process_.readAllStandardOutput();
    error_ += process_.readAllStandardError();
    return true;
}

} // namespace nmb::test
