#include "skelora.h"

#include <nmb/protocol/joint_tables.h>
#include <nmb/test/ws_server.h>

#include <nlohmann/json.hpp>

#include <QCoreApplication>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <thread>

using nmb::Skelora;
using nmb::test::WsServer;
using nlohmann::json;

namespace {

const QString HELLO = QStringLiteral(R"({"role":"sender","type":"hello"})");
const QString READY = QStringLiteral(R"({"protocol":"pose_frame.v1","type":"server_ready"})");
const QString NOT_CONNECTED = QStringLiteral("Pose visualization service is not connected.");
const QString URL_ERROR = QStringLiteral("Pose visualization URL must use ws or wss and include a host.");
const char* MARKER = "marker";

std::int64_t now_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

nmb::types::Pose patterned_pose(int slot)
{
    const float base = float(slot);
    return {{base + 0.5f, base * -0.25f, 100.0f + base}, {1.0f, base * 0.01f, base * -0.02f, 0.5f}};
}

template <typename Frame>
Frame patterned(std::uint16_t frame_id)
{
    Frame frame;
    frame.frame_id = frame_id;
    for (int i = 0; i < Frame::POSE_COUNT; ++i)
        frame.poses[i] = patterned_pose(i);
    return frame;
}

// Every pose_frame the server received, parsed.
std::vector<json> pose_frames(const WsServer& server)
{
    std::vector<json> frames;
    for (const QString& text : server.messages()) {
        json document = json::parse(text.toStdString(), nullptr, false);
        if (document.is_object() && document.value("type", "") == "pose_frame")
            frames.push_back(std::move(document));
    }
    return frames;
}

Skelora::PoseData pose(const std::string& name, const std::string& parent = {}, float x = 1.0f)
{
    Skelora::PoseData data;
    data.name = name;
    data.parent = parent;
    data.position = {x, 2.0f, 3.0f};
    data.orientation = {1.0f, 0.0f, 0.0f, 0.0f};
    return data;
}

QStringList messages_of(const QSignalSpy& spy)
{
    QStringList texts;
    for (const QList<QVariant>& arguments : spy)
        texts.append(arguments.first().toString());
    return texts;
}

} // namespace

class TestSkelora : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void instance_is_one_child_of_the_application();
    void instance_refuses_wrong_callers_data();
    void instance_refuses_wrong_callers();
    void handshake_data();
    void handshake();
    void ready_once_per_connection();
    void server_ready_variants_data();
    void server_ready_variants();
    void restart_sends_hello_again();
    void restart_from_an_error_handler();
    void reconnects_by_itself_when_asked_data();
    void reconnects_by_itself_when_asked();
    void service_going_away();
    void unreachable_service_is_reported();
    void mocap_frame_becomes_64_joints();
    void body_and_hand_frames_data();
    void body_and_hand_frames();
    void frame_types_in_turn_keep_their_joints();
    void invalid_frames_data();
    void invalid_frames();
    void pose_list_checks_data();
    void pose_list_checks();
    void pose_list_needs_the_handshake();
    void pose_store();
    void pose_store_refusals_data();
    void pose_store_refusals();
    void get_pose_data_rules_data();
    void get_pose_data_rules();
    void get_pose_data_values();
    void server_url_data();
    void server_url();
    void server_url_only_while_stopped();

private:
    // Points the client at `server` (which answers hello), starts it and waits
    // for ready.
    bool start_ready(WsServer& server);
    // Sends `text` and then a marker get_pose_data; returns once the marker
    // came back, so everything before it has been handled.
    bool send_then_sync(WsServer& server, const QString& text);

    Skelora* client_ = nullptr;
};

bool TestSkelora::start_ready(WsServer& server)
{
    server.set_ready_reply(QStringLiteral("pose_frame.v1"));
    client_->set_server_url(server.url().toString());
    if (client_->server_url() != server.url().toString())
        return false;
    QSignalSpy ready(client_, &Skelora::ready);
    client_->start();
    return ready.wait(10000) && client_->is_connected();
}

bool TestSkelora::send_then_sync(WsServer& server, const QString& text)
{
    QSignalSpy poses(client_, &Skelora::pose_data_received);
    if (!server.send_text(text))
        return false;
    if (!server.send_text(QStringLiteral(R"({"type":"get_pose_data","skeleton":"marker","joint":[]})")))
        return false;
    for (int round = 0; round < 100; ++round) {
        for (const QList<QVariant>& arguments : std::as_const(poses))
            if (arguments.first().value<std::string>() == MARKER)
                return true;
        if (!poses.wait(100) && round > 50)
            break;
    }
    return false;
}

void TestSkelora::init()
{
    client_ = Skelora::instance();
    client_->set_reconnect(false);
    client_->stop();
    client_->set_interested_skeletons({});
}

void TestSkelora::cleanup()
{
    client_->set_reconnect(false);
    client_->stop();
    client_->set_interested_skeletons({});
}

