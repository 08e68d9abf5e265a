#include "jointscope_window.h"

#include <nmb/protocol/joint_tables.h>
#include <nmb/protocol/mocap_frame.h>
#include <nmb/test/frames.h>

#include <QElapsedTimer>
#include <QFont>
#include <QHeaderView>
#include <QLabel>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <QUdpSocket>

#include <cmath>
#include <limits>

using nmb::JointscopeWindow;
using nmb::protocol::MocapFrame;

namespace {

const QString HAND_NOTE =
    QStringLiteral(" | 注意：手部关节数据为 0，请检查 K7-R 手套蓝牙是否已连接 vexo 并完成标定");

// Pose i of a frame where every value differs per joint and no value sits on
// a rounding tie at three decimals.
nmb::types::Pose distinct_pose(int i)
{
    nmb::types::Pose pose;
    pose.position = {i * 0.011f, -0.5f, -0.1f - i * 0.007f};
    pose.orientation = {1.0f - i * 0.002f, i * 0.003f - 0.05f, 0.25f * float(i % 4), -0.5f + i * 0.013f};
    return pose;
}

MocapFrame distinct_frame(std::uint64_t timestamp_us)
{
    MocapFrame frame;
    frame.timestamp_us = timestamp_us;
    for (int i = 0; i < MocapFrame::POSE_COUNT; ++i)
        frame.poses[i] = distinct_pose(i);
    return frame;
}

bool is_finger(int joint)
{
    return (joint >= 15 && joint <= 34) || joint >= 44;
}

// Body joints filled, every finger value set to `finger_value`, except
// joint `odd_joint` (if >= 0), whose orientation z gets `odd_value`.
MocapFrame frame_with_fingers(float finger_value, int odd_joint = -1, float odd_value = 0.0f)
{
    MocapFrame frame = distinct_frame(1000);
    for (int i = 0; i < MocapFrame::POSE_COUNT; ++i) {
        if (!is_finger(i))
            continue;
        auto& pose = frame.poses[i];
        pose.position = {finger_value, finger_value, finger_value};
        pose.orientation = {finger_value, finger_value, finger_value, finger_value};
    }
    if (odd_joint >= 0)
        frame.poses[odd_joint].orientation.z = odd_value;
    return frame;
}

QLabel* status_label(JointscopeWindow& window)
{
    return window.findChild<QLabel*>(QString(), Qt::FindDirectChildrenOnly);
}

QTreeWidget* joint_tree(JointscopeWindow& window)
{
    return window.findChild<QTreeWidget*>(QString(), Qt::FindDirectChildrenOnly);
}

QString status(JointscopeWindow& window)
{
    return status_label(window)->text();
}

// A numeric field of the status line, e.g. "已解码 (\d+) 帧"; -1 if absent.
qint64 status_number(JointscopeWindow& window, const QString& pattern)
{
    const auto match = QRegularExpression(pattern).match(status(window));
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}

qint64 decoded(JointscopeWindow& window)
{
    return status_number(window, QStringLiteral("已解码 (\\d+) 帧"));
}

qint64 rejected(JointscopeWindow& window)
{
    return status_number(window, QStringLiteral("拒绝 (\\d+) 帧"));
}

QTreeWidgetItem* joint_row(JointscopeWindow& window, const QString& name)
{
    QTreeWidget* tree = joint_tree(window);
    for (int g = 0; g < tree->topLevelItemCount(); ++g) {
        QTreeWidgetItem* group = tree->topLevelItem(g);
        for (int k = 0; k < group->childCount(); ++k)
            if (group->child(k)->text(0) == name)
                return group->child(k);
    }
    return nullptr;
}

// Names and positions fit their columns; quaternions take the rest.
bool header_modes_as_designed(QTreeWidget* tree)
{
    const QHeaderView* header = tree->header();
    return header->sectionResizeMode(0) == QHeaderView::ResizeToContents
        && header->sectionResizeMode(1) == QHeaderView::ResizeToContents
        && header->sectionResizeMode(2) == QHeaderView::Stretch;
}

// The two value columns of a pose, formatted independently of the viewer.
QStringList expected_texts(const nmb::types::Pose& p)
{
    return {QString::asprintf("%.3f, %.3f, %.3f", double(p.position.x), double(p.position.y),
                              double(p.position.z)),
            QString::asprintf("%.3f, %.3f, %.3f, %.3f", double(p.orientation.w),
                              double(p.orientation.x), double(p.orientation.y),
                              double(p.orientation.z))};
}

// A loopback peer that sends datagrams to the window's port.
class Sender {
public:
    Sender() { QVERIFY(socket_.bind(QHostAddress::LocalHost, 0)); }

