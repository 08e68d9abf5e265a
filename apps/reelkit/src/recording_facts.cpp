#include "recording_facts.h"

#include <nmb/protocol/frame.h>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

namespace nmb::reelkit {

using nmb::protocol::FrameCheck;

void FactsCollector::add_frame(std::uint64_t index, QByteArrayView frame)
{
    const std::uint16_t id = nmb::protocol::read_u16(frame.data() + 2);
    ++by_id_[id];
    if (id != 0 || frame.size() < nmb::protocol::ENVELOPE_SIZE + 8)
        return;
    const std::uint64_t timestamp = nmb::protocol::read_u64(frame.data() + nmb::protocol::HEADER_SIZE);
    MocapTiming& t = timing_;
    if (t.frames == 0) {
        t.first_us = timestamp;
    } else if (timestamp < t.last_us) {
        ++t.backwards;
    } else {
        const std::uint64_t step = timestamp - t.last_us;
        intervals_.add(step);
        t.duration_us += step;
        if (step > t.longest_step_us) {
            t.longest_step_us = step;
            t.longest_step_after = previous_index_;
        }
    }
    t.last_us = timestamp;
    previous_index_ = index;
    ++t.frames;
}

void FactsCollector::finish(const RecordingScanner& scanner, RecordingFacts& facts) const
{
    facts.frames = scanner.frames();
    facts.frames_by_id = by_id_;
    facts.timing = timing_;
    facts.timing.intervals = intervals_.count();
    facts.timing.median_interval_us = intervals_.typical_interval();
    facts.timing.gaps = intervals_.count_above(facts.gap_threshold_us());
    facts.damage = scanner.first_damage();
    facts.damaged_stretches = scanner.damaged_stretches();
    facts.dropped_bytes = scanner.dropped_bytes();
}

namespace {

bool cut(FrameCheck check)
{
    return check == FrameCheck::TruncatedHeader || check == FrameCheck::TruncatedPayload;
}

std::string ms(double us) { return fmt::format("{:.3f} ms", us / 1e3); }
std::string seconds(std::uint64_t us) { return fmt::format("{:.3f} s", double(us) / 1e6); }

std::string damage_text(const RecordingFacts& f)
{
    if (f.damage.check == FrameCheck::Ok)
        return "none";
    std::string text = fmt::format("\"{}\" at byte {} (frame {})",
                                   check_text(f.damage.check),
                                   f.damage.offset, f.damage.frame_index);
    const std::uint64_t after = f.frames - f.damage.frame_index;
    if (cut(f.damage.check))
        text += fmt::format(", {} trailing bytes", f.size - f.damage.offset);
    if (!cut(f.damage.check) || after > 0)
        text += fmt::format(", {} whole frame(s) after it", after);
    return text;
}

} // namespace

std::string facts_text(const RecordingFacts& f)
{
    std::string frames = std::to_string(f.frames);
    if (!f.frames_by_id.empty()) {
        std::string ids;
        for (const auto& [id, n] : f.frames_by_id)
            ids += fmt::format("{}ID {}: {}", ids.empty() ? "" : ", ", id, n);
        frames += " (" + ids + ")";
    }
    const MocapTiming& t = f.timing;
    std::string duration = "unknown", stamps = "-", rate = "-", gaps = "-";
    if (t.frames > 0) {
        duration = seconds(t.duration_us);
        stamps = fmt::format("{} us to {} us", t.first_us, t.last_us);
    }
    if (t.intervals > 0) {
        rate = t.median_interval_us > 0
            ? fmt::format("{:.1f} Hz (median interval {})", 1e6 / t.median_interval_us,
                          ms(t.median_interval_us))
            : fmt::format("- (median interval {})", ms(0));
        gaps = fmt::format("{} over {}", t.gaps, ms(f.gap_threshold_us()));
        if (t.gaps > 0)
            gaps += fmt::format(" (longest {} after frame {})", seconds(t.longest_step_us),
                                t.longest_step_after);
    }
    return fmt::format("File:        {}\n"
                       "Size:        {} bytes\n"
                       "Frames:      {}\n"
                       "Duration:    {}\n"
                       "Timestamps:  {}\n"
                       "Rate:        {}\n"
                       "Gaps:        {}\n"
                       "Backwards:   {}\n"
                       "Damage:      {}\n",
                       f.file.toStdString(), f.size, frames, duration, stamps, rate, gaps,
                       t.backwards, damage_text(f));
}

std::string facts_json(const RecordingFacts& f)
{
    nlohmann::ordered_json j;
    j["file"] = f.file.toStdString();
    if (!f.error.isEmpty()) {
        j["error"] = f.error.toStdString();
        return j.dump();
    }
    const MocapTiming& t = f.timing;
    const nlohmann::ordered_json none;
    j["size_bytes"] = f.size;
    j["frames"] = f.frames;
    nlohmann::ordered_json by_id = nlohmann::ordered_json::object();
    for (const auto& [id, n] : f.frames_by_id)
        by_id[std::to_string(id)] = n;
    j["frames_by_id"] = by_id;
    j["mocap_frames"] = t.frames;
    j["duration_us"] = t.frames > 0 ? nlohmann::ordered_json(t.duration_us) : none;
    j["first_timestamp_us"] = t.frames > 0 ? nlohmann::ordered_json(t.first_us) : none;
    j["last_timestamp_us"] = t.frames > 0 ? nlohmann::ordered_json(t.last_us) : none;
    const bool timed = t.intervals > 0;
    j["median_interval_us"] = timed ? nlohmann::ordered_json(std::round(t.median_interval_us * 1e3) / 1e3) : none;
    j["rate_hz"] = timed && t.median_interval_us > 0
        ? nlohmann::ordered_json(1e6 / t.median_interval_us) : none;
    j["gap_threshold_us"] = timed ? nlohmann::ordered_json(f.gap_threshold_us()) : none;
    j["gaps"] = timed ? nlohmann::ordered_json(t.gaps) : none;
    j["longest_gap_us"] = t.gaps > 0 ? nlohmann::ordered_json(t.longest_step_us) : none;
    j["longest_gap_after_frame"] = t.gaps > 0 ? nlohmann::ordered_json(t.longest_step_after) : none;
    j["backwards"] = t.backwards;
    if (f.damage.check == FrameCheck::Ok) {
        j["damage"] = none;
    } else {
        j["damage"] = {
            {"message", check_text(f.damage.check)},
            {"byte", f.damage.offset},
            {"frame", f.damage.frame_index},
            {"frames_after", f.frames - f.damage.frame_index},
            {"trailing_bytes", cut(f.damage.check) ? nlohmann::ordered_json(f.size - f.damage.offset) : none},
        };
    }
    j["damaged_stretches"] = f.damaged_stretches;
    j["dropped_bytes"] = f.dropped_bytes;
    return j.dump();
}

} // namespace nmb::reelkit
