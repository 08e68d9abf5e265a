// Times the two ways of writing a pose_frame for a 64-joint list like the one a
// Mocap frame gives: the JSON library's document and dump (pose_frame_message)
// and the client's PoseFrameWriter, which writes the same bytes from kept text
// and formats only the numbers. Reports the median of several rounds in
// microseconds per message.
#include "pose_frame_writer.h"
#include "skelora_messages.h"

#include <nmb/protocol/joint_tables.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <time.h>

namespace {

nmb::PoseList mocap_like_list()
{
    nmb::PoseList poses;
    for (std::size_t i = 0; i < nmb::protocol::SKELETON_JOINT_DESCRIPTIONS.size(); ++i) {
        const auto& joint = nmb::protocol::SKELETON_JOINT_DESCRIPTIONS[i];
        const float base = float(i) + 0.123f;
        nmb::PoseData pose;
        pose.name = joint.name;
        pose.parent = joint.parent != nullptr ? joint.parent : "";
        pose.position = {base * 0.01f, base * -0.37f, 1.7f - base * 0.003f};
        pose.orientation = {0.9238795f, base * 0.0011f, -0.3826834f, base * -0.0007f};
        poses.push_back(pose);
    }
    return poses;
}

// One round: wall and CPU time of this thread, in microseconds per message.
struct Round {
    double wall_us = 0;
    double cpu_us = 0;
};

double thread_cpu_us()
{
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e6 + double(now.tv_nsec) / 1e3;
}

// Medians of 7 rounds; CPU time is the figure that holds on a busy machine.
template <typename Write>
Round median_round(int messages, Write write)
{
    std::vector<double> wall;
    std::vector<double> cpu;
    for (int round = 0; round < 7; ++round) {
        const auto start = std::chrono::steady_clock::now();
        const double cpu_start = thread_cpu_us();
        for (int i = 0; i < messages; ++i)
            write(i);
        const std::chrono::duration<double, std::micro> elapsed = std::chrono::steady_clock::now() - start;
        wall.push_back(elapsed.count() / messages);
        cpu.push_back((thread_cpu_us() - cpu_start) / messages);
    }
    std::sort(wall.begin(), wall.end());
    std::sort(cpu.begin(), cpu.end());
    return {wall[wall.size() / 2], cpu[cpu.size() / 2]};
}

// Every number of the list moves a little from one message to the next, as
// they do in a live stream.
void move(nmb::PoseList& poses, int step)
{
    const float delta = 1e-4f * float(step % 1000);
    for (nmb::PoseData& pose : poses) {
        for (float& value : pose.position)
            value += delta;
        for (float& value : pose.orientation)
            value -= delta;
    }
}

void print(const char* label, const Round& round)
{
    std::printf("  %-27s %6.1f us CPU (%6.0f messages/s on one core), %6.1f us wall\n", label, round.cpu_us,
                1e6 / round.cpu_us, round.wall_us);
}

} // namespace

int main(int argc, char** argv)
{
    const int messages = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20000;
    nmb::PoseList poses = mocap_like_list();
    std::size_t bytes = 0;

    const Round fresh = median_round(messages, [&](int i) {
        move(poses, i);
        bytes = nmb::skelora::pose_frame_message("performer1", poses, 1700000000000 + i).size();
    });
    nmb::skelora::PoseFrameWriter writer;
    const Round written = median_round(messages, [&](int i) {
        move(poses, i);
        bytes = writer.write("performer1", poses, 1700000000000 + i).size();
    });
    std::printf("64 joints, about %zu bytes per message, median of 7 rounds of %d:\n", bytes, messages);
    print("library document and dump:", fresh);
    print("PoseFrameWriter:", written);
    return 0;
}
