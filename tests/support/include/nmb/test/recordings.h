#pragma once

// Recordings for the playback tests, built from the shared frame builders.

#include <nmb/test/frames.h>

#include <QByteArray>
#include <QList>
#include <QString>
#include <QTemporaryDir>

#include <initializer_list>

namespace nmb::test {

// Full Mocap frames (1860 bytes) with the given timestamps in microseconds.
QList<QByteArray> mocap_frames(std::initializer_list<quint64> timestamps);

// `count` Mocap frames `spacing_us` apart, starting at `start_us`.
QList<QByteArray> evenly_spaced_frames(int count, quint64 spacing_us, quint64 start_us = 1'000'000);

// An 18-byte ID-0 frame holding only its timestamp.
QByteArray timestamp_frame(quint64 timestamp_us);

// The frames back to back, as a recording holds them.
QByteArray joined(const QList<QByteArray>& frames);

// Writes `bytes` as `name` into `dir` and returns the absolute path, or an
// empty string when the file could not be written.
QString write_recording(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes);

} // namespace nmb::test
