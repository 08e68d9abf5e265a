#include "skelora.h"

#include "pose_frame_writer.h"
#include "skelora_messages.h"

#include <nmb/protocol/joint_tables.h>
#include <nmb/websocket_adapter.h>

#include <QCoreApplication>
#include <QPointer>
#include <QRandomGenerator>
#include <QThread>
#include <QUrl>

#include <algorithm>
#include <chrono>

namespace nmb {

namespace {

const QString DEFAULT_SERVER_URL = QStringLiteral("wss://127.0.0.1:8080/ws");
const QString URL_ERROR = QStringLiteral("Pose visualization URL must use ws or wss and include a host.");
const QString URL_WHILE_STARTED_ERROR =
    QStringLiteral("Stop the pose visualization connection before changing its URL.");
const QString NOT_CONNECTED_ERROR = QStringLiteral("Pose visualization service is not connected.");
const QString NO_POSE_DATA_ERROR = QStringLiteral("No pose data exists for the requested skeleton.");
const QString EMPTY_SKELETON_ERROR = QStringLiteral("Skeleton ID must not be empty.");
const QString INVALID_JOINT_ERROR = QStringLiteral("Pose frame contains an invalid joint.");
const QString EMPTY_NAME_ERROR = QStringLiteral("Skeleton ID and pose name must not be empty.");
const QString NON_FINITE_ERROR =
    QStringLiteral("Pose position and rotation must contain only finite values.");
const QString INVALID_GET_POSE_DATA_ERROR = QStringLiteral("Invalid get_pose_data message.");
const QString INVALID_GET_POSE_SKELETON_ERROR = QStringLiteral("Invalid get_pose_data skeleton ID.");
const QString INVALID_MOCAP_ERROR = QStringLiteral("Invalid Mocap frame ID or payload length.");
const QString INVALID_BODY_ERROR = QStringLiteral("Invalid HumanBody frame ID or payload length.");
const QString INVALID_HAND_ERROR = QStringLiteral("Invalid HumanHand frame ID or payload length.");
const QString CLOSED_BY_SERVICE = QStringLiteral("The service closed the connection");

// The joints of a frame into `list`, which is kept from frame to frame. The
// names and parents come from one table per frame type and are written only
// when the type changes (`table` remembers which was last); a stream of
// frames of one type then only copies numbers and allocates nothing.
template <typename JointAt>
void fill_frame_poses(Skelora::PoseList& list, const void*& table, const void* frame_table, std::size_t count,
                      JointAt joint_at, const types::Pose* poses)
{
    if (table != frame_table || list.size() != count) {
        list.resize(count);
        for (std::size_t i = 0; i < count; ++i) {
            const protocol::JointDescription& joint = joint_at(i);
            list[i].name.assign(joint.name);
            list[i].parent.assign(joint.parent != nullptr ? joint.parent : "");
        }
        table = frame_table;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const types::Pose& pose = poses[i];
        list[i].position = {pose.position.x, pose.position.y, pose.position.z};
        list[i].orientation = {pose.orientation.w, pose.orientation.x, pose.orientation.y, pose.orientation.z};
    }
}

std::int64_t now_ms()
{
    const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count() / 1'000'000;
}

bool is_websocket_url(const QUrl& url)
{
    const QString scheme = url.scheme().toLower();
    return url.isValid() && !url.host(QUrl::FullyDecoded).isEmpty()
        && (scheme == QLatin1String("ws") || scheme == QLatin1String("wss"));
}

} // namespace

Skelora* Skelora::instance()
{
    const QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr)
        qFatal("Skelora::instance() requires an active QCoreApplication.");
    if (QThread::currentThread() != app->thread())
        qFatal("Skelora::instance() must be called from the QCoreApplication thread.");
    // The client dies with the application object; a later application gets
    // a fresh one instead of a dangling pointer. Only the application thread
    // gets here, so the check-and-create needs no lock.
    static QPointer<Skelora> client;
    if (client.isNull())
        client = new Skelora(QCoreApplication::instance());
    return client.data();
}

Skelora::Skelora(QObject* parent)
    : QObject(parent)
    , server_url_(DEFAULT_SERVER_URL)
    , pose_frame_writer_(std::make_unique<skelora::PoseFrameWriter>())
{
    qRegisterMetaType<std::string>("std::string");
    qRegisterMetaType<PoseData>("nmb::Skelora::PoseData");
    qRegisterMetaType<PoseList>("nmb::Skelora::PoseList");
    retry_timer_.setSingleShot(true);
    connect(&retry_timer_, &QTimer::timeout, this, &Skelora::start);
}

Skelora::~Skelora()
{
    stop();
}

