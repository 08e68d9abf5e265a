#include <nmb/protocol/joint_tables.h>

#include <QSet>
#include <QTest>

#include <cstring>
#include <span>

using namespace nmb::protocol;

namespace {

int find(std::span<const JointDescription> table, const char* name)
{
    for (std::size_t i = 0; name && i < table.size(); ++i) {
        if (std::strcmp(table[i].name, name) == 0)
            return int(i);
    }
    return -1;
}

std::span<const JointDescription> table_named(const QString& name)
{
    if (name == QLatin1String("skeleton"))
        return SKELETON_JOINT_DESCRIPTIONS;
    return HAND_JOINT_DESCRIPTIONS;
}

} // namespace

class TestJointTables : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void skeleton_entries_data();
    void skeleton_entries();
    void hand_entries_data();
    void hand_entries();
    void tables_form_trees_data();
    void tables_form_trees();
    void spine_chain_runs_from_the_waist_to_the_head();
    void fingers_hang_off_the_wrists();
    void body_slots_data();
    void body_slots();
    void body_joints_form_a_closed_tree();
};

void TestJointTables::skeleton_entries_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("parent");
    QTest::newRow("head first") << 0 << "Head" << "Neck";
    QTest::newRow("chest under spine 2") << 2 << "Chest" << "Spine2";
    QTest::newRow("spine 1 before spine 2") << 3 << "Spine1" << "Waist";
    QTest::newRow("spine 2") << 4 << "Spine2" << "Spine1";
    QTest::newRow("waist is the root") << 5 << "Waist" << "";
    QTest::newRow("left hand under the left wrist") << 10 << "LeftHand" << "LeftWrist";
    QTest::newRow("left hip") << 11 << "LeftHip" << "Waist";
    QTest::newRow("left foot") << 14 << "LeftFoot" << "LeftAnkle";
    QTest::newRow("left thumb from the wrist, not the hand") << 15 << "LeftThumbNear" << "LeftWrist";
    QTest::newRow("left pinky end") << 34 << "LeftPinkyEnd" << "LeftPinkyFar";
    QTest::newRow("right collar") << 35 << "RightCollar" << "Chest";
    QTest::newRow("right hip") << 40 << "RightHip" << "Waist";
    QTest::newRow("right index near") << 48 << "RightIndexNear" << "RightWrist";
    QTest::newRow("right pinky end last") << 63 << "RightPinkyEnd" << "RightPinkyFar";
}

void TestJointTables::skeleton_entries()
{
    QFETCH(int, index);
    QFETCH(QString, name);
    QFETCH(QString, parent);
    QCOMPARE(SKELETON_JOINT_DESCRIPTIONS.size(), std::size_t(64));
    const JointDescription& entry = SKELETON_JOINT_DESCRIPTIONS[std::size_t(index)];
    QCOMPARE(QString::fromLatin1(entry.name), name);
    QCOMPARE(entry.parent == nullptr, parent.isEmpty());
    if (entry.parent)
        QCOMPARE(QString::fromLatin1(entry.parent), parent);
}

void TestJointTables::hand_entries_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("parent");
    QTest::newRow("thumb near first") << 0 << "ThumbNear" << "Wrist";
    QTest::newRow("index near") << 3 << "IndexNear" << "Wrist";
    QTest::newRow("pinky far ends the finger block") << 14 << "PinkyFar" << "PinkyMid";
    QTest::newRow("arm is the root") << 15 << "Arm" << "";
    QTest::newRow("wrist after its children") << 16 << "Wrist" << "Arm";
    QTest::newRow("thumb end") << 17 << "ThumbEnd" << "ThumbFar";
    QTest::newRow("pinky end last") << 21 << "PinkyEnd" << "PinkyFar";
}

void TestJointTables::hand_entries()
{
    QFETCH(int, index);
    QFETCH(QString, name);
    QFETCH(QString, parent);
    QCOMPARE(HAND_JOINT_DESCRIPTIONS.size(), std::size_t(22));
    const JointDescription& entry = HAND_JOINT_DESCRIPTIONS[std::size_t(index)];
    QCOMPARE(QString::fromLatin1(entry.name), name);
    QCOMPARE(entry.parent == nullptr, parent.isEmpty());
    if (entry.parent)
        QCOMPARE(QString::fromLatin1(entry.parent), parent);
}

void TestJointTables::tables_form_trees_data()
{
    QTest::addColumn<QString>("table");
    QTest::addColumn<QString>("root");
    QTest::newRow("skeleton") << "skeleton" << "Waist";
    QTest::newRow("hand") << "hand" << "Arm";
}

