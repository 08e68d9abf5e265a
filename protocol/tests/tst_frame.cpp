#include <nmb/protocol/crc32.h>
#include <nmb/protocol/frame.h>
#include <nmb/test/frames.h>

#include <QRandomGenerator>
#include <QTest>

#include <zlib.h>

using namespace nmb::protocol;
using nmb::reelcast::FrameMetadata;
using nmb::reelcast::read_metadata;

namespace {

// The checksum zlib computes for the common CRC-32 settings (register
// started at 0xFFFFFFFF, result inverted).
quint32 common_crc32(const QByteArray& bytes)
{
    return quint32(::crc32(0, reinterpret_cast<const Bytef*>(bytes.constData()), uInt(bytes.size())));
}

QByteArray with_trailer(QByteArray frame, quint32 crc)
{
    for (int i = 0; i < 4; ++i)
        frame[frame.size() - 4 + i] = char((crc >> (8 * i)) & 0xFF);
    return frame;
}

QByteArray header(quint16 frame_id, quint16 length)
{
    const char bytes[6] = {char(0xAA), char(0x55), char(frame_id & 0xFF), char(frame_id >> 8),
                           char(length & 0xFF), char(length >> 8)};
    return QByteArray(bytes, 6);
}

QByteArray u64_bytes(quint64 value)
{
    QByteArray bytes(8, Qt::Uninitialized);
    for (int i = 0; i < 8; ++i)
        bytes[i] = char((value >> (8 * i)) & 0xFF);
    return bytes;
}

} // namespace

class TestFrame : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void checksum_data();
    void checksum();
    void checksum_matches_zlib_started_at_one();
    void running_register_equals_whole_range();
    void all_zero_payload_has_a_checksum();
    void worked_examples_data();
    void worked_examples();
    void check_frame_data();
    void check_frame();
    void oversized_payload_is_not_framed();
    void read_metadata_data();
    void read_metadata();
};

void TestFrame::checksum_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<quint32>("expected");
    QTest::newRow("check value of 123456789") << QByteArray("123456789") << quint32(0x3A8639CB);
    QTest::newRow("no bytes") << QByteArray() << quint32(0x00000001);
    QTest::newRow("single sync byte") << QByteArray("\xAA", 1) << quint32(0x41047A60);
    QTest::newRow("header of the timestamp-only frame plus payload")
        << QByteArray::fromHex("aa550000080040420f0000000000") << quint32(0x0D027C29);
    QTest::newRow("header of the empty ID-1 frame")
        << QByteArray::fromHex("aa5501000000") << quint32(0x3B94C6F3);
}

void TestFrame::checksum()
{
    QFETCH(QByteArray, bytes);
    QFETCH(quint32, expected);
    QCOMPARE(frame_crc32(bytes.constData(), bytes.size()), expected);
    // The table form agrees with the definition, one bit at a time.
    quint32 reg = CRC32_INITIAL;
    for (const char c : bytes) {
        reg ^= quint8(c);
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg & 1u) ? (reg >> 1) ^ CRC32_POLYNOMIAL : reg >> 1;
    }
    QCOMPARE(reg, expected);
}

void TestFrame::checksum_matches_zlib_started_at_one()
{
    // zlib inverts the register on the way in and out, so starting it from
    // ~1 and inverting its result gives our checksum.
    QRandomGenerator random(20240501);
    for (int size : {0, 1, 2, 3, 7, 8, 9, 63, 64, 65, 1860, 4099}) {
        QByteArray bytes(size, Qt::Uninitialized);
        for (char& c : bytes)
            c = char(random.bounded(256));
        const quint32 zlib = ~quint32(::crc32(0xFFFFFFFEul, reinterpret_cast<const Bytef*>(bytes.constData()),
                                              uInt(bytes.size())));
        QCOMPARE(frame_crc32(bytes.constData(), bytes.size()), zlib);
    }
}

