// The bridge's command line, checked through the real program.

#include "bridge_runner.h"

#include <nmb/test/programs.h>

#include <QTest>
#include <QUdpSocket>

#include <csignal>

using nmb::test::run_program;
using nmb::test::RunningBridge;
using nmb::test::start_bridge;
using nmb::test::WatchedProcess;

namespace {

const QString BRIDGE = QStringLiteral("nimbra_skelora_bridge");

// A ws URL nobody answers: the bridge starts, warns and keeps running.
const QString SILENT_URL = QStringLiteral("ws://127.0.0.1:9/ws");

} // namespace

class TestBridgeOptions : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void refused_command_lines_data();
    void refused_command_lines();
    void positional_arguments_print_the_help();
    void accepted_urls_data();
    void accepted_urls();
    void highest_port_is_accepted();
    void port_in_use_ends_with_status_1();
    void help_and_version();
    void help_options_end_the_program_data();
    void help_options_end_the_program();
};

void TestBridgeOptions::refused_command_lines_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("log");

    QTest::newRow("port zero") << QStringList{"--port", "0"} << QByteArray("Invalid local UDP port: 0\n");
    QTest::newRow("port above 65535") << QStringList{"--port", "65536"} << QByteArray("Invalid local UDP port: 65536\n");
    QTest::newRow("port not a number") << QStringList{"--port", "abc"} << QByteArray("Invalid local UDP port: abc\n");
    QTest::newRow("negative port") << QStringList{"--port", "-1"} << QByteArray("Invalid local UDP port: -1\n");
    QTest::newRow("http URL") << QStringList{"--url", "http://127.0.0.1:8080/ws"}
                              << QByteArray("Invalid Skelora server URL: http://127.0.0.1:8080/ws\n");
    QTest::newRow("ws URL without a host") << QStringList{"--url", "ws://:8080/ws"}
                                           << QByteArray("Invalid Skelora server URL: ws://:8080/ws\n");
    QTest::newRow("host and port without a scheme") << QStringList{"--url", "127.0.0.1:8080"}
                                                    << QByteArray("Invalid Skelora server URL: 127.0.0.1:8080\n");
    QTest::newRow("empty URL") << QStringList{"--url", ""} << QByteArray("Invalid Skelora server URL: \n");
    QTest::newRow("refused URL logged untrimmed") << QStringList{"--url", " http://host/ws "}
                                                  << QByteArray("Invalid Skelora server URL:  http://host/ws \n");
    QTest::newRow("skeleton of spaces") << QStringList{"--skeleton", "   "}
                                        << QByteArray("Skeleton ID must not be empty.\n");
    QTest::newRow("port checked before the URL") << QStringList{"--url", "http://x/ws", "--port", "0"}
                                                 << QByteArray("Invalid local UDP port: 0\n");
    QTest::newRow("URL checked before the skeleton") << QStringList{"--skeleton", "", "--url", "ftp://x"}
                                                     << QByteArray("Invalid Skelora server URL: ftp://x\n");
    QTest::newRow("unknown option") << QStringList{"--colour", "red"} << QByteArray("Unknown option 'colour'.\n");
}

void TestBridgeOptions::refused_command_lines()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, log);

    const nmb::test::ProgramRun run = run_program(BRIDGE, arguments);
    QVERIFY(run.finished);
    QCOMPARE(run.exit_code, 2);
    QCOMPARE(run.standard_error, log);
}

void TestBridgeOptions::positional_arguments_print_the_help()
{
    const nmb::test::ProgramRun run = run_program(BRIDGE, {QStringLiteral("--port"), QStringLiteral("0"),
                                                           QStringLiteral("extra")});
    QVERIFY(run.finished);
    QCOMPARE(run.exit_code, 2);
    // Checked before the port; the help text follows after a space.
    QVERIFY2(run.standard_error.startsWith("Unexpected positional arguments.\n\n Usage: "), run.standard_error.constData());
    QVERIFY(run.standard_error.contains("Forward UDP Mocap frames to a Skelora service."));
    QVERIFY(!run.standard_error.contains("Invalid local UDP port"));
}

void TestBridgeOptions::accepted_urls_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QByteArray>("used");

    QTest::newRow("wss with spaces around it") << QStringLiteral("  wss://127.0.0.1:9/ws  ")
                                               << QByteArray(" to wss://127.0.0.1:9/ws\n");
    QTest::newRow("scheme in capitals") << QStringLiteral("WSS://127.0.0.1:9/ws") << QByteArray(" to WSS://127.0.0.1:9/ws\n");
    QTest::newRow("plain ws with a query") << QStringLiteral("ws://localhost:9/ws?room=1")
                                           << QByteArray(" to ws://localhost:9/ws?room=1\n");
}

