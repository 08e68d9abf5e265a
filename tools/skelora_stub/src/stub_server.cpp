#include "stub_server.h"

#include <QFile>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QWebSocket>

#include <nlohmann/json.hpp>

namespace nmb {

namespace {

using nlohmann::json;

QString peer_text(const QWebSocket* socket)
{
    return socket->peerAddress().toString() + QLatin1Char(':') + QString::number(socket->peerPort());
}

bool is_string(const json& object, const char* key)
{
    const auto it = object.find(key);
    return it != object.end() && it->is_string();
}

QString to_qstring(const std::string& text)
{
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

// A joint a freshly started service can offer before it has seen any pose.
json resting_joints()
{
    return json::array({json{{"name", "Head"},
                             {"parent", "Neck"},
                             {"position", {0.0, 1.7, 0.0}},
                             {"orientation", {1.0, 0.0, 0.0, 0.0}}}});
}

// Parses one message, keeping of a top-level "joints" array only its first
// element and counting the rest as they go by: a pose_frame's other joints
// are never built into the document, which was most of the stand-in's time
// per message. Malformed text gives a discarded value, as a plain parse does.
json parse_keeping_first_joint(const std::string& text, std::size_t& joint_count)
{
    joint_count = 0;
    bool at_joints_key = false;
    bool in_joints = false;
    const json::parser_callback_t keep = [&](int depth, json::parse_event_t event, json& parsed) {
        switch (event) {
        case json::parse_event_t::key:
            if (depth == 1)
                at_joints_key = parsed == "joints";
            return true;
        case json::parse_event_t::array_start:
            if (depth == 1 && at_joints_key) {
                // A repeated key replaces the earlier array, so it counts anew.
                in_joints = true;
                joint_count = 0;
                return true;
            }
            break;
        case json::parse_event_t::array_end:
            if (depth == 1)
                in_joints = false;
            return true;
        case json::parse_event_t::object_start:
        case json::parse_event_t::value:
            break;
        case json::parse_event_t::object_end:
            return true;
        }
        if (depth != 2 || !in_joints)
            return true;
        // One element of the joints array begins (or is a plain value).
        return joint_count++ == 0;
    };
    return json::parse(text, keep, false);
}

} // namespace

StubServer::StubServer(const QString& path, bool secure, QObject* parent)
    : QObject(parent)
    , server_(QStringLiteral("nimbra_skelora_stub"),
              secure ? QWebSocketServer::SecureMode : QWebSocketServer::NonSecureMode)
    , path_(path)
{
    QObject::connect(&server_, &QWebSocketServer::newConnection, this, &StubServer::accept_pending);
    QObject::connect(&server_, &QWebSocketServer::serverError, this,
                     [this](QWebSocketProtocol::CloseCode) {
                         qWarning().noquote() << "Handshake refused:" << server_.errorString();
                     });
}

StubServer::~StubServer()
{
    // Sockets are children of the server; cut them loose first so their
    // teardown signals never reach a half-destroyed stub.
    for (QWebSocket* socket : std::as_const(senders_)) {
        QObject::disconnect(socket, nullptr, this, nullptr);
        delete socket;
    }
    server_.close();
}

bool StubServer::load_tls(const QString& certificate_path, const QString& key_path)
{
    QFile certificate_file(certificate_path);
    if (!certificate_file.open(QIODevice::ReadOnly)) {
        error_ = QStringLiteral("Unable to read certificate file: %1").arg(certificate_path);
        return false;
    }
    const QList<QSslCertificate> chain = QSslCertificate::fromData(certificate_file.readAll(), QSsl::Pem);
    if (chain.isEmpty()) {
        error_ = QStringLiteral("No PEM certificate in: %1").arg(certificate_path);
        return false;
    }
    QFile key_file(key_path);
    if (!key_file.open(QIODevice::ReadOnly)) {
        error_ = QStringLiteral("Unable to read key file: %1").arg(key_path);
        return false;
    }
    const QByteArray key_pem = key_file.readAll();
    QSslKey key(key_pem, QSsl::Rsa, QSsl::Pem);
    if (key.isNull())
        key = QSslKey(key_pem, QSsl::Ec, QSsl::Pem);
    if (key.isNull()) {
        error_ = QStringLiteral("No usable PEM private key in: %1").arg(key_path);
        return false;
    }
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificateChain(chain);
    configuration.setPrivateKey(key);
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    server_.setSslConfiguration(configuration);
    return true;
}

bool StubServer::listen(const QHostAddress& address, quint16 port)
{
    if (!server_.listen(address, port)) {
        error_ = server_.errorString();
        return false;
    }
    return true;
}

QString StubServer::url() const
{
    QUrl url = server_.serverUrl();
    url.setPath(path_);
    return url.toString();
}

QString StubServer::error_string() const
{
    return error_;
}

void StubServer::set_request_skeleton(const std::string& skeleton)
{
    request_skeleton_ = skeleton;
}

void StubServer::accept_pending()
{
    while (QWebSocket* socket = server_.nextPendingConnection()) {
        if (socket->requestUrl().path() != path_) {
            qWarning().noquote() << "Refused" << peer_text(socket) << "on path" << socket->requestUrl().path();
            socket->close(QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("Unknown path"));
            socket->deleteLater();
            continue;
        }
        senders_.append(socket);
        qInfo().noquote() << "Sender connected from" << peer_text(socket);
        QObject::connect(socket, &QWebSocket::textMessageReceived, this,
                         [this, socket](const QString& text) { handle_text(socket, text); });
        QObject::connect(socket, &QWebSocket::disconnected, this, [this, socket] { forget(socket); });
    }
}

void StubServer::forget(QWebSocket* socket)
{
    if (!senders_.removeOne(socket))
        return;
    ready_senders_.removeOne(socket);
    qInfo().noquote() << "Sender disconnected:" << peer_text(socket);
    socket->deleteLater();
}

void StubServer::handle_text(QWebSocket* socket, const QString& text)
{
    std::size_t joint_count = 0;
    const json message = parse_keeping_first_joint(text.toStdString(), joint_count);
    if (!message.is_object() || !is_string(message, "type")) {
        qWarning().noquote() << "Ignored a message that is not a typed JSON object from" << peer_text(socket);
        return;
    }
    const std::string type = message["type"].get<std::string>();
    if (type == "pose_frame") {
        handle_pose_frame(socket, message, joint_count, text);
        return;
    }
    if (type != "hello") {
        qWarning().noquote() << "Ignored message of type" << to_qstring(type) << "from" << peer_text(socket);
        return;
    }
    socket->sendTextMessage(QStringLiteral(R"({"protocol":"pose_frame.v1","type":"server_ready"})"));
    if (!ready_senders_.contains(socket))
        ready_senders_.append(socket);
    qInfo().noquote() << "Sent server_ready to" << peer_text(socket);
    if (!request_skeleton_.empty())
        send_pose_request(socket, request_skeleton_);
}

void StubServer::handle_pose_frame(QWebSocket* socket, const json& message, std::size_t joint_count,
                                   const QString& text)
{
    if (!is_string(message, "skeleton") || !message.contains("joints") || !message["joints"].is_array()) {
        qWarning().noquote() << "Malformed pose_frame from" << peer_text(socket);
        return;
    }
    const std::string skeleton = message["skeleton"].get<std::string>();
    const json& joints = message["joints"];
    QString line = QStringLiteral("pose_frame skeleton=%1 joints=%2").arg(to_qstring(skeleton)).arg(joint_count);
    if (!joints.empty()) {
        const json& first = joints.front();
        const bool named = first.is_object() && is_string(first, "name");
        const bool placed = first.is_object() && first.contains("position") && first["position"].is_array();
        line += QStringLiteral(" first=%1 position=%2")
                    .arg(named ? to_qstring(first["name"].get<std::string>()) : QStringLiteral("?"),
                         placed ? to_qstring(first["position"].dump()) : QStringLiteral("?"));
    }
    // The text is shared, not copied; it is parsed again only when a pose
    // request needs its joints.
    last_frames_[skeleton] = text;
    Q_EMIT pose_frame_received(line);
}

int StubServer::request_pose_data(const std::string& skeleton)
{
    for (QWebSocket* socket : std::as_const(ready_senders_))
        send_pose_request(socket, skeleton);
    return int(ready_senders_.size());
}

void StubServer::send_pose_request(QWebSocket* socket, const std::string& skeleton)
{
    json joints = resting_joints();
    if (const auto it = last_frames_.find(skeleton); it != last_frames_.end()) {
        // Only frames that passed the shape check are kept.
        json frame = json::parse(it->second.toStdString(), nullptr, false);
        joints = std::move(frame["joints"]);
    }
    const json request = {{"type", "get_pose_data"}, {"skeleton", skeleton}, {"joint", std::move(joints)}};
    socket->sendTextMessage(to_qstring(request.dump(-1, ' ', false, json::error_handler_t::replace)));
    qInfo().noquote() << "Sent get_pose_data for skeleton" << to_qstring(skeleton) << "to" << peer_text(socket);
}

} // namespace nmb