void Skelora::start()
{
    if (adapter_ != nullptr)
        return;
    adapter_ = new WebsocketAdapter(this);
    adapter_->initialize();
    connect(adapter_, &WebsocketAdapter::data_received, this, &Skelora::filter_pose_data);
    connect(adapter_, &WebsocketAdapter::connected, this, &Skelora::begin_handshake);
    connect(adapter_, &WebsocketAdapter::disconnected, this, &Skelora::handle_disconnected);
    connect(adapter_, &WebsocketAdapter::error_occurred, this, &Skelora::forward_adapter_error);
    adapter_->connect(QUrl(server_url_, QUrl::TolerantMode));
}

void Skelora::stop()
{
    retry_timer_.stop();
    backoff_.reset();
    reported_loss_ = false;
    drop_adapter();
}

void Skelora::set_reconnect(bool enabled)
{
    reconnect_ = enabled;
    if (!enabled)
        retry_timer_.stop();
}

void Skelora::drop_adapter()
{
    if (adapter_ == nullptr)
        return;
    server_ready_flag = false;
    WebsocketAdapter* adapter = adapter_;
    adapter_ = nullptr;
    // The old connection must not touch the client any more, and stop() may
    // run inside one of the adapter's own signals (a handler restarting after
    // an error): the adapter goes once control is back in the event loop.
    QObject::disconnect(adapter, nullptr, this, nullptr);
    adapter->disconnect();
    adapter->deleteLater();
}

bool Skelora::is_connected() const
{
    return server_ready_flag && adapter_ != nullptr && adapter_->is_connected();
}

QString Skelora::server_url() const
{
    return server_url_;
}

void Skelora::set_server_url(const QString& url)
{
    if (adapter_ != nullptr || retry_timer_.isActive()) {
        Q_EMIT error_occurred(URL_WHILE_STARTED_ERROR);
        return;
    }
    const QString trimmed = url.trimmed();
    if (!is_websocket_url(QUrl(trimmed, QUrl::TolerantMode))) {
        Q_EMIT error_occurred(URL_ERROR);
        return;
    }
    server_url_ = trimmed;
}

void Skelora::set_interested_skeletons(const std::vector<std::string>& skeletons)
{
    interested_skeletons = skeletons;
}

void Skelora::set_pose_data(const std::string& skeleton_id, const PoseData& pose)
{
    if (skeleton_id.empty() || pose.name.empty()) {
        Q_EMIT error_occurred(EMPTY_NAME_ERROR);
        return;
    }
    if (!skelora::is_sendable(pose)) {
        Q_EMIT error_occurred(NON_FINITE_ERROR);
        return;
    }
    pose_store[skeleton_id][pose.name] = pose;
}

void Skelora::send_pose_data(const std::string& skeleton_id)
{
    if (!is_connected()) {
        Q_EMIT error_occurred(NOT_CONNECTED_ERROR);
        return;
    }
    const auto stored = pose_store.find(skeleton_id);
    if (stored == pose_store.end()) {
        Q_EMIT error_occurred(NO_POSE_DATA_ERROR);
        return;
    }
    PoseList poses;
    poses.reserve(stored->second.size());
    for (const auto& [name, pose] : stored->second)
        poses.push_back(pose);
    send_pose_list(skeleton_id, poses);
}

void Skelora::send_pose_data(const std::string& skeleton_id, const protocol::MocapFrame& frame)
{
    if (frame.frame_id != protocol::MocapFrame::ID
        || frame.payload_length != protocol::MocapFrame::PAYLOAD_SIZE) {
        Q_EMIT error_occurred(INVALID_MOCAP_ERROR);
        return;
    }
    fill_frame_poses(
        frame_poses_, frame_poses_table_, &protocol::SKELETON_JOINT_DESCRIPTIONS, protocol::MocapFrame::POSE_COUNT,
        [](std::size_t i) -> const auto& { return protocol::SKELETON_JOINT_DESCRIPTIONS[i]; }, frame.poses);
    send_pose_list(skeleton_id, frame_poses_);
}

void Skelora::send_pose_data(const std::string& skeleton_id, const protocol::HumanBodyFrame& frame)
{
    if (frame.frame_id != protocol::HumanBodyFrame::ID
        || frame.payload_length != protocol::HumanBodyFrame::PAYLOAD_SIZE) {
        Q_EMIT error_occurred(INVALID_BODY_ERROR);
        return;
    }
    fill_frame_poses(
        frame_poses_, frame_poses_table_, &protocol::HUMAN_BODY_JOINTS, protocol::HumanBodyFrame::POSE_COUNT,
        [](std::size_t k) -> const auto& {
            return protocol::SKELETON_JOINT_DESCRIPTIONS[static_cast<std::size_t>(protocol::HUMAN_BODY_JOINTS[k])];
        },
        frame.poses);
    send_pose_list(skeleton_id, frame_poses_);
}