void TestBridgeOptions::accepted_urls()
{
    QFETCH(QString, url);
    QFETCH(QByteArray, used);

    RunningBridge bridge = start_bridge({QStringLiteral("--url"), url, QStringLiteral("--skeleton"),
                                         QStringLiteral("  performer 1 ")});
    QVERIFY(bridge.process);
    const QByteArray listening = "Listening for Mocap UDP frames on 0.0.0.0:" + QByteArray::number(bridge.port)
        + " and forwarding skeleton performer 1" + used;
    QVERIFY2(bridge.process->standard_error().contains(listening), bridge.process->standard_error().constData());
    QVERIFY(bridge.process->send_signal(SIGINT));
    QVERIFY(bridge.process->wait_for_finished());
    QCOMPARE(bridge.process->process().exitCode(), 0);
}

void TestBridgeOptions::highest_port_is_accepted()
{
    WatchedProcess bridge;
    QVERIFY(bridge.start(BRIDGE, {QStringLiteral("--port"), QStringLiteral("65535"), QStringLiteral("--url"), SILENT_URL}));
    // Another program may hold the port; either way the number passed the check.
    QVERIFY(bridge.wait_for_error("Listening for Mocap UDP frames on 0.0.0.0:65535 ")
            || bridge.standard_error().contains("Unable to bind UDP port 65535"));
    QVERIFY(!bridge.standard_error().contains("Invalid local UDP port"));
    bridge.send_signal(SIGINT);
    QVERIFY(bridge.wait_for_finished());
}

void TestBridgeOptions::port_in_use_ends_with_status_1()
{
    QUdpSocket holder;
    QVERIFY(holder.bind(QHostAddress::AnyIPv4, 0, QAbstractSocket::DontShareAddress));
    const QString port = QString::number(holder.localPort());

    const nmb::test::ProgramRun run = run_program(BRIDGE, {QStringLiteral("--port"), port, QStringLiteral("--url"), SILENT_URL});
    QVERIFY(run.finished);
    QCOMPARE(run.exit_code, 1);
    // The adapter's own reason comes first, through the warning handler; the
    // client is never started, so nothing else is logged.
    QCOMPARE(run.standard_error, "UDP receive error: The bound address is already in use\nUnable to bind UDP port "
                                     + port.toUtf8() + "\n");
}

void TestBridgeOptions::help_and_version()
{
    const nmb::test::ProgramRun help = run_program(BRIDGE, {QStringLiteral("--help")});
    QCOMPARE(help.exit_code, 0);
    for (const char* text : {"Forward UDP Mocap frames to a Skelora service.", "--port <port>", "Local UDP port (1-65535).",
                             "--url <url>", "Skelora ws/wss server URL.", "--skeleton <id>", "Skeleton ID sent to Skelora."})
        QVERIFY2(help.standard_output.contains(text), text);

    const nmb::test::ProgramRun version = run_program(BRIDGE, {QStringLiteral("--version")});
    QCOMPARE(version.exit_code, 0);
    QCOMPARE(version.standard_output, QByteArray("nimbra_skelora_bridge 1.0.0\n"));
}

void TestBridgeOptions::help_options_end_the_program_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("output"); // expected in standard output
    QTest::addColumn<QByteArray>("absent"); // must not be in standard output

    // Even with a usable port and URL, none of these may start the bridge.
    const QStringList usable{"--port", "0", "--url", SILENT_URL};
    QTest::newRow("help with the Qt options") << QStringList{"--help-all"} + usable
                                              << QByteArray("Skeleton ID sent to Skelora.") << QByteArray();
    QTest::newRow("short help") << QStringList{"-h"} + usable << QByteArray("Local UDP port (1-65535).")
                                << QByteArray();
    QTest::newRow("version wins over help") << QStringList{"--help", "--version"}
                                            << QByteArray("nimbra_skelora_bridge 1.0.0\n") << QByteArray("Usage:");
    QTest::newRow("short version") << QStringList{"-v"} << QByteArray("nimbra_skelora_bridge 1.0.0\n")
                                   << QByteArray("Usage:");
}

void TestBridgeOptions::help_options_end_the_program()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, output);
    QFETCH(QByteArray, absent);

    const nmb::test::ProgramRun run = run_program(BRIDGE, arguments);
    QVERIFY(run.finished);
    QCOMPARE(run.exit_code, 0);
    QVERIFY2(run.standard_output.contains(output), run.standard_output.constData());
    if (!absent.isEmpty())
        QVERIFY2(!run.standard_output.contains(absent), run.standard_output.constData());
    QVERIFY2(!run.standard_error.contains("Listening"), run.standard_error.constData());
}

QTEST_GUILESS_MAIN(TestBridgeOptions)
#include "tst_bridge_options.moc"
