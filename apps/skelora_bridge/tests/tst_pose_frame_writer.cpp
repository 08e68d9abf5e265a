// The fast pose_frame writer against the JSON library's own dump of the same
// message: every byte must agree, for hand-picked awkward values and for
// many seeded random frames.

#include "pose_frame_writer.h"
#include "pose_lists.h"
#include "skelora_messages.h"

#include <nmb/protocol/joint_tables.h>

#include <QtTest>

#include <bit>
#include <cmath>
#include <limits>
#include <random>

using nmb::Skelora;
using nmb::test::seeded_chain;
using nmb::test::seeded_joint;
namespace skelora = nmb::skelora;

namespace {

// The 64 joints a Mocap frame gives, all numbers zero.
Skelora::PoseList skeleton_list()
{
    Skelora::PoseList poses;
    for (const auto& description : nmb::protocol::SKELETON_JOINT_DESCRIPTIONS)
        poses.push_back(seeded_joint(description.name, description.parent != nullptr ? description.parent : "", 0.0f));
    return poses;
}

// Where random numbers are drawn from.
enum class Spread {
    AnyBits,     // every 32-bit pattern: denormals, NaN and infinities included
    Mocap,       // positions of a few metres, unit quaternion parts
    Magnitudes,  // 1e-45 to 3e38, both signs
    WholeNumbers // integers up to 2^24 and powers of ten near the exponent switch
};

float draw(std::mt19937& random, Spread spread)
{
    switch (spread) {
    case Spread::AnyBits:
        return std::bit_cast<float>(std::uint32_t(random()));
    case Spread::Mocap:
        return std::uniform_real_distribution<float>(-3.0f, 3.0f)(random);
    case Spread::Magnitudes: {
        const float exponent = std::uniform_real_distribution<float>(-45.0f, 38.5f)(random);
        const float sign = random() % 2 == 0 ? 1.0f : -1.0f;
        return sign * std::pow(10.0f, exponent);
    }
    case Spread::WholeNumbers:
        if (random() % 2 == 0)
            return float(std::int32_t(random() % (1u << 25)) - (1 << 24));
        return std::pow(10.0f, float(int(random() % 24) - 6));
    }
    return 0.0f;
}

} // namespace

class TestPoseFrameWriter : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void bytes_are_exact();
    void awkward_values_match_the_library_data();
    void awkward_values_match_the_library();
    void awkward_texts_match_the_library_data();
    void awkward_texts_match_the_library();
    void timestamps_match_the_library_data();
    void timestamps_match_the_library();
    void random_frames_match_the_library_data();
    void random_frames_match_the_library();
    void changed_joints_match_the_library_data();
    void changed_joints_match_the_library();
};

void TestPoseFrameWriter::bytes_are_exact()
{
    const Skelora::PoseList poses{seeded_joint("Head", "Neck", 0.5f), seeded_joint("Waist", "", -1.0f)};
    const std::string expected =
        R"({"joints":[)"
        R"({"name":"Head","orientation":[1.0,0.05000000074505806,0.0,-0.5],"parent":"Neck","position":[0.5,-1.0,1.0]},)"
        R"({"name":"Waist","orientation":[1.0,-0.10000000149011612,0.0,1.0],"parent":null,"position":[-1.0,2.0,-0.5]}],)"
        R"("skeleton":"performer1","timestamp":1700000000123,"type":"pose_frame"})";
    skelora::PoseFrameWriter writer;
    QCOMPARE(std::string(writer.write("performer1", poses, 1700000000123)), expected);
    QCOMPARE(std::string(writer.write("s", {}, -5)),
             std::string(R"({"joints":[],"skeleton":"s","timestamp":-5,"type":"pose_frame"})"));
}

