#pragma once

#include <nmb/binary_adapter_export.h>

#include <QByteArray>
#include <QFile>
#include <QObject>
#include <QString>
#include <QTimer>

namespace nmb {

// Recording writer: appends the bytes handed to record_data, unchanged and in
// call order, to a new file named after the local time
// (yyyyMMdd_HHmmss_zzz.bin, then _1, _2, ... when that name is taken). The file
// holds nothing else: no header, lengths or separators.
//
// Writes are buffered, never flushed one by one; data reaches the file at the
// latest FLUSH_INTERVAL_MS after it was recorded, so a process that is killed
// loses no more than about that much. Failures come back as return values and
// error_occurred. Lives on the thread that runs its event loop.
class NMB_BINARY_ADAPTER_EXPORT BinaryAdapter : public QObject {
    Q_OBJECT

public:
    // Longest time, in milliseconds, that recorded bytes wait in the write
    // buffer before they are handed to the system.
    static constexpr int FLUSH_INTERVAL_MS = 1000;

    explicit BinaryAdapter(QObject* parent = nullptr);
    ~BinaryAdapter() override;

    // Stops any current recording, then opens a new file in `directory`
    // (empty: the current directory; missing levels are created). Never
    // overwrites: the open fails if the chosen name appeared meanwhile.
    // Returns false, with the reason on error_occurred and an empty
    // recording_file_name(), when the directory or the file cannot be made.
    bool start_recording(const QString& directory);

    // Flushes and closes the file when recording; the file name is kept.
    // A failed flush (data lost) is reported on error_occurred.
    void stop_recording();

    bool is_recording() const;

    // Path of the current or last recording: the directory as given joined
    // with the file name. Empty before the first successful start and after
    // a failed one.
    QString recording_file_name() const;

Q_SIGNALS:
    void error_occurred(const QString& message);

public Q_SLOTS:
    // Appends `data` to the open file in one write. Ignored while not
    // recording and for empty data. A short or failed write is reported on
    // error_occurred; the recording stays open.
    void record_data(const QByteArray& data);

private:
    void flush_recording();

    QFile recording_file_;
    QString recording_file_name_;
    QTimer flush_timer_; // armed by the first write after a flush
};

} // namespace nmb
