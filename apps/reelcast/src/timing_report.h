#pragma once

#include <nmb/playback/lateness_meter.h>

#include <QObject>
#include <QTimer>

#include <limits>

namespace nmb::reelcast {

// Keeps the lateness of the frames played since the last reset and
// announces the figures at most ten times a second: at once when the last
// announcement is old enough, otherwise once when the interval is over, so
// the final figures of a burst are always announced.
class TimingReport : public QObject {
    Q_OBJECT

public:
    static constexpr qint64 MIN_INTERVAL_NS = 100'000'000;

    explicit TimingReport(QObject* parent = nullptr);

    // One frame went out `lateness_ns` after its due time; `now_ns` on the
    // pacer's clock.
    void add(qint64 lateness_ns, qint64 now_ns);
    // Forgets every frame; nothing is announced until the next one.
    void reset();

    const playback::LatenessMeter& meter() const { return meter_; }

Q_SIGNALS:
    // The figures changed since the last announcement; read them in meter().
    void report_ready();

private:
    void publish(qint64 now_ns);

    playback::LatenessMeter meter_;
    QTimer deferred_;
    qint64 last_published_ns_ = std::numeric_limits<qint64>::min() / 2;
};

} // namespace nmb::reelcast