void TestSkelora::instance_is_one_child_of_the_application()
{
    QCOMPARE(Skelora::instance(), client_);
    QCOMPARE(client_->parent(), QCoreApplication::instance());
    const QMetaObject* meta = client_->metaObject();
    QCOMPARE(meta->className(), "nmb::Skelora");
    QStringList methods;
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i)
        methods.append(QString::fromLatin1(meta->method(i).methodSignature()));
    QCOMPARE(methods, (QStringList{"ready()", "error_occurred(QString)",
                                   "pose_data_received(std::string,nmb::Skelora::PoseList)",
                                   "connection_lost(QString,int)"}));
    QVERIFY(QMetaType::fromName("std::string").isValid());
    QVERIFY(QMetaType::fromName("nmb::Skelora::PoseData").isValid());
    QVERIFY(QMetaType::fromName("nmb::Skelora::PoseList").isValid());
    QVERIFY(!client_->is_connected());

    const QUrl url(client_->server_url());
    QCOMPARE(url.scheme(), QStringLiteral("wss"));
    QVERIFY(QHostAddress(url.host()).isLoopback());
    QCOMPARE(url.port(), 8080);
    QCOMPARE(url.path(), QStringLiteral("/ws"));
}

void TestSkelora::instance_refuses_wrong_callers_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QByteArray>("message");

    QTest::newRow("before the application exists")
        << "--instance-without-application"
        << QByteArray("Skelora::instance() requires an active QCoreApplication.");
    QTest::newRow("from another thread")
        << "--instance-off-thread"
        << QByteArray("Skelora::instance() must be called from the QCoreApplication thread.");
}

void TestSkelora::instance_refuses_wrong_callers()
{
    QFETCH(QString, mode);
    QFETCH(QByteArray, message);

    QProcess child;
    child.setChildProcessModifier([] {
        const rlimit no_core{0, 0}; // the abort is expected; leave no core file
        setrlimit(RLIMIT_CORE, &no_core);
    });
    child.start(QCoreApplication::applicationFilePath(), {mode});
    QVERIFY(child.waitForFinished(10000));
    QCOMPARE(child.exitStatus(), QProcess::CrashExit);
    QVERIFY2(child.readAllStandardError().contains(message), qPrintable(mode));
}

void TestSkelora::handshake_data()
{
    QTest::addColumn<bool>("tls");
    QTest::newRow("ws") << false;
    QTest::newRow("wss with a self-signed certificate") << true;
}

void TestSkelora::handshake()
{
    QFETCH(bool, tls);
    WsServer server;
    QVERIFY2(server.listen(tls ? WsServer::Security::Tls : WsServer::Security::Plain),
             qPrintable(server.error()));
    client_->set_server_url(server.url().toString());
    QSignalSpy ready(client_, &Skelora::ready);
    QSignalSpy errors(client_, &Skelora::error_occurred);

    client_->start();
    QTRY_COMPARE_WITH_TIMEOUT(server.messages(), QStringList{HELLO}, 10000);
    QVERIFY(!client_->is_connected()); // connected, but the service has not answered
    QCOMPARE(ready.size(), 0);

    QVERIFY(server.send_text(READY));
    QVERIFY(ready.wait(10000));
    QVERIFY(client_->is_connected());
    QCOMPARE(errors.size(), 0);
}

void TestSkelora::ready_once_per_connection()
{
    WsServer server;
    QVERIFY(server.listen());
    QSignalSpy ready(client_, &Skelora::ready);
    QVERIFY(start_ready(server));

    QVERIFY(send_then_sync(server, READY));
    QVERIFY(send_then_sync(server, QStringLiteral(R"({"type":"server_ready","protocol":"pose_frame.v1","x":1})")));
    QCOMPARE(ready.size(), 1);

    client_->start(); // already started: no second connection, no second hello
    QVERIFY(send_then_sync(server, READY));
    QCOMPARE(server.client_count(), 1);
    QCOMPARE(server.messages().count(HELLO), 1);
    QCOMPARE(ready.size(), 1);
}

void TestSkelora::server_ready_variants_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("ready");

    QTest::newRow("exact answer") << READY << true;
    QTest::newRow("extra keys") << R"({"type":"server_ready","protocol":"pose_frame.v1","name":"x"})" << true;
    QTest::newRow("other protocol") << R"({"type":"server_ready","protocol":"pose_frame.v2"})" << false;
    QTest::newRow("protocol missing") << R"({"type":"server_ready"})" << false;
    QTest::newRow("protocol not a string") << R"({"type":"server_ready","protocol":1})" << false;
    QTest::newRow("protocol with a trailing space") << R"({"type":"server_ready","protocol":"pose_frame.v1 "})" << false;
    QTest::newRow("type missing") << R"({"protocol":"pose_frame.v1"})" << false;
    QTest::newRow("type in capitals") << R"({"type":"SERVER_READY","protocol":"pose_frame.v1"})" << false;
    QTest::newRow("array instead of object") << R"([{"type":"server_ready","protocol":"pose_frame.v1"}])" << false;
    QTest::newRow("not JSON") << "server_ready pose_frame.v1" << false;
}

void TestSkelora::server_ready_variants()
{
    QFETCH(QString, message);
    QFETCH(bool, ready);

    WsServer server;
    QVERIFY(server.listen());
    client_->set_server_url(server.url().toString());
    QSignalSpy ready_spy(client_, &Skelora::ready);
    QSignalSpy errors(client_, &Skelora::error_occurred);
    client_->start();
    QTRY_COMPARE_WITH_TIMEOUT(server.messages(), QStringList{HELLO}, 10000);

    QVERIFY(send_then_sync(server, message));
    QCOMPARE(ready_spy.size(), ready ? 1 : 0);
    QCOMPARE(client_->is_connected(), ready);
    QCOMPARE(errors.size(), 0);
}

