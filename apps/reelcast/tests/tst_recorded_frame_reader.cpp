#include <nmb/playback/recorded_frame_reader.h>
#include "take_index.h"

#include <nmb/test/frames.h>

#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <limits>

using nmb::reelcast::ReadStatus;
using nmb::reelcast::RecordedFrameReader;

Q_DECLARE_METATYPE(nmb::reelcast::ReadStatus)

namespace {

// A 20-byte frame: 10 payload bytes.
QByteArray small_frame(std::uint8_t seed)
{
    return nmb::test::patterned_frame(0, 10, seed);
}

QByteArray three_small_frames()
{
    return small_frame(1) + small_frame(2) + small_frame(3);
}

QByteArray with_flipped_bit(QByteArray frame, qsizetype offset)
{
    frame[offset] = char(frame[offset] ^ 0x01);
    return frame;
}

// The same frame with the checksum that common CRC-32 tools compute
// (register started at all ones, final inversion).
QByteArray with_common_crc(QByteArray frame)
{
    quint32 reg = 0xFFFFFFFFu;
    for (qsizetype i = 0; i < frame.size() - 4; ++i) {
        reg ^= quint8(frame[i]);
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg & 1u) ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
    }
    reg ^= 0xFFFFFFFFu;
    for (int i = 0; i < 4; ++i)
        frame[frame.size() - 4 + i] = char((reg >> (8 * i)) & 0xFF);
    return frame;
}

} // namespace

class TestRecordedFrameReader : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void read_sequence_data();
    void read_sequence();
    void seek_data();
    void seek();
    void index_seek_data();
    void index_seek();

private:
    QFile& write_file(const QByteArray& bytes);

    QTemporaryDir dir_;
    QFile file_;
};

QFile& TestRecordedFrameReader::write_file(const QByteArray& bytes)
{
    file_.close();
    file_.setFileName(dir_.filePath(QStringLiteral("take.bin")));
    if (!file_.open(QIODevice::WriteOnly | QIODevice::Truncate) || file_.write(bytes) != bytes.size())
        qFatal("cannot write the test recording");
    file_.close();
    if (!file_.open(QIODevice::ReadOnly))
        qFatal("cannot open the test recording");
    return file_;
}

void TestRecordedFrameReader::init()
{
    QVERIFY(dir_.isValid());
}

void TestRecordedFrameReader::read_sequence_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("whole_frames");
    QTest::addColumn<ReadStatus>("final_status");
    QTest::addColumn<QString>("error");

    const QByteArray frames = three_small_frames();
    const QByteArray mocap = nmb::test::mocap_frame_bytes(1'000'000);
    QTest::newRow("three whole frames") << frames << 3 << ReadStatus::EndOfFile << QString();
    QTest::newRow("mocap frames")
        << mocap + nmb::test::mocap_frame_bytes(1'008'333) << 2 << ReadStatus::EndOfFile
        << QString();
    QTest::newRow("frame without payload")
        << nmb::test::frame_bytes(1, {}) << 1 << ReadStatus::EndOfFile << QString();
    QTest::newRow("largest payload")
        << nmb::test::patterned_frame(2, 65535) << 1 << ReadStatus::EndOfFile << QString();
    QTest::newRow("empty file") << QByteArray() << 0 << ReadStatus::EndOfFile << QString();
    QTest::newRow("file of three bytes")
        << frames.left(3) << 0 << ReadStatus::Error << QStringLiteral("Truncated frame header.");
    QTest::newRow("last frame cut inside its header")
        << frames.left(45) << 2 << ReadStatus::Error << QStringLiteral("Truncated frame header.");
    QTest::newRow("last frame cut inside its payload")
        << frames.left(50) << 2 << ReadStatus::Error << QStringLiteral("Truncated frame payload.");
    QTest::newRow("last frame cut inside its checksum")
        << frames.chopped(1) << 2 << ReadStatus::Error << QStringLiteral("Truncated frame payload.");
    QTest::newRow("length promising more than the file holds")
        << mocap.left(6) + QByteArray(100, '\0') << 0 << ReadStatus::Error
        << QStringLiteral("Truncated frame payload.");
    QTest::newRow("first byte is not the sync byte")
        << QByteArray(1, '\0') + frames << 0 << ReadStatus::Error
        << QStringLiteral("Invalid frame header.");
    QTest::newRow("sync bytes in the wrong order")
        << QByteArray("\x55\xAA", 2) + frames.mid(2) << 0 << ReadStatus::Error
        << QStringLiteral("Invalid frame header.");
    QTest::newRow("garbage between frames")
        << small_frame(1) + QByteArray(1, '\xAA') + small_frame(2) << 1 << ReadStatus::Error
        << QStringLiteral("Invalid frame header.");
    QTest::newRow("one payload bit flipped")
        << small_frame(1) + with_flipped_bit(small_frame(2), 9) << 1 << ReadStatus::Error
        << QStringLiteral("Frame CRC mismatch.");
    QTest::newRow("frame ID bit flipped")
        << with_flipped_bit(small_frame(1), 2) << 0 << ReadStatus::Error
        << QStringLiteral("Frame CRC mismatch.");
    QTest::newRow("checksum of the common CRC-32 settings")
        << with_common_crc(small_frame(1)) << 0 << ReadStatus::Error
        << QStringLiteral("Frame CRC mismatch.");
}