void TestJointTables::tables_form_trees()
{
    // One root, unique names, every parent in the same table, and every
    // chain of parents reaching the root without a cycle.
    QFETCH(QString, table);
    QFETCH(QString, root);
    const auto joints = table_named(table);
    QSet<QString> names;
    int roots = 0;
    for (std::size_t i = 0; i < joints.size(); ++i) {
        names.insert(QString::fromLatin1(joints[i].name));
        if (!joints[i].parent) {
            ++roots;
            QCOMPARE(QString::fromLatin1(joints[i].name), root);
            continue;
        }
        QVERIFY2(find(joints, joints[i].parent) >= 0, joints[i].parent);
        int at = int(i);
        for (std::size_t steps = 0; joints[std::size_t(at)].parent; ++steps) {
            QVERIFY2(steps < joints.size(), joints[i].name);
            at = find(joints, joints[std::size_t(at)].parent);
        }
        QCOMPARE(QString::fromLatin1(joints[std::size_t(at)].name), root);
    }
    QCOMPARE(roots, 1);
    QCOMPARE(names.size(), qsizetype(joints.size()));
}

void TestJointTables::spine_chain_runs_from_the_waist_to_the_head()
{
    QStringList chain;
    for (int at = find(SKELETON_JOINT_DESCRIPTIONS, "Head"); at >= 0;
         at = find(SKELETON_JOINT_DESCRIPTIONS, SKELETON_JOINT_DESCRIPTIONS[std::size_t(at)].parent))
        chain.prepend(QString::fromLatin1(SKELETON_JOINT_DESCRIPTIONS[std::size_t(at)].name));
    QCOMPARE(chain, (QStringList{"Waist", "Spine1", "Spine2", "Chest", "Neck", "Head"}));
}

void TestJointTables::fingers_hang_off_the_wrists()
{
    for (const auto& table : {std::span<const JointDescription>(SKELETON_JOINT_DESCRIPTIONS),
                              std::span<const JointDescription>(HAND_JOINT_DESCRIPTIONS)}) {
        int near_joints = 0;
        for (const JointDescription& joint : table) {
            if (!QByteArray(joint.name).endsWith("Near"))
                continue;
            ++near_joints;
            QVERIFY2(QByteArray(joint.parent).endsWith("Wrist"), joint.name);
        }
        QCOMPARE(near_joints, table.size() == 64 ? 10 : 5);
    }
}

void TestJointTables::body_slots_data()
{
    QTest::addColumn<int>("slot");
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("name");
    QTest::newRow("waist first") << 0 << 5 << "Waist";
    QTest::newRow("left hip") << 1 << 11 << "LeftHip";
    QTest::newRow("slot 3 is spine 2") << 3 << 4 << "Spine2";
    QTest::newRow("slot 6 is spine 1") << 6 << 3 << "Spine1";
    QTest::newRow("head") << 15 << 0 << "Head";
    QTest::newRow("right hand last") << 23 << 39 << "RightHand";
}

void TestJointTables::body_slots()
{
    QFETCH(int, slot);
    QFETCH(int, index);
    QFETCH(QString, name);
    QCOMPARE(HUMAN_BODY_JOINTS[std::size_t(slot)], index);
    QCOMPARE(QString::fromLatin1(SKELETON_JOINT_DESCRIPTIONS[std::size_t(index)].name), name);
}

void TestJointTables::body_joints_form_a_closed_tree()
{
    const std::array<std::int32_t, 24> expected = {5, 11, 40, 4, 12, 41, 3, 13, 42, 2, 14, 43,
                                                   1, 6, 35, 0, 7, 36, 8, 37, 9, 38, 10, 39};
    QCOMPARE(HUMAN_BODY_JOINTS, expected);
    QSet<QString> body;
    for (const std::int32_t index : HUMAN_BODY_JOINTS)
        body.insert(QString::fromLatin1(SKELETON_JOINT_DESCRIPTIONS[std::size_t(index)].name));
    QCOMPARE(body.size(), 24);
    for (const std::int32_t index : HUMAN_BODY_JOINTS) {
        const char* parent = SKELETON_JOINT_DESCRIPTIONS[std::size_t(index)].parent;
        if (parent)
            QVERIFY2(body.contains(QString::fromLatin1(parent)), parent);
    }
}

QTEST_GUILESS_MAIN(TestJointTables)
#include "tst_joint_tables.moc"