void TestSkelora::restart_sends_hello_again()
{
    WsServer server;
    QVERIFY(server.listen());
    QSignalSpy ready(client_, &Skelora::ready);
    QVERIFY(start_ready(server));

    client_->stop();
    QVERIFY(!client_->is_connected());
    QTRY_COMPARE_WITH_TIMEOUT(server.close_codes(), QList<int>{int(QWebSocketProtocol::CloseCodeNormal)}, 10000);
    client_->stop(); // no effect when stopped

    client_->start();
    QTRY_COMPARE_WITH_TIMEOUT(ready.size(), 2, 10000);
    QVERIFY(client_->is_connected());
    QCOMPARE(server.client_count(), 2);
    QCOMPARE(server.messages(), (QStringList{HELLO, HELLO}));
}

void TestSkelora::restart_from_an_error_handler()
{
    // A caller that restarts the connection from inside the error signal must
    // not pull the socket out from under its own signal emission.
    WsServer server;
    QVERIFY(server.listen());
    QVERIFY(start_ready(server));
    QSignalSpy ready(client_, &Skelora::ready);
    int restarts = 0;
    QObject guard;
    connect(client_, &Skelora::error_occurred, &guard, [this, &restarts] {
        if (++restarts > 1)
            return;
        client_->stop();
        client_->start();
    });

    server.abort_clients();
    QTRY_COMPARE_WITH_TIMEOUT(ready.size(), 1, 10000);
    QVERIFY(client_->is_connected());
    QCOMPARE(server.client_count(), 2);
    QCOMPARE(restarts, 1);
}

void TestSkelora::reconnects_by_itself_when_asked_data()
{
    QTest::addColumn<bool>("abrupt");
    QTest::addColumn<QString>("reason");
    QTest::newRow("service closes the connection") << false << QStringLiteral("The service closed the connection");
    QTest::newRow("connection dropped") << true << QStringLiteral("The remote host closed the connection");
}

void TestSkelora::reconnects_by_itself_when_asked()
{
    QFETCH(bool, abrupt);
    QFETCH(QString, reason);
    WsServer server;
    QVERIFY(server.listen());
    QVERIFY(start_ready(server));
    client_->set_reconnect(true);
    QSignalSpy ready(client_, &Skelora::ready);
    QSignalSpy lost(client_, &Skelora::connection_lost);

    if (abrupt)
        server.abort_clients();
    else
        server.close_clients();
    QVERIFY(lost.wait(10000));
    QCOMPARE(lost.first().at(0).toString(), reason);
    // The first wait: half a second, give or take a tenth.
    QVERIFY2(lost.first().at(1).toInt() >= 450 && lost.first().at(1).toInt() <= 550,
             qPrintable(lost.first().at(1).toString()));
    QVERIFY(!client_->is_connected());
    client_->set_server_url(QStringLiteral("ws://127.0.0.1:1/ws"));
    QCOMPARE(client_->server_url(), server.url().toString()); // not while a retry is planned

    QVERIFY(ready.wait(10000));
    QVERIFY(client_->is_connected());
    QCOMPARE(server.client_count(), 2);
    QCOMPARE(server.messages(), (QStringList{HELLO, HELLO}));
    QCOMPARE(lost.size(), 1);
}

void TestSkelora::service_going_away()
{
    WsServer server;
    QVERIFY(server.listen());
    QVERIFY(start_ready(server));
    QSignalSpy errors(client_, &Skelora::error_occurred);

    server.abort_clients();
    QTRY_VERIFY_WITH_TIMEOUT(!client_->is_connected(), 10000);

    errors.clear();
    client_->send_pose_data("performer1", patterned<nmb::protocol::MocapFrame>(0));
    QCOMPARE(messages_of(errors), QStringList{NOT_CONNECTED});
}

void TestSkelora::unreachable_service_is_reported()
{
    quint16 closed_port = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        closed_port = probe.serverPort();
    }
    client_->set_server_url(QStringLiteral("ws://127.0.0.1:%1/ws").arg(closed_port));
    QSignalSpy errors(client_, &Skelora::error_occurred);
    QSignalSpy ready(client_, &Skelora::ready);

    client_->start();
    QVERIFY(errors.wait(10000));
    QVERIFY(!errors.first().first().toString().isEmpty());
    QVERIFY(!client_->is_connected());
    QCOMPARE(ready.size(), 0);
}

