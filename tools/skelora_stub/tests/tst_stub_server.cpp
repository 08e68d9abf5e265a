#include <nmb/test/programs.h>
#include <nmb/test/watched_process.h>

#include <QRegularExpression>
#include <QSignalSpy>
#include <QSslError>
#include <QTemporaryDir>
#include <QTest>
#include <QWebSocket>

#include <nlohmann/json.hpp>

#include <memory>
#include <utility>
#include <vector>

using nlohmann::json;
using nmb::test::WatchedProcess;

namespace {

const QString STUB = QStringLiteral("nimbra_skelora_stub");
const QByteArray LISTENING = "Skelora stub listening on ";

// Makes a self-signed EC certificate and key in `dir` with the openssl tool.
bool make_certificate(const QTemporaryDir& dir)
{
    const nmb::test::ProgramRun run = nmb::test::run_program(
        QStringLiteral("/usr/bin/openssl"),
        {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("ec"),
         QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
         QStringLiteral("-days"), QStringLiteral("1"), QStringLiteral("-subj"), QStringLiteral("/CN=127.0.0.1"),
         QStringLiteral("-keyout"), dir.filePath(QStringLiteral("key.pem")), QStringLiteral("-out"),
         dir.filePath(QStringLiteral("cert.pem"))},
        20000);
    return run.finished && run.exit_code == 0;
}

// The URL the stub announced on standard error, or an empty URL.
QUrl announced_url(const WatchedProcess& stub)
{
    static const QRegularExpression pattern(QStringLiteral("listening on (\\S+)"));
    const auto match = pattern.match(QString::fromUtf8(stub.standard_error()));
    return match.hasMatch() ? QUrl(match.captured(1)) : QUrl();
}

// A client socket that accepts the test certificate and records messages.
struct Sender {
    QWebSocket socket;
    QStringList messages;

    Sender()
    {
        QObject::connect(&socket, &QWebSocket::sslErrors, &socket, [this] { socket.ignoreSslErrors(); });
        QObject::connect(&socket, &QWebSocket::textMessageReceived, &socket,
                         [this](const QString& text) { messages.append(text); });
    }
};

json message_of_type(const QStringList& messages, const std::string& type)
{
    for (const QString& text : messages) {
        json message = json::parse(text.toStdString(), nullptr, false);
        if (message.is_object() && message.value("type", std::string()) == type)
            return message;
    }
    return json();
}

const char* const POSE_FRAME = R"({"joints":[)"
                               R"({"name":"Head","orientation":[1.0,0.0,0.0,0.0],"parent":"Neck","position":[0.5,1.25,-2.0]},)"
                               R"({"name":"Neck","orientation":[1.0,0.0,0.0,0.0],"parent":null,"position":[0.5,1.0,-2.0]}],)"
                               R"("skeleton":"performer1","timestamp":1700000000000,"type":"pose_frame"})";

} // namespace

class TestStubServer : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void answers_hello_and_prints_pose_frames_data();
    void answers_hello_and_prints_pose_frames();
    void pose_lines_count_every_joint();
    void sends_get_pose_data_on_request_data();
    void sends_get_pose_data_on_request();
    void refuses_other_paths();
    void command_line_errors_data();
    void command_line_errors();
};

void TestStubServer::answers_hello_and_prints_pose_frames_data()
{
    QTest::addColumn<bool>("secure");
    QTest::newRow("plain ws") << false;
    QTest::newRow("wss with a self-signed certificate") << true;
}

