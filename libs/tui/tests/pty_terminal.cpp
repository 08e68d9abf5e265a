#include "pty_terminal.h"

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace nmb::test {

PtyTerminal::PtyTerminal(int columns, int rows)
{
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        if (master >= 0) {
            ::close(master);
        }
        return;
    }
    const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
    if (slave < 0) {
        ::close(master);
        return;
    }
    winsize size{};
    size.ws_col = static_cast<unsigned short>(columns);
    size.ws_row = static_cast<unsigned short>(rows);
    ::ioctl(slave, TIOCSWINSZ, &size);

    std::fflush(stdout);
    saved_stdin_ = ::dup(STDIN_FILENO);
    saved_stdout_ = ::dup(STDOUT_FILENO);
    ::dup2(slave, STDIN_FILENO);
    ::dup2(slave, STDOUT_FILENO);
    ::close(slave);
    master_ = master;
    reader_ = std::thread(&PtyTerminal::read_output, this);
}

PtyTerminal::~PtyTerminal()
{
    restore();
    finished_ = true;
    if (reader_.joinable()) {
        reader_.join();
    }
    if (master_ >= 0) {
        ::close(master_);
    }
}

void PtyTerminal::restore()
{
    if (saved_stdin_ < 0) {
        return;
    }
    std::fflush(stdout);
    ::dup2(saved_stdin_, STDIN_FILENO);
    ::dup2(saved_stdout_, STDOUT_FILENO);
    ::close(saved_stdin_);
    ::close(saved_stdout_);
    saved_stdin_ = -1;
    saved_stdout_ = -1;
}

bool PtyTerminal::type(const std::string& keys)
{
    return master_ >= 0
        && ::write(master_, keys.data(), keys.size()) == static_cast<ssize_t>(keys.size());
}

bool PtyTerminal::received(const std::string& text, std::size_t from) const
{
    std::lock_guard lock(output_mutex_);
    return output_.find(text, from) != std::string::npos;
}

std::size_t PtyTerminal::received_size() const
{
    std::lock_guard lock(output_mutex_);
    return output_.size();
}

void PtyTerminal::read_output()
{
    // Polls in short slices so the destructor can end it even while some
    // descriptor of the terminal's other side is still open.
    char buffer[4096];
    while (!finished_) {
        pollfd ready{master_, POLLIN, 0};
        if (::poll(&ready, 1, 20) <= 0) {
            continue;
        }
        const ssize_t count = ::read(master_, buffer, sizeof buffer);
        if (count > 0) {
            std::lock_guard lock(output_mutex_);
            output_.append(buffer, count);
        } else if (count < 0 && errno == EINTR) {
            continue;
        } else {
            return;
        }
    }
}

} // namespace nmb::test
