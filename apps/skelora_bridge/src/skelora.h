#pragma once

#include "pose_data.h"

#include <nmb/protocol/mocap_frame.h>

#include <QByteArray>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QTimer>

#include <array>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "reconnect_backoff.h"

namespace nmb {

class WebsocketAdapter;
namespace skelora {
class PoseFrameWriter;
}

// Process-wide client of the Skelora pose visualization service: one
// WebSocket connection, the hello/server_ready handshake, pose_frame messages
// built from Mocap, body and hand frames or from a small pose store, and
// incoming get_pose_data messages turned into pose_data_received.
//
// Every failure is reported through error_occurred; nothing throws. By
// default there is no automatic reconnection: after a failure call stop()
// and start(). With set_reconnect(true) the client tries again by itself
// after a lost or refused connection, waiting longer each time (see
// ReconnectBackoff) until the service is ready again. Lives on the
// application thread only (enforced by instance()).
class Skelora : public QObject {
    Q_OBJECT

public:
    // One named joint pose (see pose_data.h) and a list of them.
    using PoseData = nmb::PoseData;
    using PoseList = nmb::PoseList;

    // The singleton, a child of the application object. Aborts the process
    // when no QCoreApplication exists or when called off its thread.
    static Skelora* instance();

    ~Skelora() override;

    // Opens the connection to server_url() unless one exists; the hello goes
    // out once connected and ready() follows the service's answer.
    void start();
    // Closes and drops the connection and cancels a planned retry; no effect
    // when stopped.
    void stop();
    // Whether a lost or refused connection is tried again by itself
    // (default: no). Turning it off cancels a planned retry.
    void set_reconnect(bool enabled);
    // True once the service answered the handshake on a live connection.
    bool is_connected() const;

    QString server_url() const;
    // Stores `url` trimmed when stopped and it names a ws/wss URL with a host;
    // otherwise emits error_occurred and keeps the old one.
    void set_server_url(const QString& url);

    // Skeleton IDs accepted from get_pose_data; empty accepts all.
    void set_interested_skeletons(const std::vector<std::string>& skeletons);

    // Validates and stores one pose (overwriting by joint name); sends nothing.
    void set_pose_data(const std::string& skeleton_id, const PoseData& pose);

    // Sends every stored joint of `skeleton_id`, in joint-name order.
    void send_pose_data(const std::string& skeleton_id);
    // Send the joints of one frame under `skeleton_id` after checking its
    // frame ID and payload length: 64 Mocap, 24 body or 22 hand joints.
    void send_pose_data(const std::string& skeleton_id, const protocol::MocapFrame& frame);
    void send_pose_data(const std::string& skeleton_id, const protocol::HumanBodyFrame& frame);
    void send_pose_data(const std::string& skeleton_id, const protocol::HumanHandFrame& frame);

    // Validates `poses` and sends them as one pose_frame message.
    void send_pose_list(const std::string& skeleton_id, const PoseList& poses);

    // Handlers of the adapter's connected and data_received signals.
    void begin_handshake();
    void filter_pose_data(const QByteArray& data);

Q_SIGNALS:
    void ready();
    void error_occurred(const QString& message);
    void pose_data_received(const std::string& skeleton_id, const nmb::Skelora::PoseList& poses);
    // With reconnection on: the connection was lost or refused for `reason`
    // and the next attempt comes in `retry_ms` milliseconds. Emitted once
    // per loss; the attempts that fail after it until the service is ready
    // again report through error_occurred only.
    void connection_lost(const QString& reason, int retry_ms);

private:
    explicit Skelora(QObject* parent);

    void handle_disconnected();
    void forward_adapter_error(const QString& message);
    // Drops the adapter (deleted once control is back in the event loop).
    void drop_adapter();
    // With reconnection on and a connection to give up: drops it and plans
    // the next attempt.
    void retry_later(const QString& reason);

    WebsocketAdapter* adapter_ = nullptr; // Qt child; null while stopped
    QString server_url_;
    std::vector<std::string> interested_skeletons;
    std::map<std::string, std::map<std::string, PoseData>> pose_store;
    bool server_ready_flag = false;
    bool reconnect_ = false;
    bool reported_loss_ = false; // connection_lost went out since the last ready
    ReconnectBackoff backoff_;
    QTimer retry_timer_;
    PoseList frame_poses_; // the joints of the last frame sent, reused for the next
    const void* frame_poses_table_ = nullptr; // the joint table frame_poses_ was named from
    std::unique_ptr<skelora::PoseFrameWriter> pose_frame_writer_; // keeps the text around the numbers
};

} // namespace nmb

Q_DECLARE_METATYPE(std::string)
Q_DECLARE_METATYPE(nmb::Skelora::PoseData)
Q_DECLARE_METATYPE(nmb::Skelora::PoseList)
