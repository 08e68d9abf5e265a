#include "jointscope_state.h"

#include <cmath>

namespace nmb {
namespace {

using protocol::MocapFrame;

bool pose_is_zero(const types::Pose& pose)
{
    // == rather than a bit test: -0.0 counts as zero, NaN does not.
    return pose.position.x == 0.0f && pose.position.y == 0.0f && pose.position.z == 0.0f
        && pose.orientation.w == 0.0f && pose.orientation.x == 0.0f && pose.orientation.y == 0.0f
        && pose.orientation.z == 0.0f;
}

// Largest magnitude written by append_fixed3 itself; beyond it (and for
// NaN and infinities) Qt's own formatter writes the text.
constexpr double OWN_FORMAT_LIMIT = 1e12;

// `value` in fixed notation with three decimals, exactly as
// QString::number(value, 'f', 3) writes it, without the locale machinery:
// ties round away from zero, negative zero is written without a sign, other
// negative values that round to zero keep theirs ("-0.000").
void append_fixed3(QString& out, float value)
{
    const double wide = value;
    if (!(std::fabs(wide) < OWN_FORMAT_LIMIT)) {
        out += QString::number(wide, 'f', 3);
        return;
    }
    if (wide == 0.0) {
        out += QLatin1String("0.000");
        return;
    }
    // A float times 1000 needs at most 31 significant bits: exact in a
    // double, so the rounding below sees the value itself.
    const auto thousandths = static_cast<std::uint64_t>(std::floor(std::fabs(wide) * 1000.0 + 0.5));
    char text[24];
    char* end = text + sizeof text;
    char* p = end;
    std::uint64_t rest = thousandths;
    for (int digit = 0; digit < 3; ++digit, rest /= 10)
        *--p = char('0' + rest % 10);
    *--p = '.';
    do {
        *--p = char('0' + rest % 10);
        rest /= 10;
    } while (rest != 0);
    if (wide < 0.0)
        *--p = '-';
    out += QLatin1String(p, end - p);
}

template <std::size_t N>
QString fixed3_list(const std::array<float, N>& values)
{
    QString text;
    text.reserve(int(N) * 9);
    for (std::size_t i = 0; i < N; ++i) {
        if (i != 0)
            text += QLatin1String(", ");
        append_fixed3(text, values[i]);
    }
    return text;
}

} // namespace

bool JointscopeState::receive(const QByteArray& datagram, const QHostAddress& address, quint16 port)
{
    last_address_ = address;
    last_port_ = port;
    has_source_ = true;
    const std::uint64_t rejected_before = rejected_;
    codec::feed_datagram(
        decoder_, datagram.constData(), static_cast<std::size_t>(datagram.size()),
        [this](const MocapFrame& frame) { accept_frame(frame); },
        [this](codec::DecodeResult result) {
            reject_frame(QStringLiteral("拒绝一帧数据（解码结果 %1）").arg(static_cast<int>(result)));
        });
    return rejected_ != rejected_before;
}

void JointscopeState::accept_frame(const MocapFrame& frame)
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

void JointscopeState::reject_frame(const QString& reason)
{
    ++rejected_;
    last_error_ = reason;
}

void JointscopeState::set_error(const QString& message)
{
    last_error_ = message;
}

bool JointscopeState::tick(std::int64_t now_ms)
{
    const std::int64_t elapsed_ms = now_ms - sample_start_ms_;
    if (elapsed_ms > FPS_SAMPLE_MS) {
        fps_ = frames_since_sample_ * 1000 / static_cast<std::uint64_t>(elapsed_ms);
        frames_since_sample_ = 0;
        sample_start_ms_ = now_ms;
    }
    if (!dirty_ || !latest_frame_)
        return false;
    bool all_zero = true;
    for (const std::int32_t i : HAND_DATA_JOINTS)
        all_zero = all_zero && pose_is_zero(latest_frame_->poses[i]);
    hand_data_missing_ = all_zero;
    dirty_ = false;
    return true;
}

QString JointscopeState::status_text(const QString& local_addresses, quint16 port) const
{
    const std::uint64_t timestamp = latest_frame_ ? latest_frame_->timestamp_us : 0;
    const QString source = has_source_
        ? last_address_.toString() + QLatin1Char(':') + QString::number(last_port_)
        : QStringLiteral("-");
    // One-pass substitution: a '%' inside an address or source text must not
    // be taken for a later placeholder.
    QString text = QStringLiteral("本机 IP: %1 | 端口 %2 | 已解码 %3 帧 | %4 fps | 时间戳 %5 us | "
                                  "来源 %6 | 拒绝 %7 帧")
                       .arg(local_addresses, QString::number(port), QString::number(decoded_),
                            QString::number(fps_), QString::number(timestamp), source,
                            QString::number(rejected_));
    if (latest_frame_ && hand_data_missing_)
        text += QStringLiteral(" | 注意：手部关节数据为 0，请检查 K7-R 手套蓝牙是否已连接 vexo 并完成标定");
    if (!last_error_.isEmpty())
        text += QStringLiteral(" | 错误：%1").arg(last_error_);
    return text;
}

QString position_text(const types::Pose& pose)
{
    return fixed3_list(std::array<float, 3>{pose.position.x, pose.position.y, pose.position.z});
}

QString orientation_text(const types::Pose& pose)
{
    return fixed3_list(
        std::array<float, 4>{pose.orientation.w, pose.orientation.x, pose.orientation.y, pose.orientation.z});
}

} // namespace nmb
