#include "sender_table.h"

#include <algorithm>

namespace nmb {

SenderTable::SenderTable(SenderLimits limits)
    : limits_(limits)
{
    limits_.max_senders = std::max<std::size_t>(limits_.max_senders, 1);
}

SenderTable::Decoder& SenderTable::decoder_for(const Key& sender, std::chrono::milliseconds now)
{
    auto found = decoders.find(sender);
    if (found == decoders.end()) {
        if (decoders.size() >= limits_.max_senders)
            drop(decoders.find(recency_.front()));
        found = decoders.try_emplace(sender).first;
        found->second.recency = recency_.insert(recency_.end(), sender);
    } else {
        // Hearing from a sender makes it the most recent: move its key to
        // the back without reallocating.
        recency_.splice(recency_.end(), recency_, found->second.recency);
    }
    found->second.last_heard = now;
    return found->second.decoder;
}

std::size_t SenderTable::drop_idle(std::chrono::milliseconds now)
{
    // recency_ runs from least to most recently heard; with a monotonic
    // clock the idle senders form a prefix, so the scan stops at the first
    // one still active.
    std::size_t dropped = 0;
    while (!recency_.empty()) {
        const auto oldest = decoders.find(recency_.front());
        if (now - oldest->second.last_heard < limits_.idle_timeout)
            break;
        drop(oldest);
        ++dropped;
    }
    return dropped;
}

void SenderTable::drop(std::map<Key, Sender>::iterator sender)
{
    recency_.erase(sender->second.recency);
    decoders.erase(sender);
}

bool SenderTable::contains(const Key& sender) const
{
    return decoders.find(sender) != decoders.end();
}

std::size_t SenderTable::size() const
{
    return decoders.size();
}

const SenderLimits& SenderTable::limits() const
{
    return limits_;
}

} // namespace nmb
