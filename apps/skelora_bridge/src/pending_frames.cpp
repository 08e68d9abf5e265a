#include "pending_frames.h"

namespace nmb {

PendingFrames::PendingFrames(bool per_sender)
    : per_sender_(per_sender)
{
}

void PendingFrames::hold(const Key& sender, const protocol::MocapFrame& frame)
{
    // One slot for the whole stream: every sender shares the empty key.
    frames_.insert_or_assign(per_sender_ ? sender : Key{}, frame);
}

std::vector<protocol::MocapFrame> PendingFrames::take()
{
    std::vector<protocol::MocapFrame> frames;
    frames.reserve(frames_.size());
    for (auto& [sender, frame] : frames_)
        frames.push_back(std::move(frame));
    frames_.clear();
    return frames;
}

void PendingFrames::keep_known(const std::function<bool(const Key&)>& known)
{
    if (!per_sender_)
        return;
    std::erase_if(frames_, [&known](const auto& entry) { return !known(entry.first); });
}

std::size_t PendingFrames::size() const
{
    return frames_.size();
}

} // namespace nmb
