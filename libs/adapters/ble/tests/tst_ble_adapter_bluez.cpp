// Bluetooth LE adapter on its whole path through Qt Bluetooth's D-Bus backend,
// against a stand-in Bluetooth daemon (a python-dbusmock template) on a
// private bus that the test starts and stops. Every wait is bounded.
#include "adapter_spies.h"

#include <nmb/ble_adapter.h>
#include <nmb/test/watched_process.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusReply>
#include <QDBusVariant>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QtTest>

#include <memory>

using nmb::BleAdapter;
using nmb::test::WatchedProcess;

namespace {

const QString PYTHON = QStringLiteral("/usr/bin/python3");
const QString STANDIN = QStringLiteral(BLUEZ_STANDIN_TEMPLATE);
const QString BLUEZ = QStringLiteral("org.bluez");
const QString MOCK_IFACE = QStringLiteral("org.bluez.Mock");

const QString SERVICE_UUID = QStringLiteral("6e400001-b5a3-f393-e0a9-e50e24dcca9e");
const QString WRITE_UUID = QStringLiteral("6e400002-b5a3-f393-e0a9-e50e24dcca9e");
const QString NOTIFY_UUID = QStringLiteral("6e400003-b5a3-f393-e0a9-e50e24dcca9e");

const QString PROBE = QStringLiteral("Nimbra Probe");
// Decoys sort before the peripheral, so a name match that ignored letter
// case would take one of them first.
const QStringList DEVICES = {
    QStringLiteral("C0:00:00:00:00:01|nimbra probe"),
    QStringLiteral("C0:00:00:00:00:02|"),
    QStringLiteral("C0:00:00:00:00:03|Other Sensor"),
    QStringLiteral("C0:00:00:00:00:09|Nimbra Probe"),
};

constexpr int WAIT_MS = 10000;

QString json_list(const QStringList& items)
{
    QStringList quoted;
    for (const QString& item : items)
        quoted << QLatin1Char('"') + item + QLatin1Char('"');
    return QLatin1Char('[') + quoted.join(QLatin1Char(',')) + QLatin1Char(']');
}

QDBusMessage call_mock(const QString& method, const QVariantList& arguments = {})
{
    QDBusMessage message = QDBusMessage::createMethodCall(BLUEZ, QStringLiteral("/"), MOCK_IFACE, method);
    message.setArguments(arguments);
    return QDBusConnection::systemBus().call(message, QDBus::Block, WAIT_MS);
}

using Spies = nmb::test::BleAdapterSpies;

} // namespace

class TestBleAdapterBluez : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();
    void scan_lists_each_name_once();
    void connect_sets_up_once_by_exact_name();
    void notified_values_arrive_in_order();
    void write_goes_out_with_response();
    void missing_gatt_object_is_reported_data();
    void missing_gatt_object_is_reported();
    void device_going_away_data();
    void device_going_away();

private:
    bool start_standin(const QStringList& devices, const QString& notify = QStringLiteral("yes"),
                       const QString& descriptor = QStringLiteral("yes"));
    // Connects `adapter` to the probe and waits for `connected`.
    bool connect_probe(BleAdapter& adapter, Spies& spies);

    std::unique_ptr<WatchedProcess> bus_;
    std::unique_ptr<QProcess> standin_;
};

void TestBleAdapterBluez::initTestCase()
{
    QProcess probe;
    probe.start(PYTHON, {QStringLiteral("-c"), QStringLiteral("import dbusmock")});
    if (!probe.waitForFinished(WAIT_MS) || probe.exitStatus() != QProcess::NormalExit || probe.exitCode() != 0)
        QSKIP("python3-dbusmock is not installed for /usr/bin/python3: no stand-in Bluetooth daemon");
    const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
    QVERIFY2(!daemon.isEmpty(), "dbus-daemon is needed for the private bus");

    bus_ = std::make_unique<WatchedProcess>();
    QVERIFY(bus_->start(daemon, {QStringLiteral("--session"), QStringLiteral("--nofork"),
                                 QStringLiteral("--nopidfile"), QStringLiteral("--print-address=1")}));
    QVERIFY(bus_->wait_for_output("\n"));
    const QByteArray address = bus_->standard_output().trimmed();
    QVERIFY(address.startsWith("unix:"));
    // Qt Bluetooth reaches the Bluetooth daemon on the system bus; the
    // connection is made on first use, so this must come before any of it.
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", address);
    // Qt picks its D-Bus backend for Bluetooth LE by the daemon's version,
    // which it reads from the daemon's executable; the stand-in's executable
    // is the Python interpreter, so the version is given here.
    qputenv("BLUETOOTH_FORCE_DBUS_LE_VERSION", "5.66");
    QVERIFY(QDBusConnection::systemBus().isConnected());
}

void TestBleAdapterBluez::cleanupTestCase()
{
    cleanup();
    bus_.reset();
}

void TestBleAdapterBluez::cleanup()
{
    if (!standin_)
        return;
    standin_->terminate();
    if (!standin_->waitForFinished(WAIT_MS))
        standin_->kill();
    standin_->waitForFinished(WAIT_MS);
    standin_.reset();
    QTRY_VERIFY_WITH_TIMEOUT(!QDBusConnection::systemBus().interface()->isServiceRegistered(BLUEZ), WAIT_MS);
}

