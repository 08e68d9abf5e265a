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
    , pending_frames(options.reconnect)
{
    clock_.start();
    QObject::connect(&udp_, &UdpAdapter::data_received, this, &Bridge::handle_datagram);
    QObject::connect(&udp_, &UdpAdapter::error_occurred, this, [](const QString& message) {
        qWarning().noquote() << "UDP receive error:" << message;
    });
    QObject::connect(client_, &Skelora::ready, this, &Bridge::handle_ready);
    QObject::connect(client_, &Skelora::connection_lost, this, &Bridge::handle_connection_lost);
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
    client_->set_reconnect(options_.reconnect);
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
    if (options_.reconnect) {
        // Every frame decoded while the service was ready went out, so the
        // rest are the ones given up or still held while it was not.
        qInfo().noquote() << "Reconnected" << (readies_ > 0 ? readies_ - 1 : 0) << "time(s);"
                          << decoded_ - forwarded_ << "frame(s) not forwarded while disconnected.";
    }
}

void Bridge::handle_datagram(const QByteArray& data, const QHostAddress& address, quint16 port)
{
    const QString address_text = address.toString();
    const QString sender = address_text + QLatin1Char(':') + QString::number(port);
    // Nothing below adds or drops senders, so the reference holds for the
    // whole datagram.
    const SenderTable::Key key{address_text, port};
    SenderTable::Decoder& decoder = decoders.decoder_for(key, now());
    codec::feed_datagram(
        decoder, data.constData(), static_cast<std::size_t>(data.size()),
        [&](const protocol::MocapFrame& frame) { handle_frame(frame, key, sender); },
        [&](codec::DecodeResult result) {
            ++rejected_;
            qWarning().noquote() << "Rejected UDP frame from" << sender << "decoder result" << int(result);
        });
}

void Bridge::handle_frame(const protocol::MocapFrame& frame, const SenderTable::Key& key, const QString& sender)
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
        pending_frames.hold(key, frame);
        // A new sender may have pushed out the one silent longest; its held
        // frame goes with it, so the held frames stay within the sender bound.
        if (pending_frames.size() > decoders.size())
            forget_dropped_senders();
    }
}

void Bridge::handle_ready()
{
    ++readies_;
    qInfo().noquote() << "Skelora is ready at" << client_->server_url();
    for (const protocol::MocapFrame& frame : pending_frames.take()) {
        client_->send_pose_data(skeleton, frame);
        ++forwarded_;
    }
}

void Bridge::handle_connection_lost(const QString& reason, int retry_ms)
{
    qWarning().noquote() << "Skelora connection lost: " + reason + "; retrying in"
                         << QString::number(retry_ms / 1000.0, 'g', 3) << "s";
}

void Bridge::drop_idle_senders()
{
    if (decoders.drop_idle(now()) > 0)
        forget_dropped_senders();
}

void Bridge::forget_dropped_senders()
{
    pending_frames.keep_known([this](const SenderTable::Key& held) { return decoders.contains(held); });
}

std::chrono::milliseconds Bridge::now() const
{
    return std::chrono::milliseconds(clock_.elapsed());
}

} // namespace nmb
