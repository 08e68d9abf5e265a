#include "pose_lists.h"
#include "skelora_messages.h"

#include <QtTest>

#include <cmath>

using nmb::Skelora;
using nmb::test::seeded_joint;
namespace skelora = nmb::skelora;

class TestSkeloraMessages : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void hello_is_exact();
    void pose_frame_bytes_are_exact();
    void floats_are_widened_to_double_data();
    void floats_are_widened_to_double();
    void invalid_utf8_is_replaced();
};

void TestSkeloraMessages::hello_is_exact()
{
    QCOMPARE(skelora::hello_message(), std::string(R"({"role":"sender","type":"hello"})"));
}

void TestSkeloraMessages::pose_frame_bytes_are_exact()
{
    Skelora::PoseList poses{seeded_joint("Head", "Neck", 0.5f), seeded_joint("Waist", "", -1.0f)};
    const std::string expected =
        R"({"joints":[)"
        R"({"name":"Head","orientation":[1.0,0.05000000074505806,0.0,-0.5],"parent":"Neck","position":[0.5,-1.0,1.0]},)"
        R"({"name":"Waist","orientation":[1.0,-0.10000000149011612,0.0,1.0],"parent":null,"position":[-1.0,2.0,-0.5]}],)"
        R"("skeleton":"performer1","timestamp":1700000000123,"type":"pose_frame"})";

    QCOMPARE(skelora::pose_frame_message("performer1", poses, 1700000000123), expected);
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

    Skelora::PoseData pose = seeded_joint("Head", "Neck", 0.0f);
    pose.position = {value, 0.0f, 0.0f};
    const std::string message = skelora::pose_frame_message("s", {pose}, 0);
    const std::string expected = R"("position":[)" + text.toStdString() + ",0.0,0.0]";
    QVERIFY2(message.find(expected) != std::string::npos, message.c_str());
}

void TestSkeloraMessages::invalid_utf8_is_replaced()
{
    // A truncated two-byte sequence in the name and a stray byte in the skeleton.
    const Skelora::PoseList poses{seeded_joint("Kn\xc3", "Hip\xff", 1.0f)};
    const std::string replaced = "\xef\xbf\xbd";
    const std::string message = skelora::pose_frame_message("perf\x80", poses, 1);
    QVERIFY(message.find(R"("name":"Kn)" + replaced + "\"") != std::string::npos);
    QVERIFY(message.find(R"("parent":"Hip)" + replaced + "\"") != std::string::npos);
    QVERIFY(message.find(R"("skeleton":"perf)" + replaced + "\"") != std::string::npos);
}

QTEST_GUILESS_MAIN(TestSkeloraMessages)
#include "tst_skelora_messages.moc"
