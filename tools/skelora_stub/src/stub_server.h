#pragma once

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QWebSocketServer>

#include <nlohmann/json_fwd.hpp>

#include <cstddef>

#include <map>
#include <string>

class QWebSocket;

namespace nmb {

// A small stand-in for the pose visualization service. It accepts WebSocket
// senders on one path, answers their hello with server_ready, reports every
// pose_frame as one text line and can send get_pose_data to its senders.
// Failures come back as false with the reason in error_string(). Lives on
// the thread that runs its event loop.
class StubServer : public QObject {
    Q_OBJECT

public:
    // `path`: the only request path accepted ("/ws"); other paths are
    // closed with a policy-violation code. `secure`: serve wss (call
    // load_tls() before listen()).
    StubServer(const QString& path, bool secure, QObject* parent = nullptr);
    ~StubServer() override;

    // Loads a PEM certificate (chain) and its PEM private key (RSA or EC).
    bool load_tls(const QString& certificate_path, const QString& key_path);

    // Starts listening; port 0 lets the system choose (see url()).
    bool listen(const QHostAddress& address, quint16 port);

    // The URL senders use, e.g. "ws://127.0.0.1:8080/ws".
    QString url() const;
    QString error_string() const;

    // Skeleton to ask for with get_pose_data right after each handshake;
    // empty: ask nothing.
    void set_request_skeleton(const std::string& skeleton);

    // Sends get_pose_data for `skeleton` to every sender that finished the
    // handshake. The joints are the last ones received for that skeleton,
    // or a single resting "Head" joint. Returns the number of senders.
    int request_pose_data(const std::string& skeleton);

Q_SIGNALS:
    // One line per pose_frame: skeleton, joint count, first joint and its
    // position, e.g. pose_frame skeleton=mocap joints=64 first=Head position=[0.1,0.2,1.7]
    void pose_frame_received(const QString& line);

private:
    void accept_pending();
    void handle_text(QWebSocket* socket, const QString& text);
    // `joint_count` counts the joints array's elements; `message` holds only
    // the first of them.
    void handle_pose_frame(QWebSocket* socket, const nlohmann::json& message, std::size_t joint_count,
                           const QString& text);
    void send_pose_request(QWebSocket* socket, const std::string& skeleton);
    void forget(QWebSocket* socket);

    QWebSocketServer server_;
    QString path_;
    QString error_;
    std::string request_skeleton_;
    QList<QWebSocket*> senders_;
    QList<QWebSocket*> ready_senders_;
    std::map<std::string, QString> last_frames_; // skeleton -> its last well-formed pose_frame
};

} // namespace nmb
