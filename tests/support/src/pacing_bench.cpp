#include <nmb/test/pacing_bench.h>

#include <nmb/test/frames.h>

#include <QFile>

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace nmb::test {

void add_pacing_options(QCommandLineParser& parser, const QString& default_seconds)
{
    parser.addOption({QStringLiteral("hz"), QStringLiteral("Frame rates to test, comma separated."),
                      QStringLiteral("list"), QStringLiteral("120,1000")});
    parser.addOption({QStringLiteral("seconds"), QStringLiteral("Recording length per rate."),
                      QStringLiteral("s"), default_seconds});
    parser.addOption({QStringLiteral("rate"), QStringLiteral("Playback speed multiplier."),
                      QStringLiteral("multiplier"), QStringLiteral("1")});
    parser.addOption({QStringLiteral("repeat"), QStringLiteral("Runs per frame rate."),
                      QStringLiteral("n"), QStringLiteral("1")});
}

bool read_pacing_options(const QCommandLineParser& parser, PacingOptions& options)
{
    options.hz.clear();
    for (const QString& item : parser.value(QStringLiteral("hz")).split(',', Qt::SkipEmptyParts)) {
        const int hz = item.toInt();
        if (hz <= 0)
            return false;
        options.hz << hz;
    }
    options.seconds = parser.value(QStringLiteral("seconds")).toDouble();
    options.rate = parser.value(QStringLiteral("rate")).toDouble();
    options.repeat = std::max(1, parser.value(QStringLiteral("repeat")).toInt());
    return options.seconds > 0 && options.rate > 0 && std::isfinite(options.rate);
}

std::vector<double> write_paced_recording(const QString& path, int hz, double seconds, double rate)
{
    std::vector<double> ideal_ms;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return ideal_ms;
    const long long count = std::llround(seconds * hz) + 1;
    for (long long i = 0; i < count; ++i) {
        const auto t_us = quint64(std::llround(double(i) * 1e6 / hz));
        const QByteArray frame = mocap_frame_bytes(1'000'000 + t_us, float(i));
        if (file.write(frame) != frame.size())
            return {};
        ideal_ms.push_back(double(t_us) / 1000.0 / rate);
    }
    return ideal_ms;
}

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
