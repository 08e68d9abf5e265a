#pragma once

#include <nmb/binary_adapter_export.h>

#include <QByteArray>
#include <QFile>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

namespace nmb {

namespace playback {
class FramePacer;
}
namespace reelcast {
class RecordedFrameReader;
class TimestampScheduler;
}

// Recording adapter with two independent halves that may run at the same
// time: a writer and a timed playback.
//
// Writer: appends the bytes handed to record_data, unchanged and in call
// order, to a new file named after the local time (yyyyMMdd_HHmmss_zzz.bin,
// then _1, _2, ... when that name is taken). The file holds nothing else: no
// header, lengths or separators. Writes are buffered, never flushed one by
// one; data reaches the file at the latest FLUSH_INTERVAL_MS after it was
// recorded, so a process that is killed loses no more than about that much.
//
// Playback: reads a recording frame by frame, checks each envelope and emits
// the whole frame on data_received when its timestamp (u64 microseconds at
// the start of an ID-0 payload) says it is due, divided by the playback rate.
// Due times are kept on an absolute clock started at play(), so the pacing
// does not drift. The end of the file or a bad frame ends playback with
// finished(), after the reason on error_occurred for a bad frame.
//
// Failures come back as return values and error_occurred. Lives on the
// thread that runs its event loop.
class NMB_BINARY_ADAPTER_EXPORT BinaryAdapter : public QObject {
    Q_OBJECT

public:
    // Timing of one frame: the same fields as the replay metadata, without
    // the payload length.
    struct FrameTiming {
        quint16 frame_id = 0;           // header frame ID; the key of its timeline
        quint64 timestamp = 0;          // in ticks
        quint64 timestamp_scale_us = 0; // microseconds per tick
        bool timestamp_wraps_32bit = false; // tick differences taken modulo 2^32
    };

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

    // Stops any playback, then opens `path` for reading. Returns false, with
    // the file's reason on error_occurred, when it cannot be opened.
    bool open(const QString& path);

    // Starts emitting frames: the first one synchronously, inside this call,
    // the others from the event loop when they are due. Without an open
    // file reports "Binary recording is not open."; ignored while playing.
    // A first frame that cannot be read ends playback with finished().
    void play();

    // Ends playback without finished(), forgets the timelines and closes
    // the file; playing again needs another open(). Safe to call from a
    // data_received handler: nothing more is read or emitted.
    void stop();
    void close() { stop(); }

    bool is_playing() const { return playing_; }

    // Speed factor: finite and above 0, else refused (false) and the old one
    // kept. Applies from the next scheduled frame; the frame already waited
    // for keeps its due time.
    bool set_playback_rate(double rate);
    double playback_rate() const { return playback_rate_; }

    // Reads and checks the next frame of the open file. False at the end of
    // the file (no message) and for a bad frame (reason on error_occurred,
    // `frame` then holds nothing useful).
    bool read_next_frame(QByteArray& frame, FrameTiming& timing);

    // Takes the playback timestamp of a whole frame into `timing`: only ID 0
    // with at least 8 payload bytes carries one. False, with the reason on
    // error_occurred, for any other frame. timestamp_wraps_32bit is left as
    // the caller set it.
    bool read_frame_timing(const QByteArray& frame, FrameTiming& timing);

    // Places the frame on its ID's timeline and returns how many milliseconds
    // (fractions kept) after the previously scheduled frame it is due,
    // divided by the playback rate. A timeline's first frame, and any frame
    // whose time lies before the previous one's (a step backwards, even
    // before the timeline's start), is due at once; later frames keep their
    // spacing from their own timestamps.
    double schedule_frame(const FrameTiming& timing);

Q_SIGNALS:
    // One whole frame (header, payload, checksum) as stored.
    void data_received(const QByteArray& frame);
    void error_occurred(const QString& message);
    // Playback ended by itself: end of file or a frame that could not be
    // played. Never emitted for stop().
    void finished();

public Q_SLOTS:
    // Appends `data` to the open file in one write. Ignored while not
    // recording and for empty data. A short or failed write is reported on
    // error_occurred; the recording stays open.
    void record_data(const QByteArray& data);

private Q_SLOTS:
    void emit_next_frame();

private:
    void flush_recording();
    bool fail_read(const QString& message);
    void end_playback();

    QFile playback_file_;
    QFile recording_file_;
    QString recording_file_name_;
    QTimer flush_timer_; // armed by the first write after a flush
    // The playback machinery the replay program uses too: the reader over
    // playback_file_, the timelines (never re-anchored here) and the pacer.
    std::unique_ptr<reelcast::RecordedFrameReader> reader_;
    std::unique_ptr<reelcast::TimestampScheduler> scheduler_;
    std::unique_ptr<playback::FramePacer> pacer_;
    QByteArray pending_frame_;
    FrameTiming pending_timing_;
    quint64 playback_session_ = 0;  // counts stop() calls, so a frame step
                                    // notices a restart inside its emission
    bool playing_ = false;
    double playback_rate_ = 1.0;
};

} // namespace nmb
