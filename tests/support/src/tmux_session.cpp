#include <nmb/test/tmux_session.h>

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

#include <atomic>

namespace nmb::test {

namespace {

constexpr int TMUX_CALL_TIMEOUT_MS = 5000;

// Runs the program, then reports how it ended and whether the terminal
// is back in line mode with echo. The INT trap keeps this shell alive on
// Ctrl-C; trapped (not ignored) signals are reset for the child.
const char* const PANE_SCRIPT = R"sh(trap true INT
"$@"
status=$?
echo "exit status: $status"
echo "terminal: $(stty -a | tr ' ;' '\n\n' | grep -x -e icanon -e -icanon -e echo -e -echo | tr '\n' ' ')"
sleep 120
)sh";

} // namespace

TmuxSession::TmuxSession()
{
    static std::atomic<int> sessions{0};
    socket_ = QStringLiteral("nmb-tui-%1-%2")
                  .arg(QCoreApplication::applicationPid())
                  .arg(sessions.fetch_add(1));
}

TmuxSession::~TmuxSession()
{
    tmux({"kill-server"});
}

bool TmuxSession::available()
{
    return !QStandardPaths::findExecutable(QStringLiteral("tmux")).isEmpty();
}

bool TmuxSession::start(const QString& program, const QStringList& arguments, int columns,
                        int rows)
{
    QStringList command{"-f", "/dev/null", "new-session", "-d", "-s", "main",
                        "-x", QString::number(columns), "-y", QString::number(rows),
                        "sh", "-c", QString::fromLatin1(PANE_SCRIPT), "sh", program};
    return tmux(command + arguments);
}

QString TmuxSession::screen() const
{
    QString text;
    tmux({"capture-pane", "-p", "-t", "main"}, &text);
    return text;
}

bool TmuxSession::send_keys(const QStringList& keys)
{
    return tmux(QStringList{"send-keys", "-t", "main"} + keys);
}

bool TmuxSession::wait_for(const QString& text, int timeout_ms) const
{
    return QTest::qWaitFor([&] { return screen().contains(text); }, timeout_ms);
}

QString TmuxSession::pane_tty() const
{
    QString tty;
    tmux({"display-message", "-p", "-t", "main", "#{pane_tty}"}, &tty);
    return tty.trimmed();
}

qint64 TmuxSession::program_pid() const
{
    // The pane runs the script's shell; the program is its child.
    QString shell;
    tmux({"display-message", "-p", "-t", "main", "#{pane_pid}"}, &shell);
    QFile children(QStringLiteral("/proc/%1/task/%1/children").arg(shell.trimmed()));
    if (!children.open(QIODevice::ReadOnly)) {
        return -1;
    }
    bool ok = false;
    const qint64 pid = QString::fromLatin1(children.readAll()).section(' ', 0, 0).toLongLong(&ok);
    return ok ? pid : -1;
}

bool TmuxSession::tmux(const QStringList& arguments, QString* output) const
{
    QProcess process;
    process.start(QStringLiteral("tmux"), QStringList{"-L", socket_} + arguments);
    if (!process.waitForFinished(TMUX_CALL_TIMEOUT_MS)) {
        process.kill();
        process.waitForFinished(1000);
        return false;
    }
    if (output != nullptr) {
        *output = QString::fromUtf8(process.readAllStandardOutput());
    }
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

} // namespace nmb::test
