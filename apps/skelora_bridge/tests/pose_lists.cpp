#include "pose_lists.h"

namespace nmb::test {

Skelora::PoseData seeded_joint(const std::string& name, const std::string& parent, float seed)
{
    Skelora::PoseData pose;
    pose.name = name;
    pose.parent = parent;
    pose.position = {seed, seed * -2.0f, seed + 0.5f};
    pose.orientation = {1.0f, seed * 0.1f, 0.0f, -seed};
    return pose;
}

Skelora::PoseList seeded_chain(float seed)
{
    return {seeded_joint("Waist", "", seed), seeded_joint("Spine1", "Waist", seed + 1),
            seeded_joint("Spine2", "Spine1", seed + 2)};
}

} // namespace nmb::test