void TestPoseFrameWriter::awkward_values_match_the_library_data()
{
    QTest::addColumn<float>("value");
    using limits = std::numeric_limits<float>;

    QTest::newRow("zero") << 0.0f;
    QTest::newRow("negative zero") << -0.0f;
    QTest::newRow("smallest denormal") << limits::denorm_min();
    QTest::newRow("negative denormal") << -limits::denorm_min() * 12345.0f;
    QTest::newRow("largest denormal") << std::nextafter(limits::min(), 0.0f);
    QTest::newRow("smallest normal") << limits::min();
    QTest::newRow("largest float") << limits::max();
    QTest::newRow("most negative float") << limits::lowest();
    QTest::newRow("one tenth") << 0.1f;
    QTest::newRow("last plain small number") << 0.001f;
    QTest::newRow("first exponent small number") << 0.0001f;
    QTest::newRow("tiny") << 1e-7f;
    QTest::newRow("last plain whole number") << 1e15f;
    QTest::newRow("first exponent whole number") << 1e16f;
    QTest::newRow("just below one") << std::nextafter(1.0f, 0.0f);
    QTest::newRow("largest exact integer") << 16777216.0f;
    QTest::newRow("not a number") << limits::quiet_NaN();
    QTest::newRow("infinity") << limits::infinity();
    QTest::newRow("negative infinity") << -limits::infinity();
}

void TestPoseFrameWriter::awkward_values_match_the_library()
{
    QFETCH(float, value);
    // The value in every one of the seven slots in turn.
    skelora::PoseFrameWriter writer;
    for (std::size_t slot = 0; slot < 7; ++slot) {
        Skelora::PoseList poses = seeded_chain(0.25f);
        if (slot < 3)
            poses[1].position[slot] = value;
        else
            poses[1].orientation[slot - 3] = value;
        QCOMPARE(std::string(writer.write("mocap", poses, 7)), skelora::pose_frame_message("mocap", poses, 7));
    }
}

void TestPoseFrameWriter::awkward_texts_match_the_library_data()
{
    QTest::addColumn<QByteArray>("text");

    QTest::newRow("plain") << QByteArray("LeftHand");
    QTest::newRow("quote and backslash") << QByteArray("a\"b\\c");
    QTest::newRow("short escapes") << QByteArray("\b\f\n\r\t");
    QTest::newRow("other control characters") << QByteArray("\x01\x1f\x7f", 3);
    QTest::newRow("slash") << QByteArray("a/b");
    QTest::newRow("two-byte sequence") << QByteArray("Kn\xc3\xa9");
    QTest::newRow("four-byte sequence") << QByteArray("\xf0\x9f\x92\x83");
    QTest::newRow("truncated sequence at the end") << QByteArray("Kn\xc3");
    QTest::newRow("truncated sequence in the middle") << QByteArray("a\xe2\x82z");
    QTest::newRow("stray continuation byte") << QByteArray("perf\x80");
    QTest::newRow("byte never used") << QByteArray("Hip\xff");
    QTest::newRow("overlong encoding") << QByteArray("\xc0\xaf");
    QTest::newRow("encoded surrogate") << QByteArray("\xed\xa0\x80");
    QTest::newRow("above the last code point") << QByteArray("\xf4\x90\x80\x80");
    QTest::newRow("zero byte") << QByteArray("a\0b", 3);
}

void TestPoseFrameWriter::awkward_texts_match_the_library()
{
    QFETCH(QByteArray, text);
    const std::string odd = text.toStdString();
    Skelora::PoseList poses = seeded_chain(2.0f);
    poses[0].name = odd;
    poses[2].parent = odd;
    skelora::PoseFrameWriter writer;
    QCOMPARE(std::string(writer.write(odd, poses, 1)), skelora::pose_frame_message(odd, poses, 1));
    // And once the text is remembered, with new numbers.
    poses[1].position[0] = 9.5f;
    QCOMPARE(std::string(writer.write(odd, poses, 2)), skelora::pose_frame_message(odd, poses, 2));
}

void TestPoseFrameWriter::timestamps_match_the_library_data()
{
    QTest::addColumn<qint64>("timestamp");
    QTest::newRow("zero") << qint64(0);
    QTest::newRow("minus one") << qint64(-1);
    QTest::newRow("a date in milliseconds") << qint64(1796000000000);
    QTest::newRow("largest") << std::numeric_limits<qint64>::max();
    QTest::newRow("smallest") << std::numeric_limits<qint64>::min();
}

void TestPoseFrameWriter::timestamps_match_the_library()
{
    QFETCH(qint64, timestamp);
    skelora::PoseFrameWriter writer;
    const Skelora::PoseList poses = seeded_chain(1.0f);
    QCOMPARE(std::string(writer.write("mocap", poses, timestamp)),
             skelora::pose_frame_message("mocap", poses, timestamp));
}