void TestSkelora::mocap_frame_becomes_64_joints()
{
    WsServer server;
    QVERIFY(server.listen());
    QVERIFY(start_ready(server));
    QSignalSpy errors(client_, &Skelora::error_occurred);
    QSignalSpy received(&server, &WsServer::text_received);
    auto frame = patterned<nmb::protocol::MocapFrame>(nmb::protocol::MocapFrame::ID);
    std::memset(frame.reserved, 0x7f, sizeof frame.reserved); // never read

    const std::int64_t before = now_ms();
    client_->send_pose_data("performer1", frame);
    QVERIFY(received.wait(10000));
    const std::int64_t after = now_ms();
    QCOMPARE(errors.size(), 0);

    const QString text = received.first().first().toString();
    QVERIFY2(text.startsWith(QStringLiteral(R"({"joints":[{"name":"Head","orientation":[1.0,)")), qPrintable(text.left(80)));
    const json message = json::parse(text.toStdString());
    QCOMPARE(message.size(), std::size_t(4));
    QCOMPARE(message["type"].get<std::string>(), std::string("pose_frame"));
    QCOMPARE(message["skeleton"].get<std::string>(), std::string("performer1"));
    QVERIFY(message["timestamp"].is_number_integer());
    QVERIFY(message["timestamp"].get<std::int64_t>() >= before);
    QVERIFY(message["timestamp"].get<std::int64_t>() <= after);

    const json& joints = message["joints"];
    QCOMPARE(joints.size(), std::size_t(64));
    QCOMPARE(joints[0]["parent"].get<std::string>(), std::string("Neck"));
    QVERIFY(joints[5]["parent"].is_null());
    for (std::size_t i = 0; i < 64; ++i) {
        const auto& description = nmb::protocol::SKELETON_JOINT_DESCRIPTIONS[i];
        const json& joint = joints[i];
        QCOMPARE(joint.size(), std::size_t(4));
        QCOMPARE(joint["name"].get<std::string>(), std::string(description.name));
        if (description.parent != nullptr)
            QCOMPARE(joint["parent"].get<std::string>(), std::string(description.parent));
        else
            QVERIFY(joint["parent"].is_null());
        const auto& expected = frame.poses[i];
        QCOMPARE(joint["position"].get<std::vector<double>>(),
                 (std::vector<double>{expected.position.x, expected.position.y, expected.position.z}));
        QCOMPARE(joint["orientation"].get<std::vector<double>>(),
                 (std::vector<double>{expected.orientation.w, expected.orientation.x,
                                      expected.orientation.y, expected.orientation.z}));
    }
}

void TestSkelora::body_and_hand_frames_data()
{
    QTest::addColumn<int>("kind"); // 1 body, 3 or 4 hand
    QTest::newRow("body frame") << 1;
    QTest::newRow("hand frame with ID 3") << 3;
    QTest::newRow("hand frame with ID 4") << 4;
}

void TestSkelora::body_and_hand_frames()
{
    QFETCH(int, kind);
    using namespace nmb::protocol;

    WsServer server;
    QVERIFY(server.listen());
    QVERIFY(start_ready(server));
    QSignalSpy received(&server, &WsServer::text_received);

    std::vector<JointDescription> expected;
    if (kind == 1) {
        client_->send_pose_data("body", patterned<HumanBodyFrame>(HumanBodyFrame::ID));
        for (const std::int32_t index : HUMAN_BODY_JOINTS)
            expected.push_back(SKELETON_JOINT_DESCRIPTIONS[std::size_t(index)]);
    } else {
        client_->send_pose_data("hand", patterned<HumanHandFrame>(std::uint16_t(kind)));
        expected.assign(HAND_JOINT_DESCRIPTIONS.begin(), HAND_JOINT_DESCRIPTIONS.end());
    }
    QVERIFY(received.wait(10000));
    const json joints = json::parse(received.first().first().toString().toStdString())["joints"];

    QCOMPARE(joints.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        QCOMPARE(joints[i]["name"].get<std::string>(), std::string(expected[i].name));
        QCOMPARE(joints[i]["parent"].is_null(), expected[i].parent == nullptr);
        QCOMPARE(joints[i]["position"][0].get<double>(), double(patterned_pose(int(i)).position.x));
    }
    if (kind == 1) {
        QCOMPARE(joints[0]["name"].get<std::string>(), std::string("Waist"));
        QCOMPARE(joints[3]["name"].get<std::string>(), std::string("Spine2"));
        QCOMPARE(joints[6]["name"].get<std::string>(), std::string("Spine1"));
        QCOMPARE(joints[23]["name"].get<std::string>(), std::string("RightHand"));
    } else {
        QCOMPARE(joints[15]["name"].get<std::string>(), std::string("Arm"));
        QCOMPARE(joints[16]["parent"].get<std::string>(), std::string("Arm"));
        QCOMPARE(joints[0]["parent"].get<std::string>(), std::string("Wrist"));
    }
}

void TestSkelora::frame_types_in_turn_keep_their_joints()
{
    using namespace nmb::protocol;
    WsServer server;
    QVERIFY(server.listen());
    QVERIFY(start_ready(server));
    QSignalSpy received(&server, &WsServer::text_received);

    // Per frame sent: its joint count, first joint name and first x position.
    struct Expected {
        std::size_t joints;
        std::string first_name;
        float first_x;
    };
    std::vector<Expected> expected;
    const auto mocap = [&](float x) {
        auto frame = patterned<MocapFrame>(MocapFrame::ID);
        frame.poses[0].position.x = x;
        client_->send_pose_data("s", frame);
        expected.push_back({64, SKELETON_JOINT_DESCRIPTIONS[0].name, x});
    };
    const auto hand = [&](float x) {
        auto frame = patterned<HumanHandFrame>(HumanHandFrame::ID);
        frame.poses[0].position.x = x;
        client_->send_pose_data("s", frame);
        expected.push_back({22, HAND_JOINT_DESCRIPTIONS[0].name, x});
    };
    const auto body = [&](float x) {
        auto frame = patterned<HumanBodyFrame>(HumanBodyFrame::ID);
        frame.poses[0].position.x = x;
        client_->send_pose_data("s", frame);
        expected.push_back({24, SKELETON_JOINT_DESCRIPTIONS[std::size_t(HUMAN_BODY_JOINTS[0])].name, x});
    };
    mocap(1.0f);
    mocap(2.0f);
    hand(3.0f);
    body(4.0f);
    hand(5.0f);
    mocap(6.0f);
    QTRY_COMPARE_WITH_TIMEOUT(received.size(), int(expected.size()), 10000);

    for (std::size_t i = 0; i < expected.size(); ++i) {
        const json joints = json::parse(received.at(int(i)).first().toString().toStdString())["joints"];
        QCOMPARE(joints.size(), expected[i].joints);
        QCOMPARE(joints[0]["name"].get<std::string>(), expected[i].first_name);
        QCOMPARE(joints[0]["position"][0].get<float>(), expected[i].first_x);
        QCOMPARE(joints.back()["position"][0].get<float>(), patterned_pose(int(expected[i].joints - 1)).position.x);
    }
}

