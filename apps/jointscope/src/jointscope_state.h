#pragma once

#include <nmb/protocol/mocap_decoder.h>
#include <nmb/protocol/mocap_frame.h>

#include <QByteArray>
#include <QHostAddress>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>

namespace nmb {

// The finger joints of both hands: all zero means the gloves send nothing.
inline constexpr std::array<std::int32_t, 40> HAND_DATA_JOINTS = {
    15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34,
    44, 45, 46, 47, 48, 49, 50, 51, 52, 53, 54, 55, 56, 57, 58, 59, 60, 61, 62, 63,
};

// What the joint viewer knows of its stream, free of widgets and clocks: one
// decoder for all senders, the latest whole Mocap frame, the counters, the
// frame rate sampled on the refresh ticks, the latest sender and the latest
// error. The window feeds it datagrams and ticks and shows what it holds.
// One thread only.
class JointscopeState {
public:
    // Minimum time between two frame-rate samples.
    static constexpr std::int64_t FPS_SAMPLE_MS = 499;

    // Decodes one datagram from address:port. Returns true when a frame was
    // rejected on the way (the status line shows that at once, not on the
    // next tick).
    bool receive(const QByteArray& datagram, const QHostAddress& address, quint16 port);

    // Keeps `message` as the latest error.
    void set_error(const QString& message);

    // One refresh tick at `now_ms` (a monotonic count from the same origin
    // every call; the first sample runs from 0). Takes a frame-rate sample
    // once more than FPS_SAMPLE_MS passed since the last one. Returns true
    // when a frame arrived since the last tick that returned true: the view
    // then shows latest_frame() and the status line; the hand-data flag is
    // recomputed from that frame.
    bool tick(std::int64_t now_ms);

    // The status line for this host's addresses and the port.
    QString status_text(const QString& local_addresses, quint16 port) const;

    const std::optional<protocol::MocapFrame>& latest_frame() const { return latest_frame_; }
    std::uint64_t decoded() const { return decoded_; }
    std::uint64_t rejected() const { return rejected_; }
    std::uint64_t fps() const { return fps_; }
    bool hand_data_missing() const { return hand_data_missing_; }

private:
    void accept_frame(const protocol::MocapFrame& frame);
    void reject_frame(const QString& reason);

    codec::MocapDecoder decoder_;
    std::optional<protocol::MocapFrame> latest_frame_;
    std::uint64_t decoded_ = 0;
    std::uint64_t rejected_ = 0;
    std::uint64_t frames_since_sample_ = 0;
    std::uint64_t fps_ = 0;
    std::int64_t sample_start_ms_ = 0;
    bool dirty_ = false;
    bool hand_data_missing_ = true;
    // The latest sender, kept as received and turned into text only for the
    // status line.
    QHostAddress last_address_;
    quint16 last_port_ = 0;
    bool has_source_ = false;
    QString last_error_;
};

// The text of a joint row's two value columns: the three position values
// and the four orientation values (w, x, y, z), each in fixed notation with
// three decimals, joined with ", ".
QString position_text(const types::Pose& pose);
QString orientation_text(const types::Pose& pose);

} // namespace nmb
