#include "recorder.h"

#include <nmb/stop_signal.h>

#include <QCoreApplication>
#include <QDebug>
#include <QTimer>

#include <algorithm>

namespace nmb::reeltake {

Recorder::Recorder(QObject* parent)
    : QObject(parent)
{
    QObject::connect(&udp_, &UdpAdapter::data_received, this,
                     [this](const QByteArray& data) { record(data); });
    QObject::connect(&udp_, &UdpAdapter::error_occurred, this, [this](const QString& message) {
        report_error(QStringLiteral("UDP receive error: %1").arg(message));
    });
    QObject::connect(&writer_, &BinaryAdapter::error_occurred, this, &Recorder::report_error);
}

bool Recorder::start(const QHostAddress& address, quint16 port, const QString& directory)
{
    udp_.initialize();
    if (!udp_.connect(address, port)) {
        qCritical().noquote() << "Unable to bind UDP endpoint" << endpoint_text(address, port);
        exit_code_ = 1;
        return false;
    }
    const QString shortfall = receive_buffer_shortfall(
        RECEIVE_BUFFER_REQUEST_BYTES, udp_.request_receive_buffer_size(RECEIVE_BUFFER_REQUEST_BYTES));
    if (!shortfall.isEmpty())
        qInfo().noquote() << shortfall;
    if (!writer_.start_recording(directory)) {
        exit_code_ = 1;
        return false;
    }
    return true;
}

void Recorder::stop()
{
    udp_.disconnect();
    writer_.stop_recording();
}

void Recorder::report_error(const QString& message)
{
    if (exit_code_ != 0)
        return;
    exit_code_ = 1;
    qCritical().noquote() << "Recording error:" << message;
    // Leave the loop after the current event, not from inside the emission.
    QTimer::singleShot(0, this, [this] { Q_EMIT failed(exit_code_); });
}

QString Recorder::endpoint_text(const QHostAddress& address, quint16 port)
{
    return address.toString() + QLatin1Char(':') + QString::number(port);
}

void Recorder::record(const QByteArray& data)
{
    writer_.record_data(data);
    ++datagram_count_;
    byte_count_ += quint64(data.size());
}

int run_recorder(const RecorderOptions& options)
{
    const QHostAddress address(QHostAddress::AnyIPv4);
    Recorder recorder;
    QObject::connect(&recorder, &Recorder::failed, QCoreApplication::instance(),
                     [](int exit_code) { QCoreApplication::exit(exit_code); });
    if (!recorder.start(address, options.port, options.directory))
        return recorder.exit_code();

    StopSignalPoll stop_poll;
    stop_poll.start();

    qInfo().noquote() << "Recording UDP datagrams on" << Recorder::endpoint_text(address, options.port)
                      << "to" << recorder.recording_file_name();
    const int status = QCoreApplication::exec();

    stop_poll.stop();
    recorder.stop();
    qInfo().noquote() << "Recording stopped:" << recorder.datagram_count() << "datagram(s),"
                      << recorder.byte_count() << "byte(s), file" << recorder.recording_file_name();
    // Data lost while closing the file must not end as a clean run.
    return std::max(status, recorder.exit_code());
}

} // namespace nmb::reeltake
