#include "bridge.h"

#include "skelora.h"

#include <QCoreApplication>

namespace nmb {

Bridge::Bridge(const BridgeOptions& options, SenderLimits limits, QObject* parent)
    : QObject(parent)
    , client_(Skelora::instance())
    , options_(options)
    , skeleton(options.skeleton)
    , decoders(limits)
{
    clock_.start();
    QObject::connect(&udp_, &UdpAdapter::data_received, this, &Bridge::handle_datagram);
    QObject::connect(&udp_, &UdpAdapter::error_occurred, this, [](const QString& message) {
        qWarning().noquote() << "UDP receive error:" << message;
    });
    QObject::connect(client_, &Skelora::ready, this, &Bridge::handle_ready);
    QObject::connect(client_, &Skelora::error_occurred, this, [](const QString& message) {
        qWarning().noquote() << "Skelora error:" << message;
    });
    QObject::connect(&idle_check_, &QTimer::timeout, this, &Bridge::drop_idle_senders);
}

Bridge::~Bridge() = default;

bool Bridge::start()
{
    udp_.initialize();
    if (!udp_.connect(QHostAddress::AnyIPv4, options_.port)) {
        qCritical().noquote() << "Unable to bind UDP port" << options_.port;
        return false;
    }
    const QString shortfall = receive_buffer_shortfall(
        RECEIVE_BUFFER_REQUEST_BYTES, udp_.request_receive_buffer_size(RECEIVE_BUFFER_REQUEST_BYTES));
    if (!shortfall.isEmpty())
        qInfo().noquote() << shortfall;

    if (options_.server_url)
        client_->set_server_url(*options_.server_url);
    client_->start();

    stop_poll_.start();
    idle_check_.start(IDLE_CHECK_INTERVAL);

    qInfo().noquote() << "Listening for Mocap UDP frames on 0.0.0.0:" + QString::number(options_.port)
                      << "and forwarding skeleton" << QString::fromStdString(skeleton) << "to"
                      << client_->server_url();
    return true;
}

void Bridge::finish()
{
    stop_poll_.stop();
    idle_check_.stop();
    udp_.disconnect();
    client_->stop();
    qInfo().noquote() << "Stopped:" << decoded_ << "decoded," << forwarded_ << "forwarded," << rejected_
                      << "rejected frame(s).";
}

void Bridge::handle_datagram(const QByteArray& data, const QHostAddress& address, quint16 port)
{
    const QString address_text = address.toString();
    const QString sender = address_text + QLatin1Char(':') + QString::number(port);
    // Nothing below adds or drops senders, so the reference holds for the
    // whole datagram.
    SenderTable::Decoder& decoder = decoders.decoder_for({address_text, port}, now());
    codec::feed_datagram(
        decoder, data.constData(), static_cast<std::size_t>(data.size()),
        [&](const protocol::MocapFrame& frame) { handle_frame(frame, sender); },
        [&](codec::DecodeResult result) {
            ++rejected_;
            qWarning().noquote() << "Rejected UDP frame from" << sender << "decoder result" << int(result);
        });
}

void Bridge::handle_frame(const protocol::MocapFrame& frame, const QString& sender)
{
    ++decoded_;
    const quint16 frame_id = frame.frame_id;
    const quint64 timestamp_us = frame.timestamp_us;
    // One line per frame: printf-style formatting costs a fraction of the
    // stream operators'.
    qInfo("Mocap frame %llu from %s id %u timestamp(us) %llu", static_cast<unsigned long long>(decoded_),
          qUtf8Printable(sender), unsigned(frame_id), static_cast<unsigned long long>(timestamp_us));
    if (client_->is_connected()) {
        client_->send_pose_data(skeleton, frame);
        ++forwarded_;
    } else {
        pending_frame = frame;
    }
}

void Bridge::handle_ready()
{
    qInfo().noquote() << "Skelora is ready at" << client_->server_url();
    if (pending_frame) {
        client_->send_pose_data(skeleton, *pending_frame);
        pending_frame.reset();
        ++forwarded_;
    }
}

void Bridge::drop_idle_senders()
{
    decoders.drop_idle(now());
}

std::chrono::milliseconds Bridge::now() const
{
    return std::chrono::milliseconds(clock_.elapsed());
}

} // namespace nmb