void TestSkelora::invalid_frames_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("frame_id");
    QTest::addColumn<int>("payload_length");
    QTest::addColumn<QString>("error");

    const QString mocap = QStringLiteral("Invalid Mocap frame ID or payload length.");
    const QString body = QStringLiteral("Invalid HumanBody frame ID or payload length.");
    const QString hand = QStringLiteral("Invalid HumanHand frame ID or payload length.");
    QTest::newRow("Mocap payload one byte short") << 0 << 0 << 1849 << mocap;
    QTest::newRow("Mocap payload one byte long") << 0 << 0 << 1851 << mocap;
    QTest::newRow("Mocap with the body ID") << 0 << 1 << 1850 << mocap;
    QTest::newRow("body payload one byte short") << 1 << 1 << 675 << body;
    QTest::newRow("body with the Mocap ID") << 1 << 0 << 676 << body;
    QTest::newRow("hand payload one byte short") << 3 << 3 << 619 << hand;
    QTest::newRow("hand with ID 2") << 3 << 2 << 620 << hand;
    QTest::newRow("hand with ID 5") << 3 << 5 << 620 << hand;
}

void TestSkelora::invalid_frames()
{
    QFETCH(int, kind);
    QFETCH(int, frame_id);
    QFETCH(int, payload_length);
    QFETCH(QString, error);
    using namespace nmb::protocol;

    WsServer server;
    QVERIFY(server.listen());
    QVERIFY(start_ready(server));
    QSignalSpy errors(client_, &Skelora::error_occurred);
    QSignalSpy received(&server, &WsServer::text_received);

    const auto id = std::uint16_t(frame_id);
    const auto length = std::uint16_t(payload_length);
    if (kind == 0) {
        auto frame = patterned<MocapFrame>(id);
        frame.payload_length = length;
        client_->send_pose_data("performer1", frame);
    } else if (kind == 1) {
        auto frame = patterned<HumanBodyFrame>(id);
        frame.payload_length = length;
        client_->send_pose_data("performer1", frame);
    } else {
        auto frame = patterned<HumanHandFrame>(id);
        frame.payload_length = length;
        client_->send_pose_data("performer1", frame);
    }
    QCOMPARE(messages_of(errors), QStringList{error});

    // The next valid frame is the first thing the service sees.
    client_->send_pose_data("next", patterned<MocapFrame>(MocapFrame::ID));
    QVERIFY(received.wait(10000));
    QCOMPARE(received.size(), 1);
    QCOMPARE(json::parse(received.first().first().toString().toStdString())["skeleton"].get<std::string>(),
             std::string("next"));
}

void TestSkelora::pose_list_checks_data()
{
    QTest::addColumn<QString>("skeleton");
    QTest::addColumn<QString>("bad"); // which value of the second pose to spoil
    QTest::addColumn<bool>("connected");
    QTest::addColumn<QString>("error");

    const QString empty_id = QStringLiteral("Skeleton ID must not be empty.");
    const QString invalid = QStringLiteral("Pose frame contains an invalid joint.");
    QTest::newRow("valid list") << "s" << "" << true << "";
    QTest::newRow("empty skeleton ID") << "" << "" << true << empty_id;
    QTest::newRow("empty skeleton ID checked before the joints") << "" << "nan" << true << empty_id;
    QTest::newRow("empty joint name") << "s" << "name" << true << invalid;
    QTest::newRow("NaN in the position") << "s" << "nan" << true << invalid;
    QTest::newRow("infinity in the orientation") << "s" << "inf" << true << invalid;
    QTest::newRow("joints checked before the connection") << "s" << "inf" << false << invalid;
    QTest::newRow("not connected") << "s" << "" << false << NOT_CONNECTED;
}

void TestSkelora::pose_list_checks()
{
    QFETCH(QString, skeleton);
    QFETCH(QString, bad);
    QFETCH(bool, connected);
    QFETCH(QString, error);

    WsServer server;
    QVERIFY(server.listen());
    if (connected)
        QVERIFY(start_ready(server));
    QSignalSpy errors(client_, &Skelora::error_occurred);
    QSignalSpy received(&server, &WsServer::text_received);

    Skelora::PoseList poses{pose("Waist"), pose("Spine1", "Waist")};
    if (bad == QLatin1String("name"))
        poses[1].name.clear();
    else if (bad == QLatin1String("nan"))
        poses[1].position[2] = std::nanf("");
    else if (bad == QLatin1String("inf"))
        poses[1].orientation[3] = -INFINITY;
    client_->send_pose_list(skeleton.toStdString(), poses);

    if (error.isEmpty()) {
        QVERIFY(received.wait(10000));
        QCOMPARE(errors.size(), 0);
        QCOMPARE(pose_frames(server).size(), std::size_t(1));
    } else {
        QCOMPARE(messages_of(errors), QStringList{error});
        if (connected) {
            client_->send_pose_list("after", {pose("Waist")});
            QVERIFY(received.wait(10000));
            QCOMPARE(pose_frames(server).size(), std::size_t(1));
            QCOMPARE(pose_frames(server).front()["skeleton"].get<std::string>(), std::string("after"));
        }
    }
}