void TestFrame::running_register_equals_whole_range()
{
    const QByteArray bytes = nmb::test::mocap_frame_bytes(123456789, 0.5f);
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.constData());
    for (int split = 0; split <= bytes.size(); split += 97) {
        std::uint32_t reg = crc32_update(CRC32_INITIAL, data, std::size_t(split));
        reg = crc32_update(reg, data + split, std::size_t(bytes.size() - split));
        QCOMPARE(crc32_final(reg), frame_crc32(data, std::size_t(bytes.size())));
    }
}

void TestFrame::all_zero_payload_has_a_checksum()
{
    for (int length : {0, 1, 8, 1850}) {
        const QByteArray frame = build_frame(0, QByteArray(length, '\0'));
        QVERIFY(read_u32(frame.constData() + frame.size() - 4) != 0);
        QVERIFY(frame_crc32(QByteArray(length, '\0').constData(), std::size_t(length)) != 0);
    }
}

void TestFrame::worked_examples_data()
{
    QTest::addColumn<quint16>("frame_id");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("mocap timestamp only")
        << quint16(0) << QByteArray::fromHex("40420f0000000000")
        << QByteArray::fromHex("aa550000080040420f0000000000297c020d");
    QTest::newRow("empty frame of ID 1")
        << quint16(1) << QByteArray() << QByteArray::fromHex("aa5501000000f3c6943b");
}

void TestFrame::worked_examples()
{
    QFETCH(quint16, frame_id);
    QFETCH(QByteArray, payload);
    QFETCH(QByteArray, expected);
    const QByteArray frame = build_frame(frame_id, payload);
    QCOMPARE(frame.toHex(), expected.toHex());
    qsizetype size = -1;
    QCOMPARE(nmb::protocol::check_frame(frame, &size), FrameCheck::Ok);
    QCOMPARE(size, expected.size());
}

void TestFrame::check_frame_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<FrameCheck>("expected");
    QTest::addColumn<qsizetype>("frame_size"); // -1: not reported

    const QByteArray mocap = nmb::test::mocap_frame_bytes(1000000);
    const QByteArray empty = build_frame(7, {});
    QTest::newRow("whole Mocap frame") << mocap << FrameCheck::Ok << qsizetype(1860);
    QTest::newRow("empty payload covers the header only") << empty << FrameCheck::Ok << qsizetype(10);
    QTest::newRow("bytes after the frame are ignored")
        << mocap + build_frame(1, "x") << FrameCheck::Ok << qsizetype(1860);
    QTest::newRow("no bytes") << QByteArray() << FrameCheck::TruncatedHeader << qsizetype(-1);
    QTest::newRow("five header bytes") << mocap.left(5) << FrameCheck::TruncatedHeader << qsizetype(-1);
    QTest::newRow("sync bytes in the other order")
        << QByteArray("\x55\xAA", 2) + mocap.mid(2) << FrameCheck::InvalidHeader << qsizetype(-1);
    QTest::newRow("second sync byte wrong")
        << QByteArray("\xAA\xAA", 2) + mocap.mid(2) << FrameCheck::InvalidHeader << qsizetype(-1);
    QTest::newRow("header only") << mocap.left(6) << FrameCheck::TruncatedPayload << qsizetype(1860);
    QTest::newRow("trailer one byte short")
        << mocap.left(1859) << FrameCheck::TruncatedPayload << qsizetype(1860);
    QTest::newRow("empty payload without trailer")
        << empty.left(9) << FrameCheck::TruncatedPayload << qsizetype(10);
    QTest::newRow("checksum with the common settings")
        << with_trailer(mocap, common_crc32(mocap.left(1856))) << FrameCheck::CrcMismatch << qsizetype(1860);
    QTest::newRow("checksum started at zero")
        << with_trailer(mocap, ~quint32(::crc32(0xFFFFFFFFul, reinterpret_cast<const Bytef*>(mocap.constData()), 1856)))
        << FrameCheck::CrcMismatch << qsizetype(1860);
    QByteArray flipped = mocap;
    flipped[900] = char(flipped[900] ^ 0x01);
    QTest::newRow("one payload bit flipped") << flipped << FrameCheck::CrcMismatch << qsizetype(1860);
    QByteArray longer = mocap;
    longer[4] = char(0x3B); // declares 1851 bytes: the checksum lands elsewhere
    QTest::newRow("length one too long") << longer + QByteArray(1, '\0') << FrameCheck::CrcMismatch
                                         << qsizetype(1861);
}