void TestRecordedFrameReader::read_sequence()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, whole_frames);
    QFETCH(ReadStatus, final_status);
    QFETCH(QString, error);

    QFile& file = write_file(bytes);
    RecordedFrameReader reader(file);
    QByteArray frame("untouched");
    QByteArray last_good = frame;
    QByteArray joined;
    int read = 0;
    ReadStatus status = ReadStatus::Ok;
    for (int guard = 0; guard < 10; ++guard) {
        status = reader.read_next(frame);
        if (status != ReadStatus::Ok)
            break;
        last_good = frame;
        joined += frame;
        ++read;
        QCOMPARE(file.pos(), qint64(joined.size()));
    }
    QCOMPARE(read, whole_frames);
    QCOMPARE(status, final_status);
    QCOMPARE(reader.error_string(), error);
    QCOMPARE(joined, bytes.left(joined.size()));
    // A checksum mismatch empties the frame; every other stop leaves the
    // previous content in place.
    if (error == QStringLiteral("Frame CRC mismatch."))
        QVERIFY(frame.isEmpty());
    else
        QCOMPARE(frame, last_good);
    if (final_status == ReadStatus::EndOfFile)
        QCOMPARE(reader.read_next(frame), ReadStatus::EndOfFile);
}

void TestRecordedFrameReader::seek_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<double>("fraction");
    QTest::addColumn<ReadStatus>("status");
    QTest::addColumn<qint64>("position");
    QTest::addColumn<quint64>("index");
    QTest::addColumn<QString>("error");

    const QByteArray frames = three_small_frames(); // 60 bytes, frames end at 20, 40, 60
    const double nan = std::numeric_limits<double>::quiet_NaN();
    QTest::newRow("start") << frames << 0.0 << ReadStatus::Ok << qint64(0) << quint64(0) << QString();
    QTest::newRow("middle") << frames << 0.5 << ReadStatus::Ok << qint64(20) << quint64(1) << QString();
    QTest::newRow("end") << frames << 1.0 << ReadStatus::Ok << qint64(40) << quint64(2) << QString();
    QTest::newRow("above one acts as one")
        << frames << 1.7 << ReadStatus::Ok << qint64(40) << quint64(2) << QString();
    QTest::newRow("negative acts as zero")
        << frames << -0.5 << ReadStatus::Ok << qint64(0) << quint64(0) << QString();
    QTest::newRow("not a number acts as zero")
        << frames << nan << ReadStatus::Ok << qint64(0) << quint64(0) << QString();
    QTest::newRow("target exactly at a frame end")
        << frames << 40.0 / 60.0 << ReadStatus::Ok << qint64(20) << quint64(1) << QString();
    QTest::newRow("target one byte past a frame end")
        << frames << 41.0 / 60.0 << ReadStatus::Ok << qint64(40) << quint64(2) << QString();

    // Two 32-byte frames: a target of 32.5 bytes rounds up to 33, past the
    // end of the first frame.
    const QByteArray two = nmb::test::patterned_frame(0, 22, 1) + nmb::test::patterned_frame(0, 22, 2);
    QTest::newRow("half byte target rounds away from zero")
        << two << 32.5 / 64.0 << ReadStatus::Ok << qint64(32) << quint64(1) << QString();
    QTest::newRow("target just below half a byte rounds down")
        << two << 32.25 / 64.0 << ReadStatus::Ok << qint64(0) << quint64(0) << QString();

    QTest::newRow("recording without frames")
        << QByteArray() << 0.5 << ReadStatus::EndOfFile << qint64(-1) << quint64(0) << QString();
    QTest::newRow("damaged frame before the target")
        << small_frame(1) + with_flipped_bit(small_frame(2), 8) + small_frame(3) << 1.0
        << ReadStatus::Error << qint64(-1) << quint64(0) << QStringLiteral("Frame CRC mismatch.");
    QTest::newRow("damaged frame after the target is not read")
        << small_frame(1) + small_frame(2) + with_flipped_bit(small_frame(3), 8) << 0.3
        << ReadStatus::Ok << qint64(0) << quint64(0) << QString();
    QTest::newRow("cut last frame before the target")
        << frames.left(50) << 1.0 << ReadStatus::Error << qint64(-1) << quint64(1)
        << QStringLiteral("Truncated frame payload.");
}

