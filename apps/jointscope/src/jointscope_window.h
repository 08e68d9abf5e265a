#pragma once

#include "jointscope_state.h"

#include <nmb/protocol/mocap_frame.h>
#include <nmb/udp_adapter.h>

#include <QElapsedTimer>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <array>
#include <cstdint>
#include <optional>

class QLabel;
class QTreeWidget;
class QTreeWidgetItem;

namespace nmb {

// The joint viewer's one window: binds 0.0.0.0:port, hands every datagram
// to its JointscopeState (one shared stream decoder) and shows the 64
// poses of the latest frame in a tree grouped into body, left hand and right
// hand, with a status line above it.
//
// Widget work is bounded by a 30 ms refresh tick that rewrites the tree only
// when a frame arrived since the previous tick, so the datagram rate never
// turns into per-frame redraws. A tick repaints only the band of the two
// value columns, and re-measures the contents-sized columns only when a
// position text changed its shape. A failed bind is shown in the status line;
// the window stays open and nothing is received. Rejected frames are counted
// and the latest reason stays in the status line until a newer one replaces
// it. Everything runs on the GUI thread.
class JointscopeWindow : public QWidget {
public:
    // Port 0 lets the system choose a free port (see port()); the program
    // itself only ever passes 1 to 65535.
    explicit JointscopeWindow(quint16 port, QWidget* parent = nullptr);

    // The port shown in the title and the status line: the one given, or
    // the system's choice after a successful bind to port 0.
    quint16 port() const { return port_; }

private:
    void build_joint_tree();
    void on_data_received(const QByteArray& datagram, const QHostAddress& address, quint16 port);
    void refresh_view();
    void update_status();
    void on_udp_error(const QString& message);

    quint16 port_;
    UdpAdapter udp_;
    JointscopeState state_;
    std::array<QTreeWidgetItem*, protocol::MocapFrame::POSE_COUNT> joint_items_{};
    // Each joint's position text with its digits as 0: while no shape
    // changes, no width of the contents-sized columns can.
    std::array<QString, protocol::MocapFrame::POSE_COUNT> position_shapes_{};
    bool digits_share_one_width_ = false;
    QElapsedTimer rate_clock_;
    QString local_addresses_;
    QLabel* status_label_ = nullptr;
    QTreeWidget* tree_ = nullptr;
    QTimer refresh_timer_;
};

} // namespace nmb