bool TestBleAdapterBluez::start_standin(const QStringList& devices, const QString& notify, const QString& descriptor)
{
    standin_ = std::make_unique<QProcess>();
    standin_->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const QString parameters = QStringLiteral(R"({"devices": %1, "notify": "%2", "descriptor": "%3"})")
                                   .arg(json_list(devices), notify, descriptor);
    standin_->start(PYTHON, {QStringLiteral("-m"), QStringLiteral("dbusmock"), QStringLiteral("--system"),
                             QStringLiteral("-t"), STANDIN, QStringLiteral("-p"), parameters});
    if (!standin_->waitForStarted(WAIT_MS))
        return false;
    QDBusConnectionInterface* bus = QDBusConnection::systemBus().interface();
    QElapsedTimer clock;
    clock.start();
    while (!bus->isServiceRegistered(BLUEZ) && clock.elapsed() < WAIT_MS
           && standin_->state() == QProcess::Running)
        QTest::qWait(20);
    return bus->isServiceRegistered(BLUEZ);
}

bool TestBleAdapterBluez::connect_probe(BleAdapter& adapter, Spies& spies)
{
    adapter.initialize(SERVICE_UUID, NOTIFY_UUID, WRITE_UUID);
    adapter.connect(PROBE);
    return spies.connected.wait(WAIT_MS) || !spies.connected.isEmpty();
}

void TestBleAdapterBluez::scan_lists_each_name_once()
{
    // The stand-in advertises every device twice: once as already known, once
    // when the discovery starts.
    QVERIFY(start_standin(DEVICES));
    BleAdapter adapter;
    const QStringList names = adapter.scan(500);
    QCOMPARE(QSet<QString>(names.begin(), names.end()),
             QSet<QString>({QStringLiteral("nimbra probe"), QStringLiteral("Other Sensor"), PROBE}));
    QCOMPARE(names.size(), 3);
}

void TestBleAdapterBluez::connect_sets_up_once_by_exact_name()
{
    QVERIFY(start_standin(DEVICES));
    BleAdapter adapter;
    Spies spies(&adapter);
    QVERIFY(connect_probe(adapter, spies));
    QVERIFY(adapter.is_connected());
    QTest::qWait(200); // a second confirmation would come now
    QCOMPARE(spies.connected.size(), 1);
    QCOMPARE(call_mock(QStringLiteral("NotifyStarts")).arguments().value(0).toUInt(), 1u);
    QCOMPARE(spies.error_texts(), QStringList());
}

void TestBleAdapterBluez::notified_values_arrive_in_order()
{
    QVERIFY(start_standin(DEVICES));
    BleAdapter adapter;
    Spies spies(&adapter);
    QVERIFY(connect_probe(adapter, spies));
    const QList<QByteArray> values = {QByteArray("\xAA\x55\x00", 3), QByteArray("second"), QByteArray(200, 'x')};
    for (const QByteArray& value : values)
        call_mock(QStringLiteral("Notify"), {value});
    QTRY_COMPARE_WITH_TIMEOUT(spies.received.size(), values.size(), WAIT_MS);
    for (qsizetype i = 0; i < values.size(); ++i)
        QCOMPARE(spies.received.at(i).first().toByteArray(), values.at(i));
}

void TestBleAdapterBluez::write_goes_out_with_response()
{
    QVERIFY(start_standin(DEVICES));
    BleAdapter adapter;
    Spies spies(&adapter);
    QVERIFY(connect_probe(adapter, spies));
    const QByteArray command("\x01\x02start", 7);
    QCOMPARE(adapter.write(command), qint64(command.size()));
    QDBusMessage written;
    QTRY_VERIFY_WITH_TIMEOUT((written = call_mock(QStringLiteral("Written"))).arguments().value(0).toByteArray()
                                 == command,
                             WAIT_MS);
    QCOMPARE(written.arguments().value(1).toString(), QStringLiteral("request"));
    QCOMPARE(spies.error_texts(), QStringList());
}

void TestBleAdapterBluez::missing_gatt_object_is_reported_data()
{
    QTest::addColumn<QString>("notify");
    QTest::addColumn<QString>("descriptor");
    QTest::addColumn<QString>("message");
    QTest::newRow("no notify characteristic")
        << "no" << "yes" << "BLE notify characteristic is not available";
    QTest::newRow("no configuration descriptor")
        << "yes" << "no" << "BLE notification descriptor is not available";
}

void TestBleAdapterBluez::missing_gatt_object_is_reported()
{
    QFETCH(QString, notify);
    QFETCH(QString, descriptor);
    QFETCH(QString, message);
    QVERIFY(start_standin(DEVICES, notify, descriptor));
    BleAdapter adapter;
    Spies spies(&adapter);
    adapter.initialize(SERVICE_UUID, NOTIFY_UUID, WRITE_UUID);
    adapter.connect(PROBE);
    QVERIFY(spies.errors.wait(WAIT_MS));
    QCOMPARE(spies.error_texts(), QStringList{message});
    QCOMPARE(spies.connected.size(), 0);
    QVERIFY(!adapter.is_connected());
}

void TestBleAdapterBluez::device_going_away_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("link drops") << "DropLink";
    QTest::newRow("device removed from the daemon") << "RemovePeripheral";
}

void TestBleAdapterBluez::device_going_away()
{
    QFETCH(QString, how);
    QVERIFY(start_standin(DEVICES));
    BleAdapter adapter;
    Spies spies(&adapter);
    QVERIFY(connect_probe(adapter, spies));
    call_mock(how);
    QTRY_COMPARE_WITH_TIMEOUT(spies.disconnected.size(), 1, WAIT_MS);
    QVERIFY(!adapter.is_connected());
    QCOMPARE(adapter.write("late"), qint64(-1));
    QCOMPARE(spies.error_texts().last(), QStringLiteral("BLE device is not connected"));
    call_mock(QStringLiteral("Notify"), {QByteArray("after")}); // fails when removed; nothing may arrive
    QTest::qWait(100);
    QCOMPARE(spies.received.size(), 0);
}

QTEST_GUILESS_MAIN(TestBleAdapterBluez)
#include "tst_ble_adapter_bluez.moc"
