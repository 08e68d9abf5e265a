#include <nmb/binary_adapter.h>

#include <nmb/playback/frame_pacer.h>
#include <nmb/playback/recorded_frame_reader.h>
#include <nmb/playback/timestamp_scheduler.h>

#include <QDateTime>
#include <QDir>

namespace nmb {

BinaryAdapter::BinaryAdapter(QObject* parent)
    : QObject(parent)
    , reader_(std::make_unique<reelcast::RecordedFrameReader>(playback_file_))
    , scheduler_(std::make_unique<reelcast::TimestampScheduler>(
          reelcast::TimingPolicy::follow_timestamps()))
    , pacer_(std::make_unique<playback::FramePacer>())
{
    flush_timer_.setSingleShot(true);
    flush_timer_.setInterval(FLUSH_INTERVAL_MS);
    QObject::connect(&flush_timer_, &QTimer::timeout, this, &BinaryAdapter::flush_recording);
    QObject::connect(pacer_.get(), &playback::FramePacer::frame_due, this,
                     &BinaryAdapter::emit_next_frame);
}

BinaryAdapter::~BinaryAdapter()
{
    // The files close themselves; nothing is announced while the adapter
    // goes away.
    flush_timer_.stop();
    pacer_->stop();
}

bool BinaryAdapter::start_recording(const QString& directory)
{
    stop_recording();

    const QDir dir(directory.isEmpty() ? QDir::currentPath() : directory);
    if (!dir.exists() && !QDir().mkpath(dir.absolutePath())) {
        recording_file_name_.clear();
        Q_EMIT error_occurred(
            QStringLiteral("Unable to create recording directory: %1").arg(dir.absolutePath()));
        return false;
    }

    const QString stem = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd_HHmmss_zzz"));
    QString name = stem + QStringLiteral(".bin");
    for (quint64 counter = 1; dir.exists(name); ++counter)
        name = QStringLiteral("%1_%2.bin").arg(stem).arg(counter);

    recording_file_name_ = dir.filePath(name);
    recording_file_.setFileName(recording_file_name_);
    // NewOnly: a file that appeared since the existence test is never
    // overwritten; the start fails instead.
    if (!recording_file_.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        recording_file_name_.clear();
        Q_EMIT error_occurred(recording_file_.errorString());
        return false;
    }
    return true;
}

void BinaryAdapter::stop_recording()
{
    flush_timer_.stop();
    if (!recording_file_.isOpen())
        return;
    const bool flushed = recording_file_.flush();
    const QString reason = recording_file_.errorString();
    recording_file_.close();
    if (!flushed)
        Q_EMIT error_occurred(reason);
}

bool BinaryAdapter::is_recording() const
{
    return recording_file_.isOpen();
}

QString BinaryAdapter::recording_file_name() const
{
    return recording_file_name_;
}

void BinaryAdapter::record_data(const QByteArray& data)
{
    if (!recording_file_.isOpen() || data.isEmpty())
        return;
    if (recording_file_.write(data) != data.size())
        Q_EMIT error_occurred(recording_file_.errorString());
    // One flush per interval, however many datagrams arrive in it.
    if (recording_file_.isOpen() && !flush_timer_.isActive())
        flush_timer_.start();
}

void BinaryAdapter::flush_recording()
{
    if (recording_file_.isOpen() && !recording_file_.flush())
        Q_EMIT error_occurred(recording_file_.errorString());
}

} // namespace nmb