void TestStubServer::answers_hello_and_prints_pose_frames()
{
    QFETCH(bool, secure);
    QTemporaryDir dir;
    QStringList arguments{QStringLiteral("--port"), QStringLiteral("0")};
    if (secure) {
        QVERIFY(make_certificate(dir));
        arguments << QStringLiteral("--cert") << dir.filePath(QStringLiteral("cert.pem")) << QStringLiteral("--key")
                  << dir.filePath(QStringLiteral("key.pem"));
    }
    WatchedProcess stub;
    QVERIFY(stub.start(STUB, arguments));
    QVERIFY2(stub.wait_for_error(LISTENING), stub.standard_error().constData());
    const QUrl url = announced_url(stub);
    QCOMPARE(url.scheme(), secure ? QStringLiteral("wss") : QStringLiteral("ws"));
    QCOMPARE(url.path(), QStringLiteral("/ws"));

    Sender sender;
    QSignalSpy connected(&sender.socket, &QWebSocket::connected);
    sender.socket.open(url);
    QVERIFY(connected.wait(10000));
    sender.socket.sendTextMessage(QStringLiteral(R"({"role":"sender","type":"hello"})"));
    QTRY_COMPARE_WITH_TIMEOUT(sender.messages.size(), 1, 10000);
    QCOMPARE(sender.messages.first(), QStringLiteral(R"({"protocol":"pose_frame.v1","type":"server_ready"})"));

    // A malformed frame is reported on standard error and prints no line.
    sender.socket.sendTextMessage(QStringLiteral(R"({"type":"pose_frame","skeleton":7})"));
    sender.socket.sendTextMessage(QString::fromLatin1(POSE_FRAME));
    QVERIFY(stub.wait_for_output("\n"));
    QCOMPARE(stub.standard_output(),
             QByteArray("pose_frame skeleton=performer1 joints=2 first=Head position=[0.5,1.25,-2.0]\n"));
    QVERIFY(stub.standard_error().contains("Malformed pose_frame from 127.0.0.1:"));
}

// The stand-in builds only the first joint of a frame into a document and
// counts the others: the line must still read as the whole message says.
void TestStubServer::pose_lines_count_every_joint()
{
    const std::vector<std::pair<QString, QByteArray>> cases = {
        {R"({"joints":[1,{"name":"X"},[2,3]],"skeleton":"a","type":"pose_frame"})",
         "pose_frame skeleton=a joints=3 first=? position=?"},
        {R"({"joints":[{"name":"A","position":[1]},{}],"skeleton":"b","type":"pose_frame",)"
         R"("joints":[{"name":"B","position":[2.5,[3],{"x":null}]}]})",
         "pose_frame skeleton=b joints=1 first=B position=[2.5,[3],{\"x\":null}]"},
        {R"({"type":"pose_frame","skeleton":"c","joints":[{"name":"N","joints":[1,2,3],"position":[]},)"
         R"({"joints":[]},null,"s"]})",
         "pose_frame skeleton=c joints=4 first=N position=[]"},
        {R"({"type":"pose_frame","skeleton":"d","joints":[]})", "pose_frame skeleton=d joints=0"},
    };
    WatchedProcess stub;
    QVERIFY(stub.start(STUB, {QStringLiteral("--port"), QStringLiteral("0")}));
    QVERIFY2(stub.wait_for_error(LISTENING), stub.standard_error().constData());
    Sender sender;
    QSignalSpy connected(&sender.socket, &QWebSocket::connected);
    sender.socket.open(announced_url(stub));
    QVERIFY(connected.wait(10000));
    QByteArray expected;
    for (const auto& [message, line] : cases) {
        sender.socket.sendTextMessage(message);
        expected += line + '\n';
    }
    QTRY_COMPARE_WITH_TIMEOUT(stub.standard_output().count('\n'), qsizetype(cases.size()), 10000);
    QCOMPARE(stub.standard_output(), expected);
}

void TestStubServer::sends_get_pose_data_on_request_data()
{
    QTest::addColumn<bool>("from_standard_input");
    QTest::addColumn<std::string>("expected_first_joint");
    QTest::addColumn<int>("expected_joints");

    QTest::newRow("right after the handshake, before any pose") << false << std::string("Head") << 1;
    QTest::newRow("on a command, with the last frame's joints") << true << std::string("Head") << 2;
}

