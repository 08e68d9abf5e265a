#pragma once

#include <array>
#include <string>
#include <vector>

namespace nmb {

// One named joint pose as the pose service receives it. An empty parent
// means none (JSON null).
struct PoseData {
    std::string name;
    std::string parent;
    std::array<float, 3> position{};    // x, y, z
    std::array<float, 4> orientation{}; // quaternion w, x, y, z
};

using PoseList = std::vector<PoseData>;

} // namespace nmb