    bool send(JointscopeWindow& window, const QByteArray& bytes)
    {
        return socket_.writeDatagram(bytes, QHostAddress::LocalHost, window.port()) == bytes.size();
    }

    QString source() const { return QStringLiteral("127.0.0.1:%1").arg(socket_.localPort()); }

private:
    QUdpSocket socket_;
};

} // namespace

class TestJointscopeWindow : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void starts_listening_with_empty_rows();
    void groups_list_their_joints_data();
    void groups_list_their_joints();
    void joint_row_shows_its_pose_data();
    void joint_row_shows_its_pose();
    void every_joint_row_shows_its_own_pose();
    void hand_note_data();
    void hand_note();
    void hand_note_follows_the_latest_frame();
    void rejection_is_counted_and_shown_data();
    void rejection_is_counted_and_shown();
    void whole_frames_from_two_senders_all_decode();
    void interleaved_split_frames_are_rejected();
    void bind_failure_is_shown_in_the_window();
    void long_status_line_keeps_the_window_width();
    void frame_rate_follows_arrivals();
};

void TestJointscopeWindow::starts_listening_with_empty_rows()
{
    JointscopeWindow window(0);
    QVERIFY(window.port() != 0);
    QCOMPARE(window.windowTitle(), QStringLiteral("Nimbra Jointscope - UDP %1").arg(window.port()));
    QCOMPARE(status(window),
             QStringLiteral("监听中：0.0.0.0:%1  （等待 MocapFrame 数据...）").arg(window.port()));

    QTreeWidget* tree = joint_tree(window);
    QVERIFY(tree);
    QCOMPARE(tree->columnCount(), 3);
    QCOMPARE(tree->headerItem()->text(0), QStringLiteral("关节"));
    QCOMPARE(tree->headerItem()->text(1), QStringLiteral("位置 (x, y, z)"));
    QCOMPARE(tree->headerItem()->text(2), QStringLiteral("四元数 (w, x, y, z)"));
    QVERIFY(header_modes_as_designed(tree));
    QVERIFY(tree->alternatingRowColors());
    for (const auto& joint : nmb::protocol::SKELETON_JOINT_DESCRIPTIONS) {
        QTreeWidgetItem* row = joint_row(window, QString::fromLatin1(joint.name));
        QVERIFY2(row, joint.name);
        QCOMPARE(row->text(1), QStringLiteral("-"));
        QCOMPARE(row->text(2), QStringLiteral("-"));
    }
}

void TestJointscopeWindow::groups_list_their_joints_data()
{
    QTest::addColumn<int>("group");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QList<int>>("joints");

    QList<int> body;
    for (int i = 0; i <= 14; ++i)
        body << i;
    for (int i = 35; i <= 43; ++i)
        body << i;
    QList<int> left;
    for (int i = 15; i <= 34; ++i)
        left << i;
    QList<int> right;
    for (int i = 44; i <= 63; ++i)
        right << i;

    QTest::newRow("whole body") << 0 << QStringLiteral("全身骨骼 (24)") << body;
    QTest::newRow("left hand") << 1 << QStringLiteral("左手 (20)") << left;
    QTest::newRow("right hand") << 2 << QStringLiteral("右手 (20)") << right;
}

void TestJointscopeWindow::groups_list_their_joints()
{
    QFETCH(int, group);
    QFETCH(QString, title);
    QFETCH(QList<int>, joints);

    JointscopeWindow window(0);
    QTreeWidget* tree = joint_tree(window);
    QCOMPARE(tree->topLevelItemCount(), 3);
    QTreeWidgetItem* row = tree->topLevelItem(group);
    QCOMPARE(row->text(0), title);
    QVERIFY(row->isFirstColumnSpanned());
    QVERIFY(row->isExpanded());
    QCOMPARE(row->font(0).weight(), QFont::Bold);
    QCOMPARE(row->childCount(), joints.size());
    for (int k = 0; k < joints.size(); ++k) {
        QCOMPARE(row->child(k)->text(0),
                 QString::fromLatin1(nmb::protocol::SKELETON_JOINT_DESCRIPTIONS[joints[k]].name));
        QCOMPARE(row->child(k)->childCount(), 0);
    }
}

