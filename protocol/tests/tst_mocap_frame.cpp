#include <nmb/protocol/frame.h>
#include <nmb/protocol/mocap_frame.h>

#include <QTest>

#include <bit>
#include <cstddef>
#include <cstring>

using namespace nmb::protocol;
using nmb::types::Pose;

namespace {

// Payload bytes written field by field, independent of the structs.
void put_f32(QByteArray& bytes, qsizetype offset, float value)
{
    const auto bits = std::bit_cast<quint32>(value);
    for (int i = 0; i < 4; ++i)
        bytes[offset + i] = char((bits >> (8 * i)) & 0xFF);
}

float pose_value(int slot, int field)
{
    return float(slot) * 10.0f + float(field) + 0.25f;
}

// A payload of `length` bytes whose pose slots start at `first_pose`; the
// rest is `filler`.
QByteArray pose_payload(qsizetype length, qsizetype first_pose, int poses, char filler)
{
    QByteArray payload(length, filler);
    for (int slot = 0; slot < poses; ++slot) {
        for (int field = 0; field < 7; ++field)
            put_f32(payload, first_pose + 28 * slot + 4 * field, pose_value(slot, field));
    }
    return payload;
}

template <typename Frame>
Frame from_wire(const QByteArray& bytes)
{
    Frame frame;
    std::memcpy(&frame, bytes.constData(), sizeof frame);
    return frame;
}

void compare_pose(const Pose& pose, int slot)
{
    const float values[7] = {pose.position.x,    pose.position.y,    pose.position.z,
                             pose.orientation.w, pose.orientation.x, pose.orientation.y,
                             pose.orientation.z};
    for (int field = 0; field < 7; ++field)
        QCOMPARE(values[field], pose_value(slot, field));
}

} // namespace

class TestMocapFrame : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void wire_layout_data();
    void wire_layout();
    void unfilled_frames_data();
    void unfilled_frames();
    void mocap_poses_ignore_the_trailing_bytes();
    void body_and_hand_poses_follow_four_skipped_bytes();
};

void TestMocapFrame::wire_layout_data()
{
    QTest::addColumn<qsizetype>("offset");
    QTest::addColumn<qsizetype>("expected");
    QTest::newRow("pose position x") << qsizetype(offsetof(Pose, position.x)) << qsizetype(0);
    QTest::newRow("pose orientation w, scalar first") << qsizetype(offsetof(Pose, orientation.w)) << qsizetype(12);
    QTest::newRow("pose orientation z") << qsizetype(offsetof(Pose, orientation.z)) << qsizetype(24);
    QTest::newRow("pose size") << qsizetype(sizeof(Pose)) << qsizetype(28);
    QTest::newRow("mocap frame ID") << qsizetype(offsetof(MocapFrame, frame_id)) << qsizetype(2);
    QTest::newRow("mocap length") << qsizetype(offsetof(MocapFrame, payload_length)) << qsizetype(4);
    QTest::newRow("mocap timestamp") << qsizetype(offsetof(MocapFrame, timestamp_us)) << qsizetype(6);
    QTest::newRow("mocap first pose") << qsizetype(offsetof(MocapFrame, poses)) << qsizetype(14);
    QTest::newRow("mocap pose 63 ends at frame offset 1806")
        << qsizetype(offsetof(MocapFrame, poses) + 64 * sizeof(Pose)) << qsizetype(1806);
    QTest::newRow("mocap trailing bytes") << qsizetype(offsetof(MocapFrame, reserved)) << qsizetype(1806);
    QTest::newRow("mocap checksum") << qsizetype(offsetof(MocapFrame, crc)) << qsizetype(1856);
    QTest::newRow("mocap whole frame") << qsizetype(sizeof(MocapFrame)) << qsizetype(1860);
    QTest::newRow("body first pose") << qsizetype(offsetof(HumanBodyFrame, poses)) << qsizetype(10);
    QTest::newRow("body checksum") << qsizetype(offsetof(HumanBodyFrame, crc)) << qsizetype(682);
    QTest::newRow("body whole frame") << qsizetype(sizeof(HumanBodyFrame)) << qsizetype(686);
    QTest::newRow("hand first pose") << qsizetype(offsetof(HumanHandFrame, poses)) << qsizetype(10);
    QTest::newRow("hand checksum") << qsizetype(offsetof(HumanHandFrame, crc)) << qsizetype(626);
    QTest::newRow("hand whole frame") << qsizetype(sizeof(HumanHandFrame)) << qsizetype(630);
}

