#pragma once

// Recordings for the replay tests, built from the shared frame builders.

#include <nmb/test/frames.h>

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>
#include <QTemporaryDir>

#include <initializer_list>

namespace nmb::test {

// Full Mocap frames (1860 bytes) with the given timestamps in microseconds.
inline QList<QByteArray> mocap_frames(std::initializer_list<quint64> timestamps)
{
    QList<QByteArray> frames;
    float seed = 0.0f;
    for (quint64 t : timestamps)
        frames.append(mocap_frame_bytes(t, seed += 1.0f));
    return frames;
}

// `count` Mocap frames `spacing_us` apart, starting at `start_us`.
inline QList<QByteArray> evenly_spaced_frames(int count, quint64 spacing_us, quint64 start_us = 1'000'000)
{
    QList<QByteArray> frames;
    for (int i = 0; i < count; ++i)
        frames.append(mocap_frame_bytes(start_us + quint64(i) * spacing_us, float(i)));
    return frames;
}

// An 18-byte ID-0 frame holding only its timestamp.
inline QByteArray timestamp_frame(quint64 timestamp_us)
{
    QByteArray payload;
    for (int i = 0; i < 8; ++i)
        payload.append(char((timestamp_us >> (8 * i)) & 0xFF));
    return frame_bytes(0, payload);
}

inline QByteArray joined(const QList<QByteArray>& frames)
{
    QByteArray bytes;
    for (const QByteArray& frame : frames)
        bytes += frame;
    return bytes;
}

// Writes `bytes` as `name` into `dir` and returns the absolute path, or an
// empty string when the file could not be written.
inline QString write_recording(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        return {};
    return path;
}

} // namespace nmb::test
