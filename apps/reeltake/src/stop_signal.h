#pragma once

namespace nmb::reeltake {

// Installs request_stop as the SIGINT and SIGTERM handler. The handler only
// raises a process-wide flag; it stays installed until the process ends, so
// further signals during shutdown only raise the flag again.
void install_stop_handlers();

// Whether SIGINT or SIGTERM arrived since install_stop_handlers().
bool stop_is_requested();

} // namespace nmb::reeltake