void TestPoseFrameWriter::random_frames_match_the_library_data()
{
    QTest::addColumn<int>("spread");
    QTest::addColumn<int>("seed");

    QTest::newRow("any bit pattern") << int(Spread::AnyBits) << 1;
    QTest::newRow("motion-capture values") << int(Spread::Mocap) << 2;
    QTest::newRow("every magnitude") << int(Spread::Magnitudes) << 3;
    QTest::newRow("whole numbers and powers of ten") << int(Spread::WholeNumbers) << 4;
}

void TestPoseFrameWriter::random_frames_match_the_library()
{
    QFETCH(int, spread);
    QFETCH(int, seed);
    constexpr int FRAMES = 400; // 179,200 numbers per row

    std::mt19937 random{std::uint32_t(seed)};
    skelora::PoseFrameWriter writer;
    Skelora::PoseList poses = skeleton_list();
    for (int frame = 0; frame < FRAMES; ++frame) {
        for (Skelora::PoseData& pose : poses) {
            for (float& value : pose.position)
                value = draw(random, Spread(spread));
            for (float& value : pose.orientation)
                value = draw(random, Spread(spread));
        }
        // Wrapped in unsigned arithmetic: any 64-bit pattern, negative ones included.
        const auto timestamp = std::int64_t(std::uint64_t(random()) * std::uint64_t(random()) - 1u);
        const std::string expected = skelora::pose_frame_message("mocap", poses, timestamp);
        const std::string_view written = writer.write("mocap", poses, timestamp);
        if (written != expected) {
            std::size_t at = 0;
            while (at < expected.size() && at < written.size() && expected[at] == written[at])
                ++at;
            QFAIL(qPrintable(QStringLiteral("frame %1 differs at byte %2: %3 instead of %4")
                                 .arg(frame)
                                 .arg(at)
                                 .arg(QString::fromStdString(std::string(written.substr(at, 40))),
                                      QString::fromStdString(expected.substr(at, 40)))));
        }
    }
}

void TestPoseFrameWriter::changed_joints_match_the_library_data()
{
    QTest::addColumn<Skelora::PoseList>("first");
    QTest::addColumn<Skelora::PoseList>("second");

    Skelora::PoseList renamed = seeded_chain(5);
    renamed[1].name = "Spine0";
    Skelora::PoseList parent_dropped = seeded_chain(5);
    parent_dropped[2].parent.clear();
    Skelora::PoseList parent_added = seeded_chain(5);
    parent_added[0].parent = "Hips";
    Skelora::PoseList fewer = seeded_chain(5);
    fewer.pop_back();
    Skelora::PoseList more = seeded_chain(5);
    more.push_back(seeded_joint("Chest", "Spine2", 9));

    QTest::newRow("same joints, new numbers") << seeded_chain(1) << seeded_chain(5);
    QTest::newRow("a joint renamed") << seeded_chain(1) << renamed;
    QTest::newRow("a parent dropped") << seeded_chain(1) << parent_dropped;
    QTest::newRow("a parent added") << seeded_chain(1) << parent_added;
    QTest::newRow("one joint fewer") << seeded_chain(1) << fewer;
    QTest::newRow("one joint more") << seeded_chain(1) << more;
    QTest::newRow("to an empty list") << seeded_chain(1) << Skelora::PoseList();
    QTest::newRow("from an empty list") << Skelora::PoseList() << seeded_chain(5);
    QTest::newRow("to the whole skeleton") << seeded_chain(1) << skeleton_list();
    QTest::newRow("from the whole skeleton") << skeleton_list() << seeded_chain(5);
}

void TestPoseFrameWriter::changed_joints_match_the_library()
{
    QFETCH(Skelora::PoseList, first);
    QFETCH(Skelora::PoseList, second);

    // The skeleton ID changes along the way too.
    skelora::PoseFrameWriter writer;
    QCOMPARE(std::string(writer.write("a", first, 10)), skelora::pose_frame_message("a", first, 10));
    QCOMPARE(std::string(writer.write("b", second, 20)), skelora::pose_frame_message("b", second, 20));
    QCOMPARE(std::string(writer.write("b", second, 30)), skelora::pose_frame_message("b", second, 30));
    QCOMPARE(std::string(writer.write("a", first, 40)), skelora::pose_frame_message("a", first, 40));
}

QTEST_GUILESS_MAIN(TestPoseFrameWriter)
#include "tst_pose_frame_writer.moc"