void TestSkelora::pose_list_needs_the_handshake()
{
    WsServer server; // never answers hello
    QVERIFY(server.listen());
    client_->set_server_url(server.url().toString());
    client_->start();
    QTRY_COMPARE_WITH_TIMEOUT(server.messages(), QStringList{HELLO}, 10000);
    QSignalSpy errors(client_, &Skelora::error_occurred);

    client_->send_pose_list("s", {pose("Waist")});
    QCOMPARE(messages_of(errors), QStringList{NOT_CONNECTED});
}

void TestSkelora::pose_store()
{
    WsServer server;
    QVERIFY(server.listen());
    QSignalSpy errors(client_, &Skelora::error_occurred);

    // Stored while stopped; nothing is sent, and sending needs the connection.
    client_->set_pose_data("store", pose("Waist", "", 1.0f));
    client_->set_pose_data("store", pose("Chest", "Waist", 2.0f));
    client_->set_pose_data("store", pose("Abdomen", "Waist", 3.0f));
    client_->set_pose_data("store", pose("Chest", "Spine2", 4.0f)); // overwrites by name
    QCOMPARE(errors.size(), 0);
    client_->send_pose_data("store");
    QCOMPARE(messages_of(errors), QStringList{NOT_CONNECTED});

    QVERIFY(start_ready(server));
    QCOMPARE(server.messages(), QStringList{HELLO});
    errors.clear();
    client_->send_pose_data("nothing stored here");
    QCOMPARE(messages_of(errors), QStringList{QStringLiteral("No pose data exists for the requested skeleton.")});

    QSignalSpy received(&server, &WsServer::text_received);
    client_->send_pose_data("store");
    QVERIFY(received.wait(10000));
    const json joints = json::parse(received.first().first().toString().toStdString())["joints"];
    QCOMPARE(joints.size(), std::size_t(3));
    QCOMPARE(joints[0]["name"].get<std::string>(), std::string("Abdomen"));
    QCOMPARE(joints[1]["name"].get<std::string>(), std::string("Chest"));
    QCOMPARE(joints[1]["parent"].get<std::string>(), std::string("Spine2"));
    QCOMPARE(joints[1]["position"][0].get<double>(), 4.0);
    QCOMPARE(joints[2]["name"].get<std::string>(), std::string("Waist"));
    QVERIFY(joints[2]["parent"].is_null());
    QCOMPARE(errors.size(), 1);
}

void TestSkelora::pose_store_refusals_data()
{
    QTest::addColumn<QString>("skeleton");
    QTest::addColumn<QString>("name");
    QTest::addColumn<float>("value");
    QTest::addColumn<QString>("error");

    const QString empty = QStringLiteral("Skeleton ID and pose name must not be empty.");
    const QString finite = QStringLiteral("Pose position and rotation must contain only finite values.");
    QTest::newRow("empty skeleton ID") << "" << "Waist" << 1.0f << empty;
    QTest::newRow("empty pose name") << "refused" << "" << 1.0f << empty;
    QTest::newRow("NaN") << "refused" << "Waist" << std::nanf("") << finite;
    QTest::newRow("infinity") << "refused" << "Waist" << float(INFINITY) << finite;
}

void TestSkelora::pose_store_refusals()
{
    QFETCH(QString, skeleton);
    QFETCH(QString, name);
    QFETCH(float, value);
    QFETCH(QString, error);

    WsServer server;
    QVERIFY(server.listen());
    QVERIFY(start_ready(server));
    QSignalSpy errors(client_, &Skelora::error_occurred);

    client_->set_pose_data(skeleton.toStdString(), pose(name.toStdString(), "", value));
    QCOMPARE(messages_of(errors), QStringList{error});
    // Nothing was stored for the skeleton.
    client_->send_pose_data(skeleton.toStdString());
    QCOMPARE(errors.size(), 2);
    QCOMPARE(errors.last().first().toString(), QStringLiteral("No pose data exists for the requested skeleton."));
}

