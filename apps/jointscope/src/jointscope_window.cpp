#include "jointscope_window.h"

#include <nmb/protocol/joint_tables.h>

#include <QFont>
#include <QHeaderView>
#include <QLabel>
#include <QNetworkInterface>
#include <QStringList>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QtDebug>

#include <cstdint>

namespace nmb {
namespace {

using protocol::MocapFrame;

constexpr int JOINT_COUNT = MocapFrame::POSE_COUNT;

// The skeleton's joint names in pose-slot order, taken from the protocol's
// own table so the two can never drift apart.
const std::array<const char*, JOINT_COUNT> JOINT_NAMES = [] {
    std::array<const char*, JOINT_COUNT> names{};
    for (int i = 0; i < JOINT_COUNT; ++i)
        names[i] = protocol::SKELETON_JOINT_DESCRIPTIONS[i].name;
    return names;
}();

constexpr int GROUP_COUNT = 3;
constexpr int GROUP_CAPACITY = 24;

const char* const GROUP_NAMES[GROUP_COUNT] = {"全身骨骼", "左手", "右手"};

constexpr std::array<int, GROUP_COUNT> GROUP_COUNTS = {24, 20, 20};

// Joint indices per group; only the first GROUP_COUNTS[g] entries of a row
// are used, the rest is zero fill.
constexpr std::array<std::array<std::int32_t, GROUP_CAPACITY>, GROUP_COUNT> GROUP_JOINTS = {{
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 35, 36, 37, 38, 39, 40, 41, 42, 43},
    {15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34},
    {44, 45, 46, 47, 48, 49, 50, 51, 52, 53, 54, 55, 56, 57, 58, 59, 60, 61, 62, 63},
}};

// The finger joints of both hands: all zero means the gloves send nothing.
constexpr std::array<std::int32_t, 40> HAND_DATA_JOINTS = {
    15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34,
    44, 45, 46, 47, 48, 49, 50, 51, 52, 53, 54, 55, 56, 57, 58, 59, 60, 61, 62, 63,
};

// Every joint gets exactly one row, so joint_items_ ends up fully set.
constexpr bool groups_cover_each_joint_once()
{
    std::array<int, JOINT_COUNT> seen{};
    for (int g = 0; g < GROUP_COUNT; ++g) {
        for (int k = 0; k < GROUP_COUNTS[g]; ++k) {
            const std::int32_t i = GROUP_JOINTS[g][k];
            if (i < 0 || i >= JOINT_COUNT || seen[i]++ != 0)
                return false;
        }
    }
    return true;
}
static_assert(groups_cover_each_joint_once());

// The hint's joints are exactly the two hand groups.
constexpr bool hand_joints_are_the_hand_groups()
{
    std::size_t n = 0;
    for (int g = 1; g < GROUP_COUNT; ++g)
        for (int k = 0; k < GROUP_COUNTS[g]; ++k)
            if (n >= HAND_DATA_JOINTS.size() || HAND_DATA_JOINTS[n++] != GROUP_JOINTS[g][k])
                return false;
    return n == HAND_DATA_JOINTS.size();
}
static_assert(hand_joints_are_the_hand_groups());

constexpr int REFRESH_INTERVAL_MS = 30;
constexpr qint64 FPS_SAMPLE_MS = 499;

QString fixed3(float value)
{
    return QString::number(double(value), 'f', 3);
}

bool pose_is_zero(const types::Pose& pose)
{
    // == rather than a bit test: -0.0 counts as zero, NaN does not.
    return pose.position.x == 0.0f && pose.position.y == 0.0f && pose.position.z == 0.0f
        && pose.orientation.w == 0.0f && pose.orientation.x == 0.0f && pose.orientation.y == 0.0f
        && pose.orientation.z == 0.0f;
}

QString ipv4_addresses()
{
    QStringList texts;
    const auto addresses = QNetworkInterface::allAddresses();
    for (const QHostAddress& address : addresses) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback())
            texts << address.toString();
    }
    return texts.isEmpty() ? QStringLiteral("-") : texts.join(QStringLiteral(", "));
}

