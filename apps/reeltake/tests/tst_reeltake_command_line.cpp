#include "reeltake_process.h"

#include <nmb/test/programs.h>
#include <nmb/udp_adapter.h>

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

namespace {

QStringList entries(const QString& path)
{
    return QDir(path).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
}

} // namespace

// The command line and start-up of the real program.
class TestReeltakeCommandLine : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void errors_exit_before_anything_exists_data();
    void errors_exit_before_anything_exists();
    void edge_ports_are_accepted_data();
    void edge_ports_are_accepted();
    void busy_port_prints_both_lines_and_leaves_no_file();
    void missing_directory_levels_are_created();
};

void TestReeltakeCommandLine::errors_exit_before_anything_exists_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("expected_error");
    QTest::newRow("port zero") << QStringList{"--port", "0"} << QByteArray("Invalid local UDP port: 0\n");
    QTest::newRow("port 65536") << QStringList{"--port", "65536"}
                                << QByteArray("Invalid local UDP port: 65536\n");
    QTest::newRow("port -1") << QStringList{"--port", "-1"} << QByteArray("Invalid local UDP port: -1\n");
    QTest::newRow("port abc") << QStringList{"--port", "abc"} << QByteArray("Invalid local UDP port: abc\n");
    QTest::newRow("positional argument") << QStringList{"--port", "9000", "now"} << QByteArray();
}

void TestReeltakeCommandLine::errors_exit_before_anything_exists()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, expected_error);
    const QString program = nmb::test::program_path("nimbra_reeltake");
    if (expected_error.isEmpty()) {
        const nmb::test::ProgramRun help = nmb::test::run_program(program, {"--help"});
        QVERIFY(help.finished);
        QCOMPARE(help.exit_code, 0);
        expected_error = "Unexpected positional arguments.\n\n" + help.standard_output + "\n";
    }
    QTemporaryDir dir;
    QVERIFY(dir.isValid());

    const nmb::test::ProgramRun run =
        nmb::test::run_program(program, arguments + QStringList{"-d", "out/sub"}, 10000, dir.path());
    QVERIFY(run.finished);
    QCOMPARE(run.exit_status, QProcess::NormalExit);
    QCOMPARE(run.exit_code, 2);
    QCOMPARE(run.standard_error, expected_error);
    QCOMPARE(entries(dir.path()), QStringList());
}

void TestReeltakeCommandLine::edge_ports_are_accepted_data()
{
    QTest::addColumn<quint16>("port");
    QTest::newRow("port 1") << quint16(1);
    QTest::newRow("port 65535") << quint16(65535);
}

void TestReeltakeCommandLine::edge_ports_are_accepted()
{
    // The port passes the command line; whether this machine lets us bind it
    // (privileges, another user) decides between recording and a bind error.
    QFETCH(quint16, port);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QProcess process;
    process.setWorkingDirectory(dir.path());
    process.start(nmb::test::program_path("nimbra_reeltake"), {"--port", QString::number(port)});
    QByteArray error;
    const QString endpoint = QString("0.0.0.0:%1").arg(port);
    if (nmb::test::wait_for_stderr(process, "Recording UDP datagrams on " + endpoint.toUtf8(), error)) {
        QVERIFY(::kill(pid_t(process.processId()), SIGTERM) == 0);
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
        QCOMPARE(entries(dir.path()).size(), 1);
    } else {
        QVERIFY(process.state() == QProcess::NotRunning || process.waitForFinished(10000));
        error += process.readAllStandardError();
        QVERIFY2(error.contains("Unable to bind UDP endpoint " + endpoint.toUtf8()), error.constData());
        QCOMPARE(process.exitCode(), 1);
    }
}

void TestReeltakeCommandLine::busy_port_prints_both_lines_and_leaves_no_file()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    nmb::UdpAdapter occupant;
    QVERIFY(occupant.connect(QHostAddress::LocalHost, 0));
    const QString port = QString::number(occupant.local_port());

    const nmb::test::ProgramRun run = nmb::test::run_program(
        nmb::test::program_path("nimbra_reeltake"), {"--port", port, "-d", "rec"}, 10000, dir.path());
    QVERIFY(run.finished);
    QCOMPARE(run.exit_status, QProcess::NormalExit);
    QCOMPARE(run.exit_code, 1);
    QStringList lines = QString::fromUtf8(run.standard_error).split('\n');
    QCOMPARE(lines.takeLast(), QString());
    QCOMPARE(lines.size(), 2);
    const QString prefix = "Recording error: UDP receive error: ";
    QVERIFY2(lines.at(0).startsWith(prefix) && lines.at(0).size() > prefix.size(),
             qPrintable(lines.at(0)));
    QCOMPARE(lines.at(1), "Unable to bind UDP endpoint 0.0.0.0:" + port);
    QCOMPARE(entries(dir.path()), QStringList());
}

void TestReeltakeCommandLine::missing_directory_levels_are_created()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    ReeltakeProcess recorder;
    QVERIFY(recorder.start(dir.path(), {"-d", "out/sub"}));
    const QString expected_directory = QDir(dir.path()).canonicalPath() + "/out/sub";
    QCOMPARE(QFileInfo(recorder.file_name).absolutePath(), expected_directory);
    QVERIFY(QFileInfo(recorder.file_name).isAbsolute());
    QCOMPARE(recorder.start_line,
             QString("Recording UDP datagrams on 0.0.0.0:%1 to %2").arg(recorder.port).arg(recorder.file_name));
    QVERIFY(QFileInfo(recorder.file_name).isFile());

    QVERIFY(recorder.send_signal(SIGTERM));
    QVERIFY(recorder.wait_for_end());
    QCOMPARE(recorder.process.exitCode(), 0);
    QCOMPARE(recorder.error_lines().constLast(),
             "Recording stopped: 0 datagram(s), 0 byte(s), file " + recorder.file_name);
    QCOMPARE(entries(expected_directory), QStringList{QFileInfo(recorder.file_name).fileName()});
}

QTEST_GUILESS_MAIN(TestReeltakeCommandLine)
#include "tst_reeltake_command_line.moc"
