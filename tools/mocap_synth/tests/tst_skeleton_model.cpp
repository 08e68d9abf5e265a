#include "skeleton_model.h"

#include <nmb/protocol/joint_tables.h>

#include <QTest>

#include <cmath>
#include <cstring>

using namespace nmb::synth;
using nmb::protocol::SKELETON_JOINT_DESCRIPTIONS;

namespace {

int slot(const char* name)
{
    for (int i = 0; i < JOINT_COUNT; ++i) {
        if (std::strcmp(SKELETON_JOINT_DESCRIPTIONS[i].name, name) == 0)
            return i;
    }
    return -1;
}

double distance(const nmb::types::Vec3& a, const nmb::types::Vec3& b)
{
    const double dx = a.x - b.x, dy = a.y - b.y, dz = a.z - b.z;
    return std::sqrt(dx * dx + dy * dy + dz * dz);
}

// Instants spread over a minute, irregular so no rhythm hides a fault.
QList<double> sample_times()
{
    QList<double> times;
    for (int i = 0; i < 160; ++i)
        times << -1.0 + i * 0.377;
    return times;
}

} // namespace

class TestSkeletonModel : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void parents_follow_the_joint_table();
    void bone_lengths_stay_constant();
    void orientations_are_unit_quaternions();
    void figure_stands_upright_data();
    void figure_stands_upright();
    void left_and_right_limbs_match_data();
    void left_and_right_limbs_match();
    void fingers_move();
};

void TestSkeletonModel::parents_follow_the_joint_table()
{
    const SkeletonModel model;
    for (int i = 0; i < JOINT_COUNT; ++i) {
        const char* parent = SKELETON_JOINT_DESCRIPTIONS[i].parent;
        QCOMPARE(model.parents()[i], parent ? slot(parent) : -1);
    }
}

void TestSkeletonModel::bone_lengths_stay_constant()
{
    const SkeletonModel model;
    for (const double t : sample_times()) {
        const SkeletonPoses poses = model.poses_at(t);
        for (int i = 0; i < JOINT_COUNT; ++i) {
            const int parent = model.parents()[i];
            if (parent < 0)
                continue;
            const double length = distance(poses[i].position, poses[parent].position);
            if (std::abs(length - model.bone_length(i)) > 1e-4)
                QFAIL(qPrintable(QStringLiteral("%1 at t=%2: %3 m from its parent, expected %4")
                                     .arg(SKELETON_JOINT_DESCRIPTIONS[i].name)
                                     .arg(t)
                                     .arg(length)
                                     .arg(model.bone_length(i))));
            QVERIFY(model.bone_length(i) > 0.005);
        }
    }
}

void TestSkeletonModel::orientations_are_unit_quaternions()
{
    const SkeletonModel model;
    for (const double t : sample_times()) {
        for (const auto& pose : model.poses_at(t)) {
            const auto& q = pose.orientation;
            const double norm = std::sqrt(q.w * q.w + q.x * q.x + q.y * q.y + q.z * q.z);
            QVERIFY2(std::abs(norm - 1.0) < 1e-5, qPrintable(QString::number(norm)));
        }
    }
}

void TestSkeletonModel::figure_stands_upright_data()
{
    QTest::addColumn<QString>("joint");
    QTest::addColumn<double>("lowest");
    QTest::addColumn<double>("highest");
    QTest::newRow("head at about 1.6 m") << "Head" << 1.45 << 1.7;
    QTest::newRow("waist at about 1 m") << "Waist" << 0.9 << 1.05;
    QTest::newRow("left foot near the ground") << "LeftFoot" << -0.05 << 0.3;
    QTest::newRow("right foot near the ground") << "RightFoot" << -0.05 << 0.3;
    QTest::newRow("left hand hanging at the hip") << "LeftHand" << 0.6 << 1.1;
    QTest::newRow("right hand raised to wave") << "RightHand" << 1.5 << 2.2;
}

void TestSkeletonModel::figure_stands_upright()
{
    QFETCH(QString, joint);
    QFETCH(double, lowest);
    QFETCH(double, highest);
    const SkeletonModel model;
    const int i = slot(qPrintable(joint));
    QVERIFY(i >= 0);
    for (const double t : sample_times()) {
        const float y = model.poses_at(t)[i].position.y;
        QVERIFY2(y >= lowest && y <= highest, qPrintable(QStringLiteral("y=%1 at t=%2").arg(y).arg(t)));
    }
}

void TestSkeletonModel::left_and_right_limbs_match_data()
{
    QTest::addColumn<QString>("joint");
    for (const char* name : {"Collar", "Shoulder", "Elbow", "Wrist", "Hand", "Hip", "Knee", "Ankle",
                             "Foot", "ThumbNear", "IndexMid", "MiddleFar", "RingEnd", "PinkyEnd"})
        QTest::newRow(name) << QString::fromLatin1(name);
}

void TestSkeletonModel::left_and_right_limbs_match()
{
    QFETCH(QString, joint);
    const SkeletonModel model;
    const int left = slot(qPrintable(QStringLiteral("Left") + joint));
    const int right = slot(qPrintable(QStringLiteral("Right") + joint));
    QVERIFY(left >= 0 && right >= 0);
    QCOMPARE(model.bone_length(left), model.bone_length(right));
}

void TestSkeletonModel::fingers_move()
{
    // Fingertips seen from their wrist must change: a hand that only rides
    // along with the arm would keep them fixed in the wrist's frame, but the
    // distance from the wrist to a curling fingertip changes.
    const SkeletonModel model;
    for (const char* side : {"Left", "Right"}) {
        const int wrist = slot(qPrintable(QStringLiteral("%1Wrist").arg(side)));
        for (const char* finger : {"Thumb", "Index", "Middle", "Ring", "Pinky"}) {
            const int tip = slot(qPrintable(QStringLiteral("%1%2End").arg(side, finger)));
            double shortest = 1e9, longest = 0;
            for (const double t : sample_times()) {
                const SkeletonPoses poses = model.poses_at(t);
                const double reach = distance(poses[tip].position, poses[wrist].position);
                shortest = std::min(shortest, reach);
                longest = std::max(longest, reach);
            }
            QVERIFY2(longest - shortest > 0.005, qPrintable(QStringLiteral("%1%2").arg(side, finger)));
        }
    }
}

QTEST_GUILESS_MAIN(TestSkeletonModel)
#include "tst_skeleton_model.moc"
