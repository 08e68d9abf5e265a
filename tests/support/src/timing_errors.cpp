#include <nmb/test/timing_errors.h>

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace nmb::test {

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const auto rank = std::size_t(std::max(1.0, std::ceil(p * double(values.size()))));
    return values[std::min(values.size(), rank) - 1];
}

TimingErrors timing_errors(const std::vector<double>& actual_ms, const std::vector<double>& ideal_ms)
{
    TimingErrors result;
    const std::size_t count = std::min(actual_ms.size(), ideal_ms.size());
    if (count == 0)
        return result;
    std::vector<double> signed_errors;
    std::vector<double> errors;
    for (std::size_t i = 0; i < count; ++i) {
        signed_errors.push_back(actual_ms[i] - ideal_ms[i]);
        errors.push_back(std::abs(signed_errors.back()));
    }
    // Medians keep single late events (scheduling hiccups) out of the drift.
    const std::size_t tenth = std::max<std::size_t>(1, count / 10);
    const std::vector<double> head(signed_errors.begin(), signed_errors.begin() + long(tenth));
    const std::vector<double> tail(signed_errors.end() - long(tenth), signed_errors.end());
    const double span = ideal_ms[count - 1 - tenth / 2] - ideal_ms[tenth / 2];
    if (span > 0.0)
        result.drift_ppm = (percentile(tail, 0.5) - percentile(head, 0.5)) / span * 1e6;
    result.median_ms = percentile(errors, 0.5);
    result.p99_ms = percentile(errors, 0.99);
    result.max_ms = *std::max_element(errors.begin(), errors.end());
    result.end_error_ms = signed_errors.back();
    return result;
}

} // namespace nmb::test
