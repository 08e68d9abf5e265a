#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>

namespace nmb::test {

// Puts a fresh pseudo-terminal in place of this process's standard input
// and output, so the console can run inside a test; the terminal's output
// is collected by a reader thread. The destructor puts the original
// descriptors back. Stop the console before destroying this.
class PtyTerminal {
public:
    PtyTerminal(int columns = 100, int rows = 40);
    ~PtyTerminal();
    PtyTerminal(const PtyTerminal&) = delete;
    PtyTerminal& operator=(const PtyTerminal&) = delete;

    // Whether the terminal could be opened and installed.
    bool is_open() const { return master_ >= 0; }

    // Types `keys` into the terminal.
    bool type(const std::string& keys);

    // Whether the terminal received `text` at or after byte `from`.
    bool received(const std::string& text, std::size_t from = 0) const;

    // Bytes the terminal received so far.
    std::size_t received_size() const;

    // Puts the original descriptors back early (the destructor does it too).
    void restore();

private:
    void read_output();

    int master_ = -1;
    int saved_stdin_ = -1;
    int saved_stdout_ = -1;
    std::atomic<bool> finished_{false};
    std::thread reader_;
    mutable std::mutex output_mutex_;
    std::string output_; // plain std::string: shared with the reader thread
};

} // namespace nmb::test