void TestFrame::check_frame()
{
    QFETCH(QByteArray, bytes);
    QFETCH(FrameCheck, expected);
    QFETCH(qsizetype, frame_size);
    qsizetype size = -1;
    QCOMPARE(nmb::protocol::check_frame(bytes, &size), expected);
    QCOMPARE(size, frame_size);
}

void TestFrame::oversized_payload_is_not_framed()
{
    QCOMPARE(build_frame(0, QByteArray(65535, 'x')).size(), 65545);
    QVERIFY(build_frame(0, QByteArray(65536, 'x')).isEmpty());
}

void TestFrame::read_metadata_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<quint16>("frame_id");
    QTest::addColumn<quint16>("payload_length");
    QTest::addColumn<quint64>("timestamp");
    QTest::addColumn<quint64>("scale");

    const quint64 stamp = 0x0123456789ABCDEFull;
    QTest::newRow("worked example: 1 s")
        << build_frame(0, u64_bytes(1000000)) << quint16(0) << quint16(8) << quint64(1000000) << quint64(1);
    QTest::newRow("ID 0 with seven payload bytes")
        << build_frame(0, u64_bytes(stamp).left(7)) << quint16(0) << quint16(7) << quint64(0) << quint64(0);
    QTest::newRow("ID 0 with eight payload bytes")
        << build_frame(0, u64_bytes(stamp)) << quint16(0) << quint16(8) << stamp << quint64(1);
    QTest::newRow("ID 0 with 600 payload bytes")
        << build_frame(0, u64_bytes(stamp) + QByteArray(592, '\x7F')) << quint16(0) << quint16(600) << stamp
        << quint64(1);
    QTest::newRow("whole Mocap frame")
        << nmb::test::mocap_frame_bytes(stamp) << quint16(0) << quint16(1850) << stamp << quint64(1);
    QTest::newRow("ID 1 however long")
        << build_frame(1, u64_bytes(stamp) + QByteArray(3000, '\1')) << quint16(1) << quint16(3008) << quint64(0)
        << quint64(0);
    QTest::newRow("ID 256: both ID bytes count")
        << build_frame(256, u64_bytes(stamp)) << quint16(256) << quint16(8) << quint64(0) << quint64(0);
    QTest::newRow("sync bytes and checksum are not examined")
        << QByteArray("\0\0", 2) + build_frame(0, u64_bytes(stamp)).mid(2, 14) + QByteArray(4, '\0')
        << quint16(0) << quint16(8) << stamp << quint64(1);
    QTest::newRow("length taken from the header, not the buffer")
        << header(0, 1850) + u64_bytes(stamp) << quint16(0) << quint16(1850) << stamp << quint64(1);
    QTest::newRow("header promising a timestamp the buffer lacks")
        << header(0, 8) + u64_bytes(stamp).left(7) << quint16(0) << quint16(8) << quint64(0) << quint64(0);
    QTest::newRow("shorter than a header") << QByteArray("\xAA\x55\x00\x00\x08", 5) << quint16(0) << quint16(0)
                                           << quint64(0) << quint64(0);
    QTest::newRow("no bytes") << QByteArray() << quint16(0) << quint16(0) << quint64(0) << quint64(0);
}

void TestFrame::read_metadata()
{
    QFETCH(QByteArray, frame);
    QFETCH(quint16, frame_id);
    QFETCH(quint16, payload_length);
    QFETCH(quint64, timestamp);
    QFETCH(quint64, scale);
    const FrameMetadata meta = nmb::reelcast::read_metadata(frame);
    QCOMPARE(meta.frame_id, frame_id);
    QCOMPARE(meta.payload_length, payload_length);
    QCOMPARE(meta.timestamp, timestamp);
    QCOMPARE(meta.timestamp_scale_us, scale);
    QCOMPARE(meta.timestamp_wraps_32bit, false);
}

QTEST_GUILESS_MAIN(TestFrame)
#include "tst_frame.moc"
