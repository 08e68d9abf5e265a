#include <nmb/test/programs.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#ifndef NMB_DEFAULT_BIN_DIR
#define NMB_DEFAULT_BIN_DIR ""
#endif

namespace nmb::test {

QString program_path(const QString& name)
{
    QString dir = qEnvironmentVariable("NMB_BIN_DIR");
    if (dir.isEmpty())
        dir = QStringLiteral(NMB_DEFAULT_BIN_DIR);
    return QDir(dir).absoluteFilePath(name);
}

ProgramRun run_program(const QString& name, const QStringList& arguments, int timeout_ms,
                       const QString& working_directory, const QProcessEnvironment& environment)
{
    ProgramRun run;
    QProcess process;
    if (!working_directory.isEmpty())
        process.setWorkingDirectory(working_directory);
    if (!environment.isEmpty())
        process.setProcessEnvironment(environment);
    process.start(QFileInfo(name).isAbsolute() ? name : program_path(name), arguments);
    if (!process.waitForFinished(timeout_ms)) {
        process.kill();
        process.waitForFinished(2000);
    } else {
        run.finished = true;
    }
    run.exit_code = process.exitCode();
    run.exit_status = process.exitStatus();
    run.standard_output = process.readAllStandardOutput();
    run.standard_error = process.readAllStandardError();
    return run;
}

ToolRun run_tool(const QString& program, const QStringList& arguments,
                 const QProcessEnvironment& environment, int timeout_ms, const QString& working_directory)
{
    QString path = program;
    if (!QFileInfo(program).isAbsolute()) {
        path = QStandardPaths::findExecutable(program);
        if (path.isEmpty())
            return {-1, QStringLiteral("%1: not found on the PATH").arg(program)};
    }
    const ProgramRun run = run_program(path, arguments, timeout_ms, working_directory, environment);
    return {run.finished && run.exit_status == QProcess::NormalExit ? run.exit_code : -1,
            QString::fromUtf8(run.standard_output + run.standard_error)};
}

bool wait_for_stderr(QProcess& process, const QByteArray& text, QByteArray& collected,
                     int timeout_ms)
{
    QDeadlineTimer deadline(timeout_ms);
    for (;;) {
        collected += process.readAllStandardError();
        if (collected.contains(text))
            return true;
        if (deadline.hasExpired() || process.state() == QProcess::NotRunning)
            return false;
        process.waitForReadyRead(int(qBound(qint64(1), deadline.remainingTime(), qint64(100))));
    }
}

} // namespace nmb::test
