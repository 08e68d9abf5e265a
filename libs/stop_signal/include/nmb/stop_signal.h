#pragma once

#include <QTimer>

#include <chrono>
#include <csignal>

namespace nmb {

// Installs the SIGINT and SIGTERM handler. The handler only raises one
// process-wide flag; it stays installed until the process ends, so further
// signals during shutdown only raise the flag again. System calls it
// interrupts are restarted where the system restarts them at all (sleeps
// and waits still end early, so a loop that sleeps notices the flag soon).
void install_stop_handlers();

// Whether SIGINT or SIGTERM arrived since install_stop_handlers().
bool stop_is_requested();

// The flag itself, for loops that run outside an event loop and check it
// between steps; non-zero once a stop was requested.
const volatile std::sig_atomic_t* stop_flag();

// The event-loop side of the flag: start() installs the handlers and polls
// the flag every INTERVAL on the calling thread, quitting the application's
// event loop once it is raised. stop() ends the polling. Needs a
// QCoreApplication.
class StopSignalPoll {
public:
    static constexpr std::chrono::milliseconds INTERVAL{100};

    StopSignalPoll();

    void start();
    void stop();

private:
    QTimer timer_;
};

} // namespace nmb
