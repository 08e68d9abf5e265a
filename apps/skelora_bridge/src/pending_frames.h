#pragma once

#include <nmb/protocol/mocap_frame.h>

#include <QString>
#include <QtGlobal>

#include <cstddef>
#include <functional>
#include <map>
#include <utility>
#include <vector>

namespace nmb {

// The frames decoded while the pose service is not ready, waiting to be sent
// when it is: never a backlog, only the latest frame, either of the whole
// stream (one slot) or of each sender (one slot per sender, so the sender
// table's bound bounds it too). Pure; one thread.
class PendingFrames {
public:
    using Key = std::pair<QString, quint16>;

    explicit PendingFrames(bool per_sender = false);

    // Keeps `frame` as the latest of `sender`, replacing the older one.
    void hold(const Key& sender, const protocol::MocapFrame& frame);

    // The held frames, in sender order, and empties the store.
    std::vector<protocol::MocapFrame> take();

    // Forgets the frames of senders for which `known` is false. Only
    // per-sender stores have any to forget.
    void keep_known(const std::function<bool(const Key&)>& known);

    std::size_t size() const;

private:
    bool per_sender_;
    std::map<Key, protocol::MocapFrame> frames_;
};

} // namespace nmb
