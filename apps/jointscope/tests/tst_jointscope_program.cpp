#include <nmb/test/programs.h>

#include <QFile>
#include <QProcess>
#include <QTest>
#include <QUdpSocket>

namespace {

const QString PROGRAM = QStringLiteral("nimbra_jointscope");

// Whether some socket is bound to UDP port `port` on 0.0.0.0, read from the
// kernel's table (a probe bind could steal the port from the program).
bool bound_on_any_ipv4(quint16 port)
{
    QFile table(QStringLiteral("/proc/net/udp"));
    if (!table.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    const QByteArray wanted = QByteArray("00000000:") + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    const QList<QByteArray> lines = table.readAll().split('\n');
    for (const QByteArray& line : lines) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 1 && fields.at(1) == wanted)
            return true;
    }
    return false;
}

quint16 free_udp_port()
{
    QUdpSocket probe;
    if (!probe.bind(QHostAddress::LocalHost, 0))
        return 0;
    return probe.localPort();
}

} // namespace

class TestJointscopeProgram : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void invalid_command_line_exits_2_data();
    void invalid_command_line_exits_2();
    void version_is_printed();
    void help_and_version_need_no_display_data();
    void help_and_version_need_no_display();
    void valid_port_binds_and_keeps_running();
};

void TestJointscopeProgram::invalid_command_line_exits_2_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("standard_error");
    QTest::addColumn<QByteArray>("standard_output");

    QTest::newRow("port zero") << QStringList{"--port", "0"} << QByteArray("Invalid local UDP port: 0")
                               << QByteArray();
    QTest::newRow("port above the range") << QStringList{"--port", "70000"}
                                          << QByteArray("Invalid local UDP port: 70000") << QByteArray();
    QTest::newRow("negative port") << QStringList{"--port", "-1"}
                                   << QByteArray("Invalid local UDP port: -1") << QByteArray();
    QTest::newRow("port not a number") << QStringList{"--port=15k"}
                                       << QByteArray("Invalid local UDP port: 15k") << QByteArray();
    QTest::newRow("positional argument") << QStringList{"extra"} << QByteArray()
                                         << QByteArray("--port <port>");
    QTest::newRow("positional argument after a valid port")
        << QStringList{"--port", "15000", "extra"} << QByteArray() << QByteArray("Usage:");
}

void TestJointscopeProgram::invalid_command_line_exits_2()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, standard_error);
    QFETCH(QByteArray, standard_output);

    const auto run = nmb::test::run_program(PROGRAM, arguments);
    QVERIFY(run.finished);
    QCOMPARE(run.exit_status, QProcess::NormalExit);
    QCOMPARE(run.exit_code, 2);
    // Whole lines: the platform may log its own lines around ours.
    if (!standard_error.isEmpty())
        QVERIFY2(run.standard_error.split('\n').contains(standard_error), run.standard_error.constData());
    QVERIFY2(run.standard_output.contains(standard_output), run.standard_output.constData());
    if (!standard_output.isEmpty()) {
        QVERIFY(run.standard_output.contains(
            "Display Mocap frame joint poses (position and quaternion) received over UDP."));
        QVERIFY(run.standard_output.contains("Local UDP port (1-65535)."));
    }
}

void TestJointscopeProgram::version_is_printed()
{
    const auto run = nmb::test::run_program(PROGRAM, {QStringLiteral("--version")});
    QVERIFY(run.finished);
    QCOMPARE(run.exit_code, 0);
    QCOMPARE(run.standard_output, QByteArray("nimbra_jointscope 1.0.0\n"));
}

void TestJointscopeProgram::help_and_version_need_no_display_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("standard_output");

    QTest::newRow("version") << QStringList{"--version"} << QByteArray("nimbra_jointscope 1.0.0\n");
    QTest::newRow("short version") << QStringList{"-v"} << QByteArray("nimbra_jointscope 1.0.0\n");
    QTest::newRow("help") << QStringList{"--help"} << QByteArray("Local UDP port (1-65535).");
    QTest::newRow("short help after a port") << QStringList{"--port", "15000", "-h"}
                                             << QByteArray("Local UDP port (1-65535).");
}

void TestJointscopeProgram::help_and_version_need_no_display()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, standard_output);

    // The X11 platform without a server: the GUI cannot start here.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    QProcess program;
    program.setProcessEnvironment(environment);
    program.start(nmb::test::program_path(PROGRAM), arguments);
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    const QByteArray output = program.readAllStandardOutput();
    QVERIFY2(output.contains(standard_output), output.constData());
}

void TestJointscopeProgram::valid_port_binds_and_keeps_running()
{
    const quint16 port = free_udp_port();
    QVERIFY(port != 0);
    QProcess viewer;
    viewer.start(nmb::test::program_path(PROGRAM), {QStringLiteral("--port"), QString::number(port)});
    QVERIFY(viewer.waitForStarted(5000));
    QTRY_VERIFY_WITH_TIMEOUT(bound_on_any_ipv4(port), 10000);
    QCOMPARE(viewer.state(), QProcess::Running);
    viewer.kill();
    QVERIFY(viewer.waitForFinished(5000));
}

QTEST_GUILESS_MAIN(TestJointscopeProgram)
#include "tst_jointscope_program.moc"