void TestRecordedFrameReader::seek()
{
    QFETCH(QByteArray, bytes);
    QFETCH(double, fraction);
    QFETCH(ReadStatus, status);
    QFETCH(qint64, position);
    QFETCH(quint64, index);
    QFETCH(QString, error);

    QFile& file = write_file(bytes);
    QVERIFY(file.seek(file.size()));
    RecordedFrameReader reader(file);
    quint64 frame_index = 99;
    QCOMPARE(reader.seek_to_fraction(fraction, frame_index), status);
    QCOMPARE(frame_index, index);
    QCOMPARE(reader.error_string(), error);
    if (status != ReadStatus::Ok)
        return;
    QCOMPARE(file.pos(), position);
    // Reading goes on from the frame found.
    QByteArray frame;
    QCOMPARE(reader.read_next(frame), ReadStatus::Ok);
    QCOMPARE(frame, bytes.mid(position, frame.size()));
}

void TestRecordedFrameReader::index_seek_data()
{
    seek_data();
}

// The take index answers every seek as the reader's scan does, before and
// after the take has been read through once.
void TestRecordedFrameReader::index_seek()
{
    QFETCH(QByteArray, bytes);
    QFETCH(double, fraction);
    QFETCH(ReadStatus, status);
    QFETCH(qint64, position);
    QFETCH(quint64, index);
    QFETCH(QString, error);

    QFile& file = write_file(bytes);
    RecordedFrameReader reader(file);
    nmb::reelcast::TakeIndex take_index(file, reader);
    for (const char* pass : {"cold", "after reading through"}) {
        quint64 frame_index = 99;
        QCOMPARE(take_index.seek_to_fraction(fraction, frame_index), status);
        QCOMPARE(frame_index, index);
        QCOMPARE(take_index.error_string(), error);
        if (status == ReadStatus::Ok) {
            QVERIFY2(file.pos() == position, pass);
            QCOMPARE(take_index.next_index(), index);
        }
        QVERIFY(take_index.rewind());
        QByteArray frame;
        while (take_index.read_next(frame) == ReadStatus::Ok) {
        }
    }
}

QTEST_GUILESS_MAIN(TestRecordedFrameReader)
#include "tst_recorded_frame_reader.moc"
