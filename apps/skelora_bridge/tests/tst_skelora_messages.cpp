#include "skelora_messages.h"

#include <QtTest>

#include <cmath>

using nmb::Skelora;
namespace skelora = nmb::skelora;

namespace {

Skelora::PoseData joint(const std::string& name, const std::string& parent, float seed)
{
    Skelora::PoseData pose;
    pose.name = name;
    pose.parent = parent;
    pose.position = {seed, seed * -2.0f, seed + 0.5f};
    pose.orientation = {1.0f, seed * 0.1f, 0.0f, -seed};
    return pose;
}

Skelora::PoseList chain(float seed)
{
    return {joint("Waist", "", seed), joint("Spine1", "Waist", seed + 1), joint("Spine2", "Spine1", seed + 2)};
}

} // namespace

class TestSkeloraMessages : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void hello_is_exact();
    void pose_frame_bytes_are_exact();
    void floats_are_widened_to_double_data();
    void floats_are_widened_to_double();
    void invalid_utf8_is_replaced();
    void writer_matches_a_fresh_document_data();
    void writer_matches_a_fresh_document();
};

void TestSkeloraMessages::hello_is_exact()
{
    QCOMPARE(skelora::hello_message(), std::string(R"({"role":"sender","type":"hello"})"));
}

void TestSkeloraMessages::pose_frame_bytes_are_exact()
{
    Skelora::PoseList poses{joint("Head", "Neck", 0.5f), joint("Waist", "", -1.0f)};
    const std::string expected =
        R"({"joints":[)"
        R"({"name":"Head","orientation":[1.0,0.05000000074505806,0.0,-0.5],"parent":"Neck","position":[0.5,-1.0,1.0]},)"
        R"({"name":"Waist","orientation":[1.0,-0.10000000149011612,0.0,1.0],"parent":null,"position":[-1.0,2.0,-0.5]}],)"
        R"("skeleton":"performer1","timestamp":1700000000123,"type":"pose_frame"})";

    QCOMPARE(skelora::pose_frame_message("performer1", poses, 1700000000123), expected);
    skelora::PoseFrameWriter writer;
    QCOMPARE(writer.write("performer1", poses, 1700000000123), expected);
    QCOMPARE(skelora::pose_frame_message("s", {}, -5),
             std::string(R"({"joints":[],"skeleton":"s","timestamp":-5,"type":"pose_frame"})"));
}

void TestSkeloraMessages::floats_are_widened_to_double_data()
{
    QTest::addColumn<float>("value");
    QTest::addColumn<QString>("text");

    QTest::newRow("one tenth") << 0.1f << "0.10000000149011612";
    QTest::newRow("whole number") << 3.0f << "3.0";
    QTest::newRow("negative zero") << -0.0f << "-0.0";
    QTest::newRow("largest float") << 3.4028234663852886e38f << "3.4028234663852886e+38";
    QTest::newRow("small value") << 1e-7f << "1.0000000116860974e-07";
}

void TestSkeloraMessages::floats_are_widened_to_double()
{
    QFETCH(float, value);
    QFETCH(QString, text);

    Skelora::PoseData pose = joint("Head", "Neck", 0.0f);
    pose.position = {value, 0.0f, 0.0f};
    const std::string message = skelora::pose_frame_message("s", {pose}, 0);
    const std::string expected = R"("position":[)" + text.toStdString() + ",0.0,0.0]";
    QVERIFY2(message.find(expected) != std::string::npos, message.c_str());
}

void TestSkeloraMessages::invalid_utf8_is_replaced()
{
    // A truncated two-byte sequence in the name and a stray byte in the skeleton.
    const Skelora::PoseList poses{joint("Kn\xc3", "Hip\xff", 1.0f)};
    const std::string replaced = "\xef\xbf\xbd";
    for (const std::string& message : {skelora::pose_frame_message("perf\x80", poses, 1),
                                       skelora::PoseFrameWriter().write("perf\x80", poses, 1)}) {
        QVERIFY(message.find(R"("name":"Kn)" + replaced + "\"") != std::string::npos);
        QVERIFY(message.find(R"("parent":"Hip)" + replaced + "\"") != std::string::npos);
        QVERIFY(message.find(R"("skeleton":"perf)" + replaced + "\"") != std::string::npos);
    }
}

void TestSkeloraMessages::writer_matches_a_fresh_document_data()
{
    QTest::addColumn<Skelora::PoseList>("first");
    QTest::addColumn<Skelora::PoseList>("second");

    Skelora::PoseList renamed = chain(5);
    renamed[1].name = "Spine0";
    Skelora::PoseList parent_dropped = chain(5);
    parent_dropped[2].parent.clear();
    Skelora::PoseList parent_added = chain(5);
    parent_added[0].parent = "Hips";
    Skelora::PoseList fewer = chain(5);
    fewer.pop_back();
    Skelora::PoseList more = chain(5);
    more.push_back(joint("Chest", "Spine2", 9));

    QTest::newRow("same joints, new numbers") << chain(1) << chain(5);
    QTest::newRow("a joint renamed") << chain(1) << renamed;
    QTest::newRow("a parent dropped") << chain(1) << parent_dropped;
    QTest::newRow("a parent added") << chain(1) << parent_added;
    QTest::newRow("one joint fewer") << chain(1) << fewer;
    QTest::newRow("one joint more") << chain(1) << more;
    QTest::newRow("to an empty list") << chain(1) << Skelora::PoseList();
    QTest::newRow("from an empty list") << Skelora::PoseList() << chain(5);
}

void TestSkeloraMessages::writer_matches_a_fresh_document()
{
    QFETCH(Skelora::PoseList, first);
    QFETCH(Skelora::PoseList, second);

    skelora::PoseFrameWriter writer;
    QCOMPARE(writer.write("a", first, 10), skelora::pose_frame_message("a", first, 10));
    QCOMPARE(writer.write("b", second, 20), skelora::pose_frame_message("b", second, 20));
    QCOMPARE(writer.write("b", second, 30), skelora::pose_frame_message("b", second, 30));
}

QTEST_GUILESS_MAIN(TestSkeloraMessages)
#include "tst_skelora_messages.moc"