void Skelora::send_pose_data(const std::string& skeleton_id, const protocol::HumanHandFrame& frame)
{
    if ((frame.frame_id != protocol::HumanHandFrame::ID
         && frame.frame_id != protocol::HumanHandFrame::OTHER_ID)
        || frame.payload_length != protocol::HumanHandFrame::PAYLOAD_SIZE) {
        Q_EMIT error_occurred(INVALID_HAND_ERROR);
        return;
    }
    fill_frame_poses(
        frame_poses_, frame_poses_table_, &protocol::HAND_JOINT_DESCRIPTIONS, protocol::HumanHandFrame::POSE_COUNT,
        [](std::size_t i) -> const auto& { return protocol::HAND_JOINT_DESCRIPTIONS[i]; }, frame.poses);
    send_pose_list(skeleton_id, frame_poses_);
}

void Skelora::send_pose_list(const std::string& skeleton_id, const PoseList& poses)
{
    if (skeleton_id.empty()) {
        Q_EMIT error_occurred(EMPTY_SKELETON_ERROR);
        return;
    }
    if (!std::all_of(poses.begin(), poses.end(), skelora::is_sendable)) {
        Q_EMIT error_occurred(INVALID_JOINT_ERROR);
        return;
    }
    if (!is_connected()) {
        Q_EMIT error_occurred(NOT_CONNECTED_ERROR);
        return;
    }
    const std::string_view message = pose_frame_writer_->write(skeleton_id, poses, now_ms());
    adapter_->write(QByteArray::fromRawData(message.data(), static_cast<qsizetype>(message.size())));
}

void Skelora::begin_handshake()
{
    server_ready_flag = false;
    if (adapter_ == nullptr)
        return;
    const std::string hello = skelora::hello_message();
    adapter_->write(QByteArray::fromRawData(hello.data(), static_cast<qsizetype>(hello.size())));
}

void Skelora::filter_pose_data(const QByteArray& data)
{
    skelora::IncomingMessage message = skelora::parse_message(data);
    switch (message.kind) {
    case skelora::IncomingKind::Ignored:
        return;
    case skelora::IncomingKind::ServerReady:
        if (!server_ready_flag) {
            server_ready_flag = true;
            backoff_.reset();
            reported_loss_ = false;
            Q_EMIT ready();
        }
        return;
    case skelora::IncomingKind::InvalidPoseData:
        Q_EMIT error_occurred(INVALID_GET_POSE_DATA_ERROR);
        return;
    case skelora::IncomingKind::EmptySkeletonId:
        Q_EMIT error_occurred(INVALID_GET_POSE_SKELETON_ERROR);
        return;
    case skelora::IncomingKind::PoseData:
        break;
    }
    if (!interested_skeletons.empty()
        && std::find(interested_skeletons.begin(), interested_skeletons.end(), message.skeleton_id)
            == interested_skeletons.end())
        return;
    Q_EMIT pose_data_received(message.skeleton_id, message.poses);
}

void Skelora::handle_disconnected()
{
    server_ready_flag = false;
    if (!reconnect_ || adapter_ == nullptr)
        return;
    // A refused or broken connection reports its error only after this
    // signal; waiting for the event loop lets that error name the loss.
    QMetaObject::invokeMethod(
        this,
        [this, lost = QPointer<WebsocketAdapter>(adapter_)] {
            if (lost && adapter_ == lost)
                retry_later(CLOSED_BY_SERVICE);
        },
        Qt::QueuedConnection);
}

void Skelora::forward_adapter_error(const QString& message)
{
    server_ready_flag = false;
    // A handler of the error may have restarted the client already; that
    // new connection is not the one that failed.
    const WebsocketAdapter* failed = adapter_;
    Q_EMIT error_occurred(message);
    if (adapter_ == failed)
        retry_later(message);
}

void Skelora::retry_later(const QString& reason)
{
    // The adapter reports one loss through both its error and its
    // disconnected signal; the first one gives up the connection, so the
    // second never arrives.
    if (!reconnect_ || adapter_ == nullptr)
        return;
    drop_adapter();
    const double spread = QRandomGenerator::global()->bounded(2.0) - 1.0;
    const int retry_ms = int(backoff_.next(spread).count());
    retry_timer_.start(retry_ms);
    if (reported_loss_)
        return;
    reported_loss_ = true;
    Q_EMIT connection_lost(reason, retry_ms);
}

} // namespace nmb