void TestStubServer::sends_get_pose_data_on_request()
{
    QFETCH(bool, from_standard_input);
    QFETCH(std::string, expected_first_joint);
    QFETCH(int, expected_joints);

    QStringList arguments{QStringLiteral("--port"), QStringLiteral("0")};
    if (!from_standard_input)
        arguments << QStringLiteral("--request-pose") << QStringLiteral("performer1");
    WatchedProcess stub;
    QVERIFY(stub.start(STUB, arguments));
    QVERIFY(stub.wait_for_error(LISTENING));

    Sender sender;
    QSignalSpy connected(&sender.socket, &QWebSocket::connected);
    sender.socket.open(announced_url(stub));
    QVERIFY(connected.wait(10000));
    sender.socket.sendTextMessage(QStringLiteral(R"({"role":"sender","type":"hello"})"));
    if (from_standard_input) {
        QVERIFY(stub.wait_for_error("Sent server_ready"));
        sender.socket.sendTextMessage(QString::fromLatin1(POSE_FRAME));
        QVERIFY(stub.wait_for_output("pose_frame"));
        stub.write("get_pose_data performer1\n");
    }
    QTRY_VERIFY_WITH_TIMEOUT(message_of_type(sender.messages, "get_pose_data").is_object(), 10000);

    const json request = message_of_type(sender.messages, "get_pose_data");
    QCOMPARE(request["skeleton"].dump(), std::string(R"("performer1")"));
    QVERIFY(request["joint"].is_array());
    QCOMPARE(int(request["joint"].size()), expected_joints);
    QCOMPARE(request["joint"][0]["name"].dump(), '"' + expected_first_joint + '"');
    QCOMPARE(request["joint"][0]["parent"].dump(), std::string(R"("Neck")"));
    QCOMPARE(request["joint"][0]["position"].size(), 3u);
    QCOMPARE(request["joint"][0]["orientation"].size(), 4u);
}

void TestStubServer::refuses_other_paths()
{
    WatchedProcess stub;
    QVERIFY(stub.start(STUB, {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--path"),
                              QStringLiteral("/pose")}));
    QVERIFY(stub.wait_for_error(LISTENING));
    QUrl url = announced_url(stub);
    QCOMPARE(url.path(), QStringLiteral("/pose"));
    url.setPath(QStringLiteral("/ws"));

    Sender sender;
    QSignalSpy disconnected(&sender.socket, &QWebSocket::disconnected);
    sender.socket.open(url);
    QVERIFY(disconnected.wait(10000));
    QCOMPARE(sender.socket.closeCode(), QWebSocketProtocol::CloseCodePolicyViolated);
    QVERIFY(sender.messages.isEmpty());
}

void TestStubServer::command_line_errors_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exit_code");
    QTest::addColumn<QByteArray>("message");

    QTest::newRow("port not a number") << QStringList{"--port", "abc"} << 2 << QByteArray("Invalid port: abc");
    QTest::newRow("port too large") << QStringList{"--port", "65536"} << 2 << QByteArray("Invalid port: 65536");
    QTest::newRow("path without a slash") << QStringList{"--path", "ws"} << 2 << QByteArray("Invalid path");
    QTest::newRow("certificate without a key") << QStringList{"--cert", "cert.pem"} << 2
                                               << QByteArray("Serving wss needs both --cert and --key.");
    QTest::newRow("unknown option") << QStringList{"--colour", "red"} << 2
                                    << QByteArray("Unknown option 'colour'.");
    QTest::newRow("option without its value") << QStringList{"--port"} << 2
                                              << QByteArray("Missing value after '--port'.");
    QTest::newRow("positional argument") << QStringList{"extra"} << 2
                                         << QByteArray("Unexpected positional arguments.");
    QTest::newRow("certificate file missing") << QStringList{"--cert", "/nonexistent/cert.pem", "--key", "/nonexistent/key.pem"}
                                              << 1 << QByteArray("Unable to read certificate file: /nonexistent/cert.pem");
}

void TestStubServer::command_line_errors()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exit_code);
    QFETCH(QByteArray, message);

    const nmb::test::ProgramRun run = nmb::test::run_program(STUB, arguments);
    QVERIFY(run.finished);
    QCOMPARE(run.exit_code, exit_code);
    QVERIFY2(run.standard_error.contains(message), run.standard_error.constData());
}

QTEST_GUILESS_MAIN(TestStubServer)
#include "tst_stub_server.moc"