QString window_title(quint16 port)
{
    return QStringLiteral("Nimbra Jointscope - UDP %1").arg(port);
}

} // namespace

JointscopeWindow::JointscopeWindow(quint16 port, QWidget* parent)
    : QWidget(parent)
    , port_(port)
    , status_label_(new QLabel(this))
    , tree_(new QTreeWidget(this))
{
    setWindowTitle(window_title(port_));
    resize(920, 720);

    // Error texts come from the network; never let them turn into markup.
    status_label_->setTextFormat(Qt::PlainText);
    status_label_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // With the hand-data note and an error the line is wider than the
    // window; unwrapped, the label's minimum width would push the window
    // past the screen edge and the note would still be out of sight.
    status_label_->setWordWrap(true);
    status_label_->setStyleSheet(QStringLiteral("padding: 4px;"));

    tree_->setColumnCount(3);
    tree_->setHeaderLabels({QStringLiteral("关节"), QStringLiteral("位置 (x, y, z)"),
                            QStringLiteral("四元数 (w, x, y, z)")});
    tree_->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    tree_->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
    tree_->header()->setSectionResizeMode(2, QHeaderView::Stretch);
    tree_->setAlternatingRowColors(true);
    // Every row is one line of the same font, so the view need not measure
    // each changed row again.
    tree_->setUniformRowHeights(true);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addWidget(status_label_, 0);
    layout->addWidget(tree_, 1);

    local_addresses_ = ipv4_addresses();
    build_joint_tree();

    rate_clock_.start();
    refresh_timer_.setInterval(REFRESH_INTERVAL_MS);
    QObject::connect(&refresh_timer_, &QTimer::timeout, this, &JointscopeWindow::refresh_view);
    refresh_timer_.start();

    QObject::connect(&udp_, &UdpAdapter::data_received, this, &JointscopeWindow::on_data_received);
    QObject::connect(&udp_, &UdpAdapter::error_occurred, this, &JointscopeWindow::on_udp_error);

    udp_.initialize();
    if (!udp_.connect(QHostAddress::AnyIPv4, port_)) {
        last_error_ = QStringLiteral("无法绑定 UDP 端口 %1").arg(port_);
        update_status();
        return;
    }
    if (port_ == 0) {
        port_ = udp_.local_port();
        setWindowTitle(window_title(port_));
    }
    // Room for bursts that arrive while the GUI thread is busy painting.
    const QString shortfall = receive_buffer_shortfall(
        RECEIVE_BUFFER_REQUEST_BYTES, udp_.request_receive_buffer_size(RECEIVE_BUFFER_REQUEST_BYTES));
    if (!shortfall.isEmpty())
        qInfo().noquote() << shortfall;
    status_label_->setText(QStringLiteral("监听中：0.0.0.0:%1  （等待 MocapFrame 数据...）").arg(port_));
}

void JointscopeWindow::build_joint_tree()
{
    const QString dash = QStringLiteral("-");
    for (int g = 0; g < GROUP_COUNT; ++g) {
        auto* group = new QTreeWidgetItem(tree_);
        group->setText(0, QStringLiteral("%1 (%2)")
                              .arg(QString::fromUtf8(GROUP_NAMES[g]))
                              .arg(GROUP_COUNTS[g]));
        group->setFirstColumnSpanned(true);
        QFont font = group->font(0);
        font.setWeight(QFont::Bold);
        group->setFont(0, font);
        for (int k = 0; k < GROUP_COUNTS[g]; ++k) {
            const std::int32_t i = GROUP_JOINTS[g][k];
            auto* item = new QTreeWidgetItem(group);
            item->setText(0, QString::fromLatin1(JOINT_NAMES[i]));
            item->setText(1, dash);
            item->setText(2, dash);
            joint_items_[i] = item;
        }
        group->setExpanded(true);
    }
}

