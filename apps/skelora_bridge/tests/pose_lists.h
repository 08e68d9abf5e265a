#pragma once

#include "skelora.h"

#include <string>

namespace nmb::test {

// A joint pose whose seven numbers all follow from `seed`.
Skelora::PoseData seeded_joint(const std::string& name, const std::string& parent, float seed);

// Three joints: Waist (no parent), Spine1 and Spine2, numbers from `seed`.
Skelora::PoseList seeded_chain(float seed);

} // namespace nmb::test
