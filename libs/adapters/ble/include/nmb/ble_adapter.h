#pragma once

#include <nmb/ble_adapter_export.h>

#include <QBluetoothDeviceDiscoveryAgent>
#include <QBluetoothDeviceInfo>
#include <QBluetoothUuid>
#include <QByteArray>
#include <QLowEnergyController>
#include <QLowEnergyService>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

namespace nmb {

// Bluetooth LE central transport: finds a peripheral by its advertised name,
// connects, enables notifications of one characteristic of one service and
// delivers every notified value as data_received; writes go to a second
// characteristic with acknowledged writes. Bytes pass through unchanged.
//
// connect() completes later, driven by the Bluetooth stack's signals:
// connected() means notifications are switched on and data will flow, not
// merely that the radio link is up. Every failure is reported through
// error_occurred; there is no retry and no time-out of the adapter's own.
// Lives on the thread that owns it; scan() blocks that thread.
class NMB_BLE_ADAPTER_EXPORT BleAdapter : public QObject {
    Q_OBJECT

public:
    explicit BleAdapter(QObject* parent = nullptr);
    // Disconnects first; the controller and service go with the adapter.
    ~BleAdapter() override;

    // Stores the service, notify characteristic and write characteristic
    // UUIDs given as text. A text that is not a UUID becomes the null UUID,
    // which matches nothing. Call before connect().
    void initialize(const QString& service_uuid, const QString& notify_characteristic_uuid,
                    const QString& write_characteristic_uuid);

    // Runs a device discovery for up to `timeout_ms` milliseconds (negative
    // counts as 0) in a nested event loop and returns the non-empty device
    // names found, each once, in discovery order. Returns early when the
    // discovery ends or fails; a failure is also reported by error_occurred.
    QStringList scan(int timeout_ms);

    // Drops any current link, then searches for a device advertising exactly
    // `name` (case-sensitive) and sets it up. Success: connected(); failure:
    // error_occurred ("BLE device name is empty", "BLE device was not found:
    // <name>", or the Bluetooth stack's own text).
    void connect(const QString& name);

    // Connects to a device already discovered; does nothing while a
    // controller exists (until disconnect() or connect()).
    void connect_to_device_info(const QBluetoothDeviceInfo& info);

    // Set-up step once `controller` is linked: discovers its services and
    // takes the configured one. Ignores a controller that is not current.
    void discover_services(QLowEnergyController* controller);

    // Set-up step for the chosen service: forwards its notified values and
    // switches notifications on once its details are known. Ignores null.
    void configure_service(QLowEnergyService* service);

    // Stops a search, forgets the service and disconnects the controller.
    // Safe at any time, also twice.
    void disconnect();

    // Writes `data` to the write characteristic with acknowledged writes and
    // returns data.size() at once; the outcome is not awaited. Returns -1
    // with error_occurred when not ready or when the service has no such
    // characteristic.
    qint64 write(const QByteArray& data);

    // True while a controller and a service exist, notifications are on and
    // the controller is linked (connected, discovering or discovered).
    bool is_connected() const;

Q_SIGNALS:
    void data_received(const QByteArray& data);
    void connected();
    void disconnected();
    void error_occurred(const QString& message);

private:
    bool is_current(const QLowEnergyController* controller) const;
    bool is_current(const QLowEnergyService* service) const;
    void enable_notifications(QLowEnergyService* service);

    QBluetoothDeviceDiscoveryAgent agent_;
    // Children of the adapter; guarded so that a child deleted elsewhere
    // reads as gone instead of dangling.
    QPointer<QLowEnergyController> controller_;
    QPointer<QLowEnergyService> service_;
    QString device_name_;
    QBluetoothUuid service_uuid_;
    QBluetoothUuid notify_characteristic_uuid_;
    QBluetoothUuid write_characteristic_uuid_;
    bool ready_ = false;
    bool searching_ = false;
};

} // namespace nmb
