#include "jointscope_window.h"

#include <nmb/protocol/joint_tables.h>

#include <QFont>
#include <QFontMetrics>
#include <QHeaderView>
#include <QLabel>
#include <QMetaObject>
#include <QNetworkInterface>
#include <QSignalBlocker>
#include <QStringList>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QtDebug>

#include <cstdint>
#include <utility>

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

// A text with every digit replaced by 0: in a font whose digits share one
// width, two texts of the same shape are equally wide.
QString digits_as_zero(const QString& text)
{
    QString shape = text;
    for (QChar& c : shape)
        if (c.isDigit())
            c = QLatin1Char('0');
    return shape;
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

    // Whether a position text can only change its width by changing its
    // shape (true for the tabular digits of common interface fonts).
    const QFontMetrics metrics(tree_->font());
    const int digit_width = metrics.horizontalAdvance(QLatin1Char('0'));
    digits_share_one_width_ = true;
    for (char digit = '1'; digit <= '9'; ++digit)
        digits_share_one_width_ = digits_share_one_width_ && metrics.horizontalAdvance(QLatin1Char(digit)) == digit_width;

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
        state_.set_error(QStringLiteral("无法绑定 UDP 端口 %1").arg(port_));
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
    if (state_.receive(datagram, address, port))
        update_status();
}

void JointscopeWindow::refresh_view()
{
    if (!state_.tick(rate_clock_.elapsed()))
        return;

    const MocapFrame& frame = *state_.latest_frame();
    bool widths_may_change = !digits_share_one_width_;
    bool changed = false;
    {
        // Every setText would tell the view on its own, and each notice has
        // it re-measure the contents-sized columns and repaint; it hears of
        // the new texts once, below, instead.
        const QSignalBlocker quiet(tree_->model());
        for (int i = 0; i < JOINT_COUNT; ++i) {
            QTreeWidgetItem* item = joint_items_[i];
            if (item == nullptr)
                continue;
            const QString position = position_text(frame.poses[i]);
            if (item->text(1) != position) {
                QString shape = digits_as_zero(position);
                if (shape != position_shapes_[i]) {
                    position_shapes_[i] = std::move(shape);
                    widths_may_change = true;
                }
                item->setText(1, position);
                changed = true;
            }
            const QString orientation = orientation_text(frame.poses[i]);
            if (item->text(2) != orientation) {
                item->setText(2, orientation);
                changed = true;
            }
        }
    }
    if (widths_may_change) {
        // The header's own measuring of its contents-sized sections.
        QMetaObject::invokeMethod(tree_->header(), "resizeSections");
    }
    if (changed) {
        // Only the two value columns changed; the view paints the rows of
        // that band that are on screen.
        const QHeaderView* header = tree_->header();
        const int left = header->sectionViewportPosition(1);
        const int right = header->sectionViewportPosition(2) + header->sectionSize(2);
        tree_->viewport()->update(QRect(left, 0, right - left, tree_->viewport()->height()));
    }
    update_status();
}

void JointscopeWindow::update_status()
{
    status_label_->setText(state_.status_text(local_addresses_, port_));
}

void JointscopeWindow::on_udp_error(const QString& message)
{
    state_.set_error(message);
    update_status();
}

} // namespace nmb
