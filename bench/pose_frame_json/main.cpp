// Times the two ways of writing a pose_frame for a 64-joint list like the one a
// Mocap frame gives: a fresh document per message (pose_frame_message) and the
// client's PoseFrameWriter, which reuses its document. Reports the median of
// several rounds in microseconds per message.
#include "skelora_messages.h"

#include <nmb/protocol/joint_tables.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

nmb::Skelora::PoseList mocap_like_list()
{
    nmb::Skelora::PoseList poses;
    for (std::size_t i = 0; i < nmb::protocol::SKELETON_JOINT_DESCRIPTIONS.size(); ++i) {
        const auto& joint = nmb::protocol::SKELETON_JOINT_DESCRIPTIONS[i];
        const float base = float(i) + 0.123f;
        nmb::Skelora::PoseData pose;
        pose.name = joint.name;
        pose.parent = joint.parent != nullptr ? joint.parent : "";
        pose.position = {base * 0.01f, base * -0.37f, 1.7f - base * 0.003f};
        pose.orientation = {0.9238795f, base * 0.0011f, -0.3826834f, base * -0.0007f};
        poses.push_back(pose);
    }
    return poses;
}

} // namespace

template <typename Write>
double median_us(int messages, Write write)
{
    std::vector<double> per_message_us;
    for (int round = 0; round < 7; ++round) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < messages; ++i)
            write(i);
        const std::chrono::duration<double, std::micro> elapsed = std::chrono::steady_clock::now() - start;
        per_message_us.push_back(elapsed.count() / messages);
    }
    std::sort(per_message_us.begin(), per_message_us.end());
    return per_message_us[per_message_us.size() / 2];
}

int main(int argc, char** argv)
{
    const int messages = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20000;
    nmb::Skelora::PoseList poses = mocap_like_list();
    std::size_t bytes = 0;

    const double fresh = median_us(messages, [&](int i) {
        poses[0].position[0] = float(i);
        bytes = nmb::skelora::pose_frame_message("performer1", poses, 1700000000000 + i).size();
    });
    nmb::skelora::PoseFrameWriter writer;
    const double reused = median_us(messages, [&](int i) {
        poses[0].position[0] = float(i);
        bytes = writer.write("performer1", poses, 1700000000000 + i).size();
    });
    std::printf("64 joints, %zu bytes per message, median of 7 rounds of %d:\n", bytes, messages);
    std::printf("  fresh document:  %6.1f us per message (%5.0f messages/s)\n", fresh, 1e6 / fresh);
    std::printf("  reused document: %6.1f us per message (%5.0f messages/s)\n", reused, 1e6 / reused);
    return 0;
}