void TestJointscopeWindow::joint_row_shows_its_pose_data()
{
    QTest::addColumn<QString>("joint");
    QTest::addColumn<QString>("position");
    QTest::addColumn<QString>("orientation");

    QTest::newRow("first joint") << "Head" << "0.000, -0.500, -0.100"
                                 << "1.000, -0.050, 0.000, -0.500";
    QTest::newRow("first left finger") << "LeftThumbNear" << "0.165, -0.500, -0.205"
                                       << "0.970, -0.005, 0.750, -0.305";
    QTest::newRow("last joint") << "RightPinkyEnd" << "0.693, -0.500, -0.541"
                                << "0.874, 0.139, 0.750, 0.319";
}

void TestJointscopeWindow::joint_row_shows_its_pose()
{
    QFETCH(QString, joint);
    QFETCH(QString, position);
    QFETCH(QString, orientation);

    JointscopeWindow window(0);
    Sender sender;
    QVERIFY(sender.send(window, nmb::test::mocap_frame_bytes(distinct_frame(42))));
    QTreeWidgetItem* row = joint_row(window, joint);
    QVERIFY(row);
    QTRY_COMPARE(row->text(1), position);
    QCOMPARE(row->text(2), orientation);
}

void TestJointscopeWindow::every_joint_row_shows_its_own_pose()
{
    JointscopeWindow window(0);
    Sender sender;
    QVERIFY(sender.send(window, nmb::test::mocap_frame_bytes(distinct_frame(42))));
    QTRY_COMPARE(decoded(window), 1);
    for (int i = 0; i < MocapFrame::POSE_COUNT; ++i) {
        const auto* name = nmb::protocol::SKELETON_JOINT_DESCRIPTIONS[i].name;
        QTreeWidgetItem* row = joint_row(window, QString::fromLatin1(name));
        QVERIFY2(row, name);
        QCOMPARE((QStringList{row->text(1), row->text(2)}), expected_texts(distinct_pose(i)));
    }
    QVERIFY(header_modes_as_designed(joint_tree(window)));
}

void TestJointscopeWindow::hand_note_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<bool>("note");

    const float nan = std::numeric_limits<float>::quiet_NaN();
    QTest::newRow("all fingers zero") << nmb::test::mocap_frame_bytes(frame_with_fingers(0.0f)) << true;
    QTest::newRow("all fingers negative zero")
        << nmb::test::mocap_frame_bytes(frame_with_fingers(-0.0f)) << true;
    QTest::newRow("one left finger value not zero")
        << nmb::test::mocap_frame_bytes(frame_with_fingers(0.0f, 15, 0.001f)) << false;
    QTest::newRow("last right finger value not zero")
        << nmb::test::mocap_frame_bytes(frame_with_fingers(0.0f, 63, -0.25f)) << false;
    QTest::newRow("one finger value NaN")
        << nmb::test::mocap_frame_bytes(frame_with_fingers(0.0f, 44, nan)) << false;
    QTest::newRow("all fingers moving") << nmb::test::mocap_frame_bytes(distinct_frame(5)) << false;
}

void TestJointscopeWindow::hand_note()
{
    QFETCH(QByteArray, frame);
    QFETCH(bool, note);

    JointscopeWindow window(0);
    Sender sender;
    QVERIFY(sender.send(window, frame));
    QTRY_COMPARE(decoded(window), 1);
    QCOMPARE(status(window).endsWith(HAND_NOTE), note);
    QVERIFY(status(window).count(HAND_NOTE) <= 1);
}

void TestJointscopeWindow::hand_note_follows_the_latest_frame()
{
    JointscopeWindow window(0);
    Sender sender;
    QVERIFY(sender.send(window, nmb::test::mocap_frame_bytes(frame_with_fingers(0.0f))));
    QTRY_COMPARE(decoded(window), 1);
    QVERIFY(status(window).endsWith(HAND_NOTE));

    QVERIFY(sender.send(window, nmb::test::mocap_frame_bytes(frame_with_fingers(0.0f, 30, 0.5f))));
    QTRY_COMPARE(decoded(window), 2);
    QVERIFY(!status(window).contains(HAND_NOTE));

    QVERIFY(sender.send(window, nmb::test::mocap_frame_bytes(frame_with_fingers(-0.0f))));
    QTRY_COMPARE(decoded(window), 3);
    QVERIFY(status(window).endsWith(HAND_NOTE));
}

