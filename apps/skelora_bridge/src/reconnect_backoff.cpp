#include "reconnect_backoff.h"

#include <algorithm>
#include <cmath>

namespace nmb {

std::chrono::milliseconds ReconnectBackoff::next(double spread)
{
    const double factor = 1.0 + SPREAD * std::clamp(spread, -1.0, 1.0);
    const auto wait = std::chrono::milliseconds(std::llround(double(base_.count()) * factor));
    base_ = std::min(base_ * 2, LONGEST);
    return std::min(wait, LONGEST);
}

void ReconnectBackoff::reset()
{
    base_ = FIRST;
}

} // namespace nmb
