#include "stop_signal.h"

#include <csignal>

namespace nmb::reeltake {

namespace {

volatile std::sig_atomic_t stop_requested = 0;

extern "C" void request_stop(int)
{
    stop_requested = 1;
}

} // namespace

void install_stop_handlers()
{
    std::signal(SIGINT, request_stop);
    std::signal(SIGTERM, request_stop);
}

bool stop_is_requested()
{
    return stop_requested != 0;
}

} // namespace nmb::reeltake
