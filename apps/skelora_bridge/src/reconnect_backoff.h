#pragma once

#include <chrono>

namespace nmb {

// The waits between attempts to reach the pose service again: 0.5 s,
// doubling to at most 10 s, each spread by up to a tenth either way so that
// many bridges restarted together do not knock in step. Pure: the caller
// draws the spread and runs the timer.
class ReconnectBackoff {
public:
    static constexpr std::chrono::milliseconds FIRST{500};
    static constexpr std::chrono::milliseconds LONGEST{10000};
    static constexpr double SPREAD = 0.1;

    // The wait before the next attempt; `spread` in [-1, 1] picks where in
    // the jitter band it lies (values outside are clamped). Never above
    // LONGEST. Each call doubles the following wait.
    std::chrono::milliseconds next(double spread);

    // Back to FIRST, once the service answered again.
    void reset();

private:
    std::chrono::milliseconds base_ = FIRST;
};

} // namespace nmb
