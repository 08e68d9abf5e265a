#include <nmb/ble_adapter.h>

#include <QEventLoop>
#include <QLowEnergyCharacteristic>
#include <QLowEnergyDescriptor>
#include <QTimer>

#include <algorithm>

namespace nmb {

namespace {

const QString NAME_EMPTY_ERROR = QStringLiteral("BLE device name is empty");
const QString NOT_FOUND_ERROR = QStringLiteral("BLE device was not found: %1");
const QString NOTIFY_CHARACTERISTIC_ERROR = QStringLiteral("BLE notify characteristic is not available");
const QString DESCRIPTOR_ERROR = QStringLiteral("BLE notification descriptor is not available");
const QString NOT_CONNECTED_ERROR = QStringLiteral("BLE device is not connected");
const QString WRITE_CHARACTERISTIC_ERROR = QStringLiteral("BLE characteristic is not available");

// The Client Characteristic Configuration descriptor and the value that
// switches notifications on.
const QBluetoothUuid CLIENT_CONFIGURATION_UUID(QStringLiteral("00002902-0000-1000-8000-00805f9b34fb"));
const QByteArray NOTIFICATIONS_ON = QByteArray::fromHex("0100");

// How long scan() waits for the stack to confirm a stopped discovery before
// it returns anyway.
constexpr int CANCEL_GRACE_MS = 1000;

} // namespace

BleAdapter::BleAdapter(QObject* parent)
    : QObject(parent)
    , agent_(this)
{
    QObject::connect(&agent_, &QBluetoothDeviceDiscoveryAgent::deviceDiscovered, this,
                     [this](const QBluetoothDeviceInfo& info) {
                         if (!searching_ || info.name() != device_name_)
                             return;
                         searching_ = false;
                         agent_.stop();
                         connect_to_device_info(info);
                     });
    QObject::connect(&agent_, &QBluetoothDeviceDiscoveryAgent::finished, this, [this] {
        if (!searching_)
            return;
        searching_ = false;
        Q_EMIT error_occurred(NOT_FOUND_ERROR.arg(device_name_));
    });
    QObject::connect(&agent_, &QBluetoothDeviceDiscoveryAgent::errorOccurred, this,
                     [this](QBluetoothDeviceDiscoveryAgent::Error) {
                         searching_ = false;
                         Q_EMIT error_occurred(agent_.errorString());
                     });
}

BleAdapter::~BleAdapter()
{
    disconnect();
}

void BleAdapter::initialize(const QString& service_uuid, const QString& notify_characteristic_uuid,
                            const QString& write_characteristic_uuid)
{
    service_uuid_ = QBluetoothUuid(QUuid::fromString(service_uuid));
    notify_characteristic_uuid_ = QBluetoothUuid(QUuid::fromString(notify_characteristic_uuid));
    write_characteristic_uuid_ = QBluetoothUuid(QUuid::fromString(write_characteristic_uuid));
}

QStringList BleAdapter::scan(int timeout_ms)
{
    QStringList names;
    QEventLoop loop;
    // The stack may fail inside start() already; a quit() before exec() would
    // be lost and the loop would sit out the whole timeout.
    bool ended = false;
    const auto end = [&ended, &loop] {
        ended = true;
        loop.quit();
    };
    const QMetaObject::Connection connections[] = {
        QObject::connect(&agent_, &QBluetoothDeviceDiscoveryAgent::deviceDiscovered, &loop,
                         [&names](const QBluetoothDeviceInfo& info) {
                             const QString name = info.name();
                             if (!name.isEmpty() && !names.contains(name, Qt::CaseSensitive))
                                 names.append(name);
                         }),
        QObject::connect(&agent_, &QBluetoothDeviceDiscoveryAgent::finished, &loop, end),
        QObject::connect(&agent_, &QBluetoothDeviceDiscoveryAgent::canceled, &loop, end),
        QObject::connect(&agent_, &QBluetoothDeviceDiscoveryAgent::errorOccurred, &loop, end),
    };

    QTimer timer;
    timer.setSingleShot(true);
    bool stopping = false;
    QObject::connect(&timer, &QTimer::timeout, &loop, [&] {
        // A search started by connect() keeps running: stopping the agent
        // under it would end that search without any report.
        if (!stopping && agent_.isActive() && !searching_) {
            stopping = true;
            agent_.stop();
            // Normally canceled() ends the loop; should it never come, the
            // grace period does, so scan() cannot block for good.
            if (!ended)
                timer.start(CANCEL_GRACE_MS);
            return;
        }
        end();
    });
    timer.start(std::max(timeout_ms, 0));
    agent_.start(QBluetoothDeviceDiscoveryAgent::supportedDiscoveryMethods());
    if (!ended)
        loop.exec();

    for (const QMetaObject::Connection& connection : connections)
        QObject::disconnect(connection);
    return names;
}

void BleAdapter::connect(const QString& name)
{
    disconnect();
    device_name_ = name;
    if (name.isEmpty()) {
        Q_EMIT error_occurred(NAME_EMPTY_ERROR);
        return;
    }
    searching_ = true;
    agent_.start(QBluetoothDeviceDiscoveryAgent::supportedDiscoveryMethods());
}

void BleAdapter::connect_to_device_info(const QBluetoothDeviceInfo& info)
{
    if (controller_)
        return;
    QLowEnergyController* controller = QLowEnergyController::createCentral(info, this);
    controller_ = controller;

    // Each handler checks that its controller is still the current one, so
    // late signals of a controller replaced by disconnect() or connect() are
    // ignored.
    const QPointer<QLowEnergyController> guard(controller);
    QObject::connect(controller, &QLowEnergyController::connected, this, [this, guard] {
        if (is_current(guard))
            discover_services(guard);
    });
    QObject::connect(controller, &QLowEnergyController::disconnected, this, [this, guard] {
        if (!is_current(guard))
            return;
        ready_ = false;
        Q_EMIT disconnected();
    });
    QObject::connect(controller, &QLowEnergyController::errorOccurred, this,
                     [this, guard](QLowEnergyController::Error) {
                         if (is_current(guard))
                             Q_EMIT error_occurred(guard->errorString());
                     });
    controller->connectToDevice();
}

void BleAdapter::discover_services(QLowEnergyController* controller)
{
    if (!controller || !is_current(controller))
        return;
    const QPointer<QLowEnergyController> guard(controller);
    QObject::connect(controller, &QLowEnergyController::serviceDiscovered, this,
                     [this, guard](const QBluetoothUuid& uuid) {
                         if (!is_current(guard) || uuid != service_uuid_ || service_)
                             return;
                         QLowEnergyService* service = guard->createServiceObject(uuid, this);
                         service_ = service;
                         configure_service(service);
                     });
    controller->discoverServices();
}

void BleAdapter::configure_service(QLowEnergyService* service)
{
    if (!service)
        return;
    const QPointer<QLowEnergyService> guard(service);
    QObject::connect(service, &QLowEnergyService::characteristicChanged, this,
                     [this, guard](const QLowEnergyCharacteristic&, const QByteArray& value) {
                         if (is_current(guard))
                             Q_EMIT data_received(value);
                     });
    QObject::connect(service, &QLowEnergyService::stateChanged, this,
                     [this, guard](QLowEnergyService::ServiceState state) {
                         if (state == QLowEnergyService::RemoteServiceDiscovered && is_current(guard))
                             enable_notifications(guard);
                     });
    service->discoverDetails(QLowEnergyService::FullDiscovery);
}

void BleAdapter::enable_notifications(QLowEnergyService* service)
{
    const QLowEnergyCharacteristic notify = service->characteristic(notify_characteristic_uuid_);
    if (!notify.isValid()) {
        Q_EMIT error_occurred(NOTIFY_CHARACTERISTIC_ERROR);
        return;
    }
    const QLowEnergyDescriptor configuration = notify.descriptor(CLIENT_CONFIGURATION_UUID);
    if (!configuration.isValid()) {
        Q_EMIT error_occurred(DESCRIPTOR_ERROR);
        return;
    }
    const QPointer<QLowEnergyService> guard(service);
    QObject::connect(service, &QLowEnergyService::descriptorWritten, this,
                     [this, guard, configuration](const QLowEnergyDescriptor& descriptor, const QByteArray& value) {
                         // The link counts as ready only once the peripheral
                         // confirmed the switch; a repeated confirmation is
                         // not a second set-up.
                         if (ready_ || !is_current(guard) || descriptor != configuration
                             || value != NOTIFICATIONS_ON)
                             return;
                         ready_ = true;
                         Q_EMIT connected();
                     });
    service->writeDescriptor(configuration, NOTIFICATIONS_ON);
}

void BleAdapter::disconnect()
{
    ready_ = false;
    searching_ = false;
    if (agent_.isActive())
        agent_.stop();
    if (service_) {
        service_->deleteLater();
        service_.clear();
    }
    if (controller_) {
        controller_->disconnectFromDevice();
        // The controller may have been replaced or deleted from inside its
        // own disconnected() handling.
        if (controller_) {
            controller_->deleteLater();
            controller_.clear();
        }
    }
}

qint64 BleAdapter::write(const QByteArray& data)
{
    if (!is_connected()) {
        Q_EMIT error_occurred(NOT_CONNECTED_ERROR);
        return -1;
    }
    const QLowEnergyCharacteristic characteristic = service_->characteristic(write_characteristic_uuid_);
    if (!characteristic.isValid()) {
        Q_EMIT error_occurred(WRITE_CHARACTERISTIC_ERROR);
        return -1;
    }
    service_->writeCharacteristic(characteristic, data, QLowEnergyService::WriteWithResponse);
    return data.size();
}

bool BleAdapter::is_connected() const
{
    if (!controller_ || !service_ || !ready_)
        return false;
    const QLowEnergyController::ControllerState state = controller_->state();
    return state == QLowEnergyController::ConnectedState || state == QLowEnergyController::DiscoveringState
        || state == QLowEnergyController::DiscoveredState;
}

bool BleAdapter::is_current(const QLowEnergyController* controller) const
{
    return controller && controller == controller_;
}

bool BleAdapter::is_current(const QLowEnergyService* service) const
{
    return service && service == service_;
}

} // namespace nmb
