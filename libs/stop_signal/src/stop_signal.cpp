#include <nmb/stop_signal.h>

#include <QCoreApplication>

#include <signal.h>

namespace nmb {

namespace {

volatile std::sig_atomic_t stop_requested = 0;

extern "C" void request_stop(int)
{
    stop_requested = 1;
}

} // namespace

void install_stop_handlers()
{
    struct sigaction action {};
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

bool stop_is_requested()
{
    return stop_requested != 0;
}

const volatile std::sig_atomic_t* stop_flag()
{
    return &stop_requested;
}

StopSignalPoll::StopSignalPoll()
{
    timer_.setInterval(INTERVAL);
    QObject::connect(&timer_, &QTimer::timeout, &timer_, [] {
        if (stop_is_requested())
            QCoreApplication::quit();
    });
}

void StopSignalPoll::start()
{
    install_stop_handlers();
    timer_.start();
}

void StopSignalPoll::stop()
{
    timer_.stop();
}

} // namespace nmb