void TestJointscopeWindow::rejection_is_counted_and_shown_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("reason");

    QByteArray corrupted = nmb::test::mocap_frame_bytes(7, 3.0f);
    corrupted[100] = char(corrupted[100] ^ 0x01);
    // A header of the wanted ID that declares one byte more than a Mocap payload.
    const QByteArray oversized("\xAA\x55\x00\x00\x3B\x07", 6);

    QTest::newRow("body frame")
        << nmb::test::patterned_frame(1, 676) << QStringLiteral("拒绝一帧数据（解码结果 2）");
    QTest::newRow("hand frame")
        << nmb::test::patterned_frame(3, 620) << QStringLiteral("拒绝一帧数据（解码结果 2）");
    QTest::newRow("declared length above a mocap payload")
        << oversized << QStringLiteral("拒绝一帧数据（解码结果 3）");
    QTest::newRow("checksum mismatch") << corrupted << QStringLiteral("拒绝一帧数据（解码结果 4）");
    QTest::newRow("mocap frame with a short payload")
        << nmb::test::patterned_frame(0, 100) << QStringLiteral("拒绝一帧数据（载荷长度 100，应为 1850）");
    QTest::newRow("mocap frame with an empty payload")
        << nmb::test::frame_bytes(0, {}) << QStringLiteral("拒绝一帧数据（载荷长度 0，应为 1850）");
}

void TestJointscopeWindow::rejection_is_counted_and_shown()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, reason);
    const QString suffix = QStringLiteral(" | 错误：") + reason;

    JointscopeWindow window(0);
    Sender sender;
    QVERIFY(sender.send(window, nmb::test::mocap_frame_bytes(distinct_frame(11))));
    QTRY_COMPARE(decoded(window), 1);
    QCOMPARE(rejected(window), 0);
    QTreeWidgetItem* head = joint_row(window, QStringLiteral("Head"));
    const QString head_position = head->text(1);

    QVERIFY(sender.send(window, bytes));
    QTRY_VERIFY2(status(window).endsWith(suffix), qPrintable(status(window)));
    QCOMPARE(rejected(window), 1);
    QCOMPARE(decoded(window), 1);

    // The rejected bytes never reach the tree, and the reason stays shown
    // after later good frames.
    QVERIFY(sender.send(window, nmb::test::mocap_frame_bytes(distinct_frame(12))));
    QTRY_COMPARE(decoded(window), 2);
    QCOMPARE(head->text(1), head_position);
    QVERIFY(status(window).contains(QStringLiteral("时间戳 12 us")));
    QVERIFY(status(window).endsWith(suffix));

    QVERIFY(sender.send(window, bytes));
    QTRY_COMPARE(rejected(window), 2);
    QVERIFY(status(window).endsWith(suffix));
}

void TestJointscopeWindow::whole_frames_from_two_senders_all_decode()
{
    JointscopeWindow window(0);
    Sender first;
    Sender second;
    for (int n = 1; n <= 10; ++n) {
        Sender& sender = (n % 2 == 1) ? first : second;
        QVERIFY(sender.send(window, nmb::test::mocap_frame_bytes(std::uint64_t(n) * 1000, float(n))));
    }
    QVERIFY(first.send(window, nmb::test::mocap_frame_bytes(11000, 11.0f)));
    QTRY_COMPARE(decoded(window), 11);
    QCOMPARE(rejected(window), 0);
    QVERIFY(status(window).contains(QStringLiteral(" | 来源 %1 | ").arg(first.source())));
    QVERIFY(status(window).contains(QStringLiteral(" | 时间戳 11000 us | ")));

    QVERIFY(second.send(window, nmb::test::mocap_frame_bytes(12000, 12.0f)));
    QTRY_COMPARE(decoded(window), 12);
    QVERIFY(status(window).contains(QStringLiteral(" | 来源 %1 | ").arg(second.source())));
    QVERIFY(!status(window).contains(QStringLiteral("错误")));
}