void TestMocapFrame::wire_layout()
{
    QFETCH(qsizetype, offset);
    QFETCH(qsizetype, expected);
    QCOMPARE(offset, expected);
}

void TestMocapFrame::unfilled_frames_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<quint16>("frame_id");
    QTest::addColumn<quint16>("length");
    const MocapFrame mocap;
    const HumanBodyFrame body;
    const HumanHandFrame hand;
    QTest::newRow("mocap") << QByteArray(reinterpret_cast<const char*>(&mocap), sizeof mocap) << quint16(0)
                           << quint16(1850);
    QTest::newRow("body") << QByteArray(reinterpret_cast<const char*>(&body), sizeof body) << quint16(1)
                          << quint16(676);
    QTest::newRow("hand") << QByteArray(reinterpret_cast<const char*>(&hand), sizeof hand) << quint16(3)
                          << quint16(620);
}

void TestMocapFrame::unfilled_frames()
{
    QFETCH(QByteArray, image);
    QFETCH(quint16, frame_id);
    QFETCH(quint16, length);
    QCOMPARE(read_u16(image.constData()), quint16(0x55AA));
    QCOMPARE(quint8(image[0]), quint8(0xAA));
    QCOMPARE(read_u16(image.constData() + 2), frame_id);
    QCOMPARE(read_u16(image.constData() + 4), length);
    QCOMPARE(image.size(), 10 + length);
    QCOMPARE(image.mid(6), QByteArray(image.size() - 6, '\0'));
}

void TestMocapFrame::mocap_poses_ignore_the_trailing_bytes()
{
    QByteArray zeros = pose_payload(1850, 8, 64, '\0');
    QByteArray noise = pose_payload(1850, 8, 64, '\x5A');
    for (QByteArray* payload : {&zeros, &noise}) {
        for (int i = 0; i < 8; ++i)
            (*payload)[i] = char(0x11 * (i + 1));
    }
    const auto quiet = from_wire<MocapFrame>(build_frame(0, zeros));
    const auto noisy = from_wire<MocapFrame>(build_frame(0, noise));
    QCOMPARE(quint64(quiet.timestamp_us), 0x8877665544332211ull);
    QCOMPARE(quint64(noisy.timestamp_us), quint64(quiet.timestamp_us));
    for (int slot = 0; slot < 64; ++slot) {
        compare_pose(quiet.poses[slot], slot);
        compare_pose(noisy.poses[slot], slot);
    }
    QCOMPARE(noisy.reserved[0], quint8(0x5A));
    QCOMPARE(noisy.reserved[49], quint8(0x5A));
}

void TestMocapFrame::body_and_hand_poses_follow_four_skipped_bytes()
{
    const auto body = from_wire<HumanBodyFrame>(build_frame(1, pose_payload(676, 4, 24, '\x7E')));
    QCOMPARE(body.frame_id, quint16(1));
    for (int slot = 0; slot < 24; ++slot)
        compare_pose(body.poses[slot], slot);

    for (const quint16 id : {quint16(3), quint16(4)}) {
        const auto hand = from_wire<HumanHandFrame>(build_frame(id, pose_payload(620, 4, 22, '\x7E')));
        QCOMPARE(hand.frame_id, id);
        QCOMPARE(hand.payload_length, quint16(620));
        for (int slot = 0; slot < 22; ++slot)
            compare_pose(hand.poses[slot], slot);
    }
}

QTEST_GUILESS_MAIN(TestMocapFrame)
#include "tst_mocap_frame.moc"
