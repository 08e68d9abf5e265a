#pragma once

#include <QString>
#include <QStringList>

namespace nmb::test {

// A detached tmux session on a private server socket, for driving console
// programs as a user would. Every tmux call is bounded in time; the
// destructor kills the server and everything running in it.
class TmuxSession {
public:
    TmuxSession();
    ~TmuxSession();
    TmuxSession(const TmuxSession&) = delete;
    TmuxSession& operator=(const TmuxSession&) = delete;

    // Whether a tmux binary can be run at all.
    static bool available();

    // Runs `program` with `arguments` in a pane of columns x rows. When it
    // ends the pane prints "exit status: <n>" and "terminal: <flags>" (the
    // icanon and echo flags of the terminal), then idles.
    bool start(const QString& program, const QStringList& arguments, int columns = 100,
               int rows = 40);

    // The visible pane as plain text.
    QString screen() const;

    // Sends tmux key names ("Tab", "Down", "Enter", "Escape", "C-c").
    bool send_keys(const QStringList& keys);

    // Waits (bounded) until the pane shows `text`.
    bool wait_for(const QString& text, int timeout_ms = 10000) const;

    // The pane's terminal device and the process started in it.
    QString pane_tty() const;
    qint64 program_pid() const;

private:
    bool tmux(const QStringList& arguments, QString* output = nullptr) const;

    QString socket_;
};

} // namespace nmb::test