void JointscopeWindow::on_data_received(const QByteArray& datagram, const QHostAddress& address,
                                        quint16 port)
{
    last_source_ = address.toString() + QLatin1Char(':') + QString::number(port);
    for (const char byte : datagram) {
        const codec::DecodeResult result = decoder_.feed(static_cast<std::uint8_t>(byte));
        switch (result) {
        case codec::DecodeResult::Pending:
            break;
        case codec::DecodeResult::FrameReady:
            accept_frame(decoder_.frame());
            break;
        case codec::DecodeResult::SkippedOtherId:
        case codec::DecodeResult::LengthTooLarge:
        case codec::DecodeResult::CrcMismatch:
            reject_frame(QStringLiteral("拒绝一帧数据（解码结果 %1）").arg(static_cast<int>(result)));
            break;
        }
    }
}

void JointscopeWindow::accept_frame(const protocol::MocapFrame& frame)
{
    // The decoder accepts any length up to a full frame and zero-fills the
    // rest; a short frame would show poses nobody sent.
    if (frame.payload_length != MocapFrame::PAYLOAD_SIZE) {
        reject_frame(QStringLiteral("拒绝一帧数据（载荷长度 %1，应为 %2）")
                         .arg(frame.payload_length)
                         .arg(MocapFrame::PAYLOAD_SIZE));
        return;
    }
    latest_frame_ = frame;
    ++decoded_;
    ++frames_since_sample_;
    dirty_ = true;
}

void JointscopeWindow::reject_frame(const QString& reason)
{
    ++rejected_;
    last_error_ = reason;
    update_status();
}

void JointscopeWindow::refresh_view()
{
    if (rate_clock_.elapsed() > FPS_SAMPLE_MS) {
        const auto elapsed_ms = static_cast<std::uint64_t>(rate_clock_.restart());
        fps_ = frames_since_sample_ * 1000 / elapsed_ms;
        frames_since_sample_ = 0;
    }
    if (!dirty_ || !latest_frame_)
        return;

    const MocapFrame& frame = *latest_frame_;
    const QString separator = QStringLiteral(", ");
    // A contents-sized column is re-measured over all rows after every
    // single cell change; hold the widths while the 128 cells change and
    // measure once at the end.
    QHeaderView* header = tree_->header();
    header->setSectionResizeMode(0, QHeaderView::Fixed);
    header->setSectionResizeMode(1, QHeaderView::Fixed);
    for (int i = 0; i < JOINT_COUNT; ++i) {
        QTreeWidgetItem* item = joint_items_[i];
        if (item == nullptr)
            continue;
        const types::Pose& pose = frame.poses[i];
        item->setText(1, fixed3(pose.position.x) + separator + fixed3(pose.position.y) + separator
                             + fixed3(pose.position.z));
        item->setText(2, fixed3(pose.orientation.w) + separator + fixed3(pose.orientation.x)
                             + separator + fixed3(pose.orientation.y) + separator
                             + fixed3(pose.orientation.z));
    }
    header->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    header->setSectionResizeMode(1, QHeaderView::ResizeToContents);

    bool all_zero = true;
    for (const std::int32_t i : HAND_DATA_JOINTS)
        all_zero = all_zero && pose_is_zero(frame.poses[i]);
    hand_data_missing_ = all_zero;

    dirty_ = false;
    update_status();
}

void JointscopeWindow::update_status()
{
    const std::uint64_t timestamp = latest_frame_ ? latest_frame_->timestamp_us : 0;
    // One-pass substitution: a '%' inside an address or source text must not
    // be taken for a later placeholder.
    QString text = QStringLiteral("本机 IP: %1 | 端口 %2 | 已解码 %3 帧 | %4 fps | 时间戳 %5 us | "
                                  "来源 %6 | 拒绝 %7 帧")
                       .arg(local_addresses_, QString::number(port_), QString::number(decoded_),
                            QString::number(fps_), QString::number(timestamp),
                            last_source_.isEmpty() ? QStringLiteral("-") : last_source_,
                            QString::number(rejected_));
    if (latest_frame_ && hand_data_missing_)
        text += QStringLiteral(" | 注意：手部关节数据为 0，请检查 K7-R 手套蓝牙是否已连接 vexo 并完成标定");
    if (!last_error_.isEmpty())
        text += QStringLiteral(" | 错误：%1").arg(last_error_);
    status_label_->setText(text);
}

void JointscopeWindow::on_udp_error(const QString& message)
{
    last_error_ = message;
    update_status();
}

} // namespace nmb