void TestJointscopeWindow::interleaved_split_frames_are_rejected()
{
    JointscopeWindow window(0);
    Sender first;
    Sender second;
    const QByteArray a = nmb::test::mocap_frame_bytes(1000, 1.0f);
    const QByteArray b = nmb::test::mocap_frame_bytes(2000, 2.0f);
    const qsizetype half = a.size() / 2;

    // Each sender splits its frame in two; the halves arrive interleaved at
    // the one decoder the window shares between senders.
    QVERIFY(first.send(window, a.left(half)));
    QVERIFY(second.send(window, b.left(half)));
    QVERIFY(first.send(window, a.mid(half)));
    QVERIFY(second.send(window, b.mid(half)));
    // A whole frame last: once it is counted, everything before it was read.
    QVERIFY(first.send(window, nmb::test::mocap_frame_bytes(3000, 3.0f)));

    QTRY_COMPARE(decoded(window), 1);
    QVERIFY(rejected(window) >= 1);
    QVERIFY2(status(window).endsWith(QStringLiteral(" | 错误：拒绝一帧数据（解码结果 4）")),
             qPrintable(status(window)));
    QVERIFY(status(window).contains(QStringLiteral("时间戳 3000 us")));
}

void TestJointscopeWindow::bind_failure_is_shown_in_the_window()
{
    QUdpSocket blocker;
    QVERIFY(blocker.bind(QHostAddress::LocalHost, 0));
    const quint16 port = blocker.localPort();

    JointscopeWindow window(port);
    window.show();
    QCOMPARE(window.port(), port);
    QCOMPARE(window.windowTitle(), QStringLiteral("Nimbra Jointscope - UDP %1").arg(port));
    const QString text = status(window);
    QVERIFY2(text.startsWith(QStringLiteral("本机 IP: ")), qPrintable(text));
    QVERIFY(text.contains(QStringLiteral(" | 端口 %1 | 已解码 0 帧 | ").arg(port)));
    QVERIFY(text.contains(QStringLiteral(" | 来源 - | 拒绝 0 帧")));
    QVERIFY2(text.endsWith(QStringLiteral(" | 错误：无法绑定 UDP 端口 %1").arg(port)), qPrintable(text));
    QVERIFY(window.isVisible());
}

void TestJointscopeWindow::long_status_line_keeps_the_window_width()
{
    JointscopeWindow window(0);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const int width = window.width();
    Sender sender;
    QVERIFY(sender.send(window, nmb::test::mocap_frame_bytes(frame_with_fingers(0.0f))));
    QVERIFY(sender.send(window, nmb::test::patterned_frame(1, 676)));
    QTRY_VERIFY(status(window).contains(HAND_NOTE) && status(window).contains(QStringLiteral("错误：")));

    // The whole line stays readable inside the window instead of widening it.
    QVERIFY(status_label(window)->fontMetrics().horizontalAdvance(status(window)) > width);
    QVERIFY(window.minimumSizeHint().width() <= width);
    QCOMPARE(window.width(), width);
    // The layout takes the new height on a later turn of the event loop.
    QTRY_VERIFY(status_label(window)->height() >= 2 * status_label(window)->fontMetrics().height());
}

void TestJointscopeWindow::frame_rate_follows_arrivals()
{
    JointscopeWindow window(0);
    Sender sender;
    // 100 frames/s paced from one clock; the fps field is sampled every
    // half second, so a generous window around 100 must show up.
    QElapsedTimer clock;
    clock.start();
    int sent = 0;
    QTimer pacer;
    pacer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&pacer, &QTimer::timeout, &pacer, [&] {
        const qint64 due = qMin<qint64>(clock.elapsed() / 10 + 1, 1000);
        for (; sent < due; ++sent)
            sender.send(window, nmb::test::mocap_frame_bytes(std::uint64_t(sent) * 10000, float(sent)));
    });
    pacer.start(5);
    const auto fps = [&] { return status_number(window, QStringLiteral("\\| (\\d+) fps \\|")); };
    QTRY_VERIFY_WITH_TIMEOUT(fps() >= 50 && fps() <= 150, 8000);
    pacer.stop();
    QVERIFY(sent <= 1000);
}

QTEST_MAIN(TestJointscopeWindow)
#include "tst_jointscope_window.moc"
