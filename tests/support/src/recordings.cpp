#include <nmb/test/recordings.h>

#include <QFile>

namespace nmb::test {

QList<QByteArray> mocap_frames(std::initializer_list<quint64> timestamps)
{
    QList<QByteArray> frames;
    float seed = 0.0f;
    for (quint64 t : timestamps)
        frames.append(mocap_frame_bytes(t, seed += 1.0f));
    return frames;
}

QList<QByteArray> evenly_spaced_frames(int count, quint64 spacing_us, quint64 start_us)
{
    QList<QByteArray> frames;
    for (int i = 0; i < count; ++i)
        frames.append(mocap_frame_bytes(start_us + quint64(i) * spacing_us, float(i)));
    return frames;
}

QByteArray timestamp_frame(quint64 timestamp_us)
{
    QByteArray payload;
    for (int i = 0; i < 8; ++i)
        payload.append(char((timestamp_us >> (8 * i)) & 0xFF));
    return frame_bytes(0, payload);
}

QByteArray joined(const QList<QByteArray>& frames)
{
    QByteArray bytes;
    for (const QByteArray& frame : frames)
        bytes += frame;
    return bytes;
}

QString write_recording(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        return {};
    return path;
}

} // namespace nmb::test