void TestSkelora::get_pose_data_rules_data()
{
    QTest::addColumn<QString>("joints"); // the "joint" array; the skeleton is "s1"
    QTest::addColumn<QString>("message"); // used instead when not empty
    QTest::addColumn<QStringList>("interest");
    QTest::addColumn<bool>("signalled");
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QString>("error");

    const QString valid = QStringLiteral(R"({"name":"Head","parent":"Neck","position":[1,2,3],"orientation":[1,0,0,0]})");
    const auto joint = [](const QString& name, const QString& rest) {
        return QStringLiteral(R"({"name":%1,%2})").arg(name, rest);
    };
    const QString good = QStringLiteral(R"("position":[1,2,3],"orientation":[1,0,0,0])");
    const QString shape = QStringLiteral("Invalid get_pose_data message.");
    const QString empty_id = QStringLiteral("Invalid get_pose_data skeleton ID.");
    const QStringList none;
    const QStringList head{QStringLiteral("Head")};

    QTest::newRow("one valid joint") << "[" + valid + "]" << "" << none << true << head << "";
    QTest::newRow("valid joint and one with a two-element position")
        << "[" + valid + "," + joint(R"("Neck")", R"("position":[1,2],"orientation":[1,0,0,0])") + "]"
        << "" << none << true << head << "";
    QTest::newRow("elements that are not objects") << "[5,\"Head\",null,[]," + valid + "]" << "" << none << true << head << "";
    QTest::newRow("name missing") << "[" + QStringLiteral(R"({"position":[1,2,3],"orientation":[1,0,0,0]})") + "," + valid + "]"
                                  << "" << none << true << head << "";
    QTest::newRow("name not a string") << "[" + joint("7", good) + "]" << "" << none << true << none << "";
    QTest::newRow("name empty") << "[" + joint(R"("")", good) + "]" << "" << none << true << none << "";
    QTest::newRow("parent null") << "[" + joint(R"("Waist")", R"("parent":null,)" + good) + "]"
                                 << "" << none << true << QStringList{"Waist"} << "";
    QTest::newRow("parent missing") << "[" + joint(R"("Waist")", good) + "]" << "" << none << true << QStringList{"Waist"} << "";
    QTest::newRow("parent a number") << "[" + joint(R"("Neck")", R"("parent":3,)" + good) + "]" << "" << none << true << none << "";
    QTest::newRow("parent an object") << "[" + joint(R"("Neck")", R"("parent":{},)" + good) + "]" << "" << none << true << none << "";
    QTest::newRow("orientation with five numbers")
        << "[" + joint(R"("Neck")", R"("position":[1,2,3],"orientation":[1,0,0,0,0])") + "]" << "" << none << true << none << "";
    QTest::newRow("orientation missing") << "[" + joint(R"("Neck")", R"("position":[1,2,3])") + "]" << "" << none << true << none << "";
    QTest::newRow("position an object")
        << "[" + joint(R"("Neck")", R"("position":{"x":1},"orientation":[1,0,0,0])") + "]" << "" << none << true << none << "";
    QTest::newRow("number given as a string")
        << "[" + joint(R"("Neck")", R"("position":[1,"2",3],"orientation":[1,0,0,0])") + "]" << "" << none << true << none << "";
    QTest::newRow("boolean in the orientation")
        << "[" + joint(R"("Neck")", R"("position":[1,2,3],"orientation":[true,0,0,0])") + "]" << "" << none << true << none << "";
    QTest::newRow("1e39 beyond the float range")
        << "[" + joint(R"("Neck")", R"("position":[1e39,2,3],"orientation":[1,0,0,0])") + "]" << "" << none << true << none << "";
    QTest::newRow("-1e39 in the orientation")
        << "[" + joint(R"("Neck")", R"("position":[1,2,3],"orientation":[-1e39,0,0,0])") + "]" << "" << none << true << none << "";
    QTest::newRow("3.4e38 within the float range")
        << "[" + joint(R"("Neck")", R"("position":[3.4e38,-3.4e38,3],"orientation":[1,0,0,0])") + "]"
        << "" << none << true << QStringList{"Neck"} << "";
    QTest::newRow("integer, unsigned and negative numbers")
        << "[" + joint(R"("Neck")", R"("position":[1,18446744073709551615,-3],"orientation":[1,0,0,0])") + "]"
        << "" << none << true << QStringList{"Neck"} << "";
    QTest::newRow("no joints") << "[]" << "" << none << true << none << "";
    QTest::newRow("joint order kept")
        << "[" + joint(R"("B")", good) + "," + joint(R"("A")", good) + "]" << "" << none << true << QStringList{"B", "A"} << "";

    QTest::newRow("skeleton missing") << "" << R"({"type":"get_pose_data","joint":[]})" << none << false << none << shape;
    QTest::newRow("skeleton a number") << "" << R"({"type":"get_pose_data","skeleton":1,"joint":[]})" << none << false << none << shape;
    QTest::newRow("joint missing") << "" << R"({"type":"get_pose_data","skeleton":"s1"})" << none << false << none << shape;
    QTest::newRow("joint an object") << "" << R"({"type":"get_pose_data","skeleton":"s1","joint":{}})" << none << false << none << shape;
    QTest::newRow("empty skeleton") << "" << R"({"type":"get_pose_data","skeleton":"","joint":[]})" << none << false << none << empty_id;
    QTest::newRow("empty skeleton with an interest list")
        << "" << R"({"type":"get_pose_data","skeleton":"","joint":[]})" << QStringList{"s2"} << false << none << empty_id;

    QTest::newRow("skeleton in the interest list") << "[" + valid + "]" << "" << QStringList{"s0", "s1"} << true << head << "";
    QTest::newRow("skeleton outside the interest list") << "[" + valid + "]" << "" << QStringList{"s2"} << false << none << "";
    QTest::newRow("interest list is case-sensitive") << "[" + valid + "]" << "" << QStringList{"S1"} << false << none << "";

    QTest::newRow("type in capitals") << "" << R"({"type":"GET_POSE_DATA","skeleton":"s1","joint":[]})" << none << false << none << "";
    QTest::newRow("not JSON") << "" << "get_pose_data" << none << false << none << "";
}

