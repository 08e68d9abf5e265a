#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

namespace nmb::test {

// Absolute path of a program built by this tree (bin/ of the build, or the
// directory named by NMB_BIN_DIR).
QString program_path(const QString& name);

// Output and status of a finished program.
struct ProgramRun {
    bool finished = false; // false: it did not end within the timeout and was killed
    int exit_code = -1;
    QProcess::ExitStatus exit_status = QProcess::CrashExit;
    QByteArray standard_output;
    QByteArray standard_error;
};

// Runs a program to its end (killed after timeout_ms), in working_directory
// when given, with `environment` instead of this process's when it is not
// empty.
ProgramRun run_program(const QString& name, const QStringList& arguments, int timeout_ms = 10000,
                       const QString& working_directory = {},
                       const QProcessEnvironment& environment = {});

// An outside tool (found on the PATH unless the path is absolute) run to
// its end: its status, -1 when it crashed or did not end within timeout_ms,
// and its standard output followed by its standard error.
struct ToolRun {
    int status = -1;
    QString output;
};
ToolRun run_tool(const QString& program, const QStringList& arguments,
                 const QProcessEnvironment& environment = {}, int timeout_ms = 120000,
                 const QString& working_directory = {});

// Waits (bounded) until the process's standard error contains `text`; the
// bytes read so far are appended to `collected`. Returns whether it appeared.
bool wait_for_stderr(QProcess& process, const QByteArray& text, QByteArray& collected,
                     int timeout_ms = 10000);

} // namespace nmb::test