void TestSkelora::get_pose_data_rules()
{
    QFETCH(QString, joints);
    QFETCH(QString, message);
    QFETCH(QStringList, interest);
    QFETCH(bool, signalled);
    QFETCH(QStringList, names);
    QFETCH(QString, error);

    WsServer server;
    QVERIFY(server.listen());
    QVERIFY(start_ready(server));
    std::vector<std::string> skeletons;
    for (const QString& skeleton : std::as_const(interest))
        skeletons.push_back(skeleton.toStdString());
    if (!skeletons.empty())
        skeletons.push_back(MARKER);
    client_->set_interested_skeletons(skeletons);
    QSignalSpy poses(client_, &Skelora::pose_data_received);
    QSignalSpy errors(client_, &Skelora::error_occurred);

    if (message.isEmpty())
        message = QStringLiteral(R"({"type":"get_pose_data","skeleton":"s1","joint":%1})").arg(joints);
    QVERIFY(send_then_sync(server, message));

    QCOMPARE(messages_of(errors), error.isEmpty() ? QStringList() : QStringList{error});
    QCOMPARE(poses.size(), signalled ? 2 : 1); // the marker comes last
    if (signalled) {
        QCOMPARE(poses.first().at(0).value<std::string>(), std::string("s1"));
        QStringList got;
        for (const Skelora::PoseData& data : poses.first().at(1).value<Skelora::PoseList>())
            got.append(QString::fromStdString(data.name));
        QCOMPARE(got, names);
    }
    QCOMPARE(server.messages(), QStringList{HELLO}); // nothing is answered
}

void TestSkelora::get_pose_data_values()
{
    WsServer server;
    QVERIFY(server.listen());
    QVERIFY(start_ready(server));
    QSignalSpy poses(client_, &Skelora::pose_data_received);

    QVERIFY(server.send_text(QStringLiteral(
        R"({"type":"get_pose_data","skeleton":"s1","joint":[)"
        R"({"name":"Neck","parent":"Chest","position":[3.4e38,-0.5,7],"orientation":[0.25,-1,0,1e-3]},)"
        R"({"name":"Waist","parent":null,"position":[0,0,0],"orientation":[1,0,0,0]}]})")));
    QVERIFY(poses.wait(10000));

    const auto list = poses.first().at(1).value<Skelora::PoseList>();
    QCOMPARE(list.size(), std::size_t(2));
    QCOMPARE(list[0].parent, std::string("Chest"));
    QCOMPARE(list[0].position, (std::array<float, 3>{3.4e38f, -0.5f, 7.0f}));
    QCOMPARE(list[0].orientation, (std::array<float, 4>{0.25f, -1.0f, 0.0f, 1e-3f}));
    QCOMPARE(list[1].parent, std::string());
}

void TestSkelora::server_url_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("stored"); // empty: refused

    QTest::newRow("ws with host, port and path") << "ws://127.0.0.1:8080/ws" << "ws://127.0.0.1:8080/ws";
    QTest::newRow("spaces around and WSS in capitals") << "  WSS://127.0.0.1:8080/ws \t" << "WSS://127.0.0.1:8080/ws";
    QTest::newRow("host name") << "wss://pose.example:443/ws" << "wss://pose.example:443/ws";
    QTest::newRow("http scheme") << "http://127.0.0.1:8080/ws" << "";
    QTest::newRow("ws without a host") << "ws:///ws" << "";
    QTest::newRow("bare host and port") << "127.0.0.1:8080" << "";
    QTest::newRow("empty text") << "   " << "";
}

void TestSkelora::server_url()
{
    QFETCH(QString, url);
    QFETCH(QString, stored);

    const QString before = QStringLiteral("ws://127.0.0.1:1/before");
    client_->set_server_url(before);
    QCOMPARE(client_->server_url(), before);
    QSignalSpy errors(client_, &Skelora::error_occurred);

    client_->set_server_url(url);
    QCOMPARE(client_->server_url(), stored.isEmpty() ? before : stored);
    QCOMPARE(messages_of(errors), stored.isEmpty() ? QStringList{URL_ERROR} : QStringList());
}

void TestSkelora::server_url_only_while_stopped()
{
    WsServer server;
    QVERIFY(server.listen());
    QVERIFY(start_ready(server));
    QSignalSpy errors(client_, &Skelora::error_occurred);

    client_->set_server_url(QStringLiteral("ws://127.0.0.1:9/other"));
    QCOMPARE(messages_of(errors),
             QStringList{QStringLiteral("Stop the pose visualization connection before changing its URL.")});
    QCOMPARE(client_->server_url(), server.url().toString());
    QVERIFY(client_->is_connected());
}

int main(int argc, char** argv)
{
    // Child modes of instance_refuses_wrong_callers: each ends in an abort.
    if (argc > 1 && qstrcmp(argv[1], "--instance-without-application") == 0) {
        Skelora::instance();
        return 0;
    }
    if (argc > 1 && qstrcmp(argv[1], "--instance-off-thread") == 0) {
        QCoreApplication app(argc, argv);
        std::thread caller([] { Skelora::instance(); });
        caller.join();
        return 0;
    }
    QCoreApplication app(argc, argv);
    TestSkelora test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_skelora.moc"
