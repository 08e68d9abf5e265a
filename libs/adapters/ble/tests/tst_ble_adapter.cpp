// Bluetooth LE adapter on a machine without a radio: every behaviour that
// does not need a peripheral, with the real discovery agent and the real
// controller of the Bluetooth stack. Where a machine does have an adapter,
// the cases that rely on its absence are skipped.
#include "adapter_spies.h"

#include <nmb/ble_adapter.h>
#include <nmb/test/meta_methods.h>

#include <QBluetoothAddress>
#include <QBluetoothLocalDevice>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QPointer>
#include <QSet>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

using nmb::BleAdapter;

namespace {

// A search ends when the agent finishes; with a radio, that is the stack's
// own discovery time-out, so the bound is wide.
constexpr int SEARCH_WAIT_MS = 60000;

const QString SERVICE_UUID = QStringLiteral("6e400001-b5a3-f393-e0a9-e50e24dcca9e");
const QString NOTIFY_UUID = QStringLiteral("6e400003-b5a3-f393-e0a9-e50e24dcca9e");
const QString WRITE_UUID = QStringLiteral("6e400002-b5a3-f393-e0a9-e50e24dcca9e");
const QString NOT_CONNECTED = QStringLiteral("BLE device is not connected");

bool has_local_adapter()
{
    return !QBluetoothLocalDevice::allDevices().isEmpty();
}

// Lets queued and deferred work run for a short while, so that a signal
// that should not come has had its chance.
void settle()
{
    QTest::qWait(150);
}

QBluetoothDeviceInfo made_up_device()
{
    QBluetoothDeviceInfo info(QBluetoothAddress(QStringLiteral("00:11:22:33:44:55")),
                              QStringLiteral("Nimbra Probe"), 0);
    info.setCoreConfigurations(QBluetoothDeviceInfo::LowEnergyCoreConfiguration);
    return info;
}

QList<QLowEnergyController*> controllers(const BleAdapter& adapter)
{
    return adapter.findChildren<QLowEnergyController*>(QString(), Qt::FindDirectChildrenOnly);
}

using Spies = nmb::test::BleAdapterSpies;

// Starts a search for `name` and waits until it has ended in its error.
bool search_fails(BleAdapter& adapter, const QString& name)
{
    QSignalSpy errors(&adapter, &BleAdapter::error_occurred);
    adapter.connect(name);
    return !errors.isEmpty() || errors.wait(SEARCH_WAIT_MS);
}

} // namespace

class TestBleAdapter : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void signals_in_order();
    void empty_name_is_refused_data();
    void empty_name_is_refused();
    void write_before_ready_fails_data();
    void write_before_ready_fails();
    void scan_returns_what_was_found_data();
    void scan_returns_what_was_found();
    void scan_returns_when_the_agent_gives_up();
    void search_ends_in_one_error_data();
    void search_ends_in_one_error();
    void disconnect_at_any_time_data();
    void disconnect_at_any_time();
    void destruction_while_searching();
    void controller_failure_is_reported();
    void replaced_controller_is_ignored_data();
    void replaced_controller_is_ignored();
};

void TestBleAdapter::initTestCase()
{
    // The stack explains at length that it finds no daemon and no adapter.
    QLoggingCategory::setFilterRules(QStringLiteral("qt.bluetooth*=false"));
}

void TestBleAdapter::signals_in_order()
{
    const QMetaObject& meta = BleAdapter::staticMetaObject;
    QCOMPARE(meta.className(), "nmb::BleAdapter");
    QCOMPARE(nmb::test::declared_methods(meta), (QStringList{"data_received(QByteArray)", "connected()",
                                                       "disconnected()", "error_occurred(QString)"}));
}

void TestBleAdapter::empty_name_is_refused_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("searched_before");

    QTest::newRow("empty text") << QStringLiteral("") << false;
    QTest::newRow("null text") << QString() << false;
    QTest::newRow("after a failed search") << QString() << true;
}

void TestBleAdapter::empty_name_is_refused()
{
    QFETCH(QString, name);
    QFETCH(bool, searched_before);

    BleAdapter adapter;
    adapter.initialize(SERVICE_UUID, NOTIFY_UUID, WRITE_UUID);
    if (searched_before)
        QVERIFY(search_fails(adapter, QStringLiteral("Nimbra Probe")));
    Spies spies(&adapter);

    adapter.connect(name);
    QCOMPARE(spies.errors.size(), 1);
    QCOMPARE(spies.error(0), QStringLiteral("BLE device name is empty"));
    settle();
    // No search was started, so nothing else follows.
    QCOMPARE(spies.total(), 1);
    QVERIFY(!adapter.is_connected());
}

void TestBleAdapter::write_before_ready_fails_data()
{
    QTest::addColumn<QString>("history");

    QTest::newRow("fresh adapter") << "fresh";
    QTest::newRow("after an empty name") << "empty name";
    QTest::newRow("after a failed search") << "search failed";
    QTest::newRow("after disconnect") << "disconnected";
    QTest::newRow("with a controller that could not link") << "controller failed";
}

void TestBleAdapter::write_before_ready_fails()
{
    QFETCH(QString, history);
    if (history == QLatin1String("controller failed") && has_local_adapter())
        QSKIP("a Bluetooth adapter is present: the controller would try to link");

    BleAdapter adapter;
    if (history != QLatin1String("fresh"))
        adapter.initialize(SERVICE_UUID, NOTIFY_UUID, WRITE_UUID);
    if (history == QLatin1String("empty name"))
        adapter.connect(QString());
    else if (history == QLatin1String("search failed"))
        QVERIFY(search_fails(adapter, QStringLiteral("Nimbra Probe")));
    else if (history == QLatin1String("disconnected"))
        adapter.disconnect();
    else if (history == QLatin1String("controller failed"))
        adapter.connect_to_device_info(made_up_device());
    Spies spies(&adapter);

    QCOMPARE(adapter.write("lost"), qint64(-1));
    QCOMPARE(spies.errors.size(), 1);
    QCOMPARE(spies.error(0), NOT_CONNECTED);
    QCOMPARE(adapter.write(QByteArray()), qint64(-1));
    QCOMPARE(spies.errors.size(), 2);
    QCOMPARE(spies.error(1), NOT_CONNECTED);
    QCOMPARE(spies.total(), 2);
    QVERIFY(!adapter.is_connected());
}

void TestBleAdapter::scan_returns_what_was_found_data()
{
    QTest::addColumn<int>("timeout_ms");

    QTest::newRow("no time at all") << 0;
    QTest::newRow("negative time counts as none") << -250;
    QTest::newRow("one and a half seconds") << 1500;
}

void TestBleAdapter::scan_returns_what_was_found()
{
    QFETCH(int, timeout_ms);

    BleAdapter adapter;
    adapter.initialize(SERVICE_UUID, NOTIFY_UUID, WRITE_UUID);
    Spies spies(&adapter);

    QElapsedTimer clock;
    clock.start();
    const QStringList names = adapter.scan(timeout_ms);
    // The stack needs a moment to stop a discovery; the bound is generous.
    QVERIFY2(clock.elapsed() < std::max(timeout_ms, 0) + 10000, qPrintable(QString::number(clock.elapsed())));

    for (const QString& name : names)
        QVERIFY(!name.isEmpty());
    QCOMPARE(QSet<QString>(names.begin(), names.end()).size(), names.size());
    if (!has_local_adapter())
        QCOMPARE(names, QStringList());
    // A failing discovery is reported once, with the stack's own text; a
    // scan is not a search, so "not found" never appears.
    QVERIFY(spies.errors.size() <= 1);
    for (qsizetype i = 0; i < spies.errors.size(); ++i) {
        QVERIFY(!spies.error(i).isEmpty());
        QVERIFY(!spies.error(i).startsWith(QLatin1String("BLE device was not found")));
    }
    QCOMPARE(spies.connected.size(), 0);
    QVERIFY(!adapter.is_connected());

    // The adapter scans again the same way.
    const QStringList again = adapter.scan(0);
    if (!has_local_adapter())
        QCOMPARE(again, QStringList());
}

void TestBleAdapter::scan_returns_when_the_agent_gives_up()
{
    if (has_local_adapter())
        QSKIP("a Bluetooth adapter is present: the discovery runs its full time");

    BleAdapter adapter;
    Spies spies(&adapter);
    QElapsedTimer clock;
    clock.start();
    // Without an adapter the discovery fails as it starts; scan() must not
    // sit out its time-out after that.
    QCOMPARE(adapter.scan(30000), QStringList());
    QVERIFY2(clock.elapsed() < 20000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(spies.errors.size(), 1);
    QVERIFY(!spies.error(0).isEmpty());
}

void TestBleAdapter::search_ends_in_one_error_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("earlier_searches");

    QTest::newRow("plain name") << QStringLiteral("Nimbra Probe") << 0;
    QTest::newRow("name with symbols") << QStringLiteral("probe-01 (left)") << 0;
    QTest::newRow("search after a failed one") << QStringLiteral("Nimbra Probe") << 1;
}

void TestBleAdapter::search_ends_in_one_error()
{
    QFETCH(QString, name);
    QFETCH(int, earlier_searches);
    if ((earlier_searches > 0 || name != QLatin1String("Nimbra Probe")) && has_local_adapter())
        QSKIP("a Bluetooth adapter is present: each search runs the stack's full discovery time");

    BleAdapter adapter;
    adapter.initialize(SERVICE_UUID, NOTIFY_UUID, WRITE_UUID);
    for (int i = 0; i < earlier_searches; ++i)
        QVERIFY(search_fails(adapter, name));
    Spies spies(&adapter);

    adapter.connect(name);
    QVERIFY(!adapter.is_connected());
    QTRY_VERIFY_WITH_TIMEOUT(!spies.errors.isEmpty(), SEARCH_WAIT_MS);
    settle();

    // Either the stack's own error (no adapter, no daemon) or the search
    // finished without a device of that name; one message, never both.
    QCOMPARE(spies.errors.size(), 1);
    const QString message = spies.error(0);
    const QString not_found = QStringLiteral("BLE device was not found: %1").arg(name);
    QVERIFY2(message == not_found || (!message.isEmpty() && !message.startsWith(QLatin1String("BLE "))),
             qPrintable(message));
    QCOMPARE(spies.total(), 1);
    QVERIFY(!adapter.is_connected());
    QVERIFY(controllers(adapter).isEmpty());
}

void TestBleAdapter::disconnect_at_any_time_data()
{
    QTest::addColumn<QString>("history");
    QTest::addColumn<int>("disconnects");

    QTest::newRow("idle") << "idle" << 1;
    QTest::newRow("idle, twice") << "idle" << 2;
    QTest::newRow("right after connect") << "connect" << 1;
    QTest::newRow("right after connect, twice") << "connect" << 2;
    QTest::newRow("after the search ended") << "search failed" << 1;
    QTest::newRow("with a controller that could not link") << "controller failed" << 1;
    QTest::newRow("with a controller that could not link, twice") << "controller failed" << 2;
}

void TestBleAdapter::disconnect_at_any_time()
{
    QFETCH(QString, history);
    QFETCH(int, disconnects);
    if (history == QLatin1String("controller failed") && has_local_adapter())
        QSKIP("a Bluetooth adapter is present: the controller would try to link");

    BleAdapter adapter;
    adapter.initialize(SERVICE_UUID, NOTIFY_UUID, WRITE_UUID);
    if (history == QLatin1String("connect"))
        adapter.connect(QStringLiteral("Nimbra Probe"));
    else if (history == QLatin1String("search failed"))
        QVERIFY(search_fails(adapter, QStringLiteral("Nimbra Probe")));
    else if (history == QLatin1String("controller failed"))
        adapter.connect_to_device_info(made_up_device());
    const QList<QPointer<QLowEnergyController>> before = [&] {
        QList<QPointer<QLowEnergyController>> list;
        for (QLowEnergyController* controller : controllers(adapter))
            list.append(controller);
        return list;
    }();
    Spies spies(&adapter);

    for (int i = 0; i < disconnects; ++i)
        adapter.disconnect();
    settle();

    // Ending a search or a link that never came up says nothing; whatever
    // the search had to report came before the disconnect.
    QCOMPARE(spies.total(), 0);
    QVERIFY(!adapter.is_connected());
    // A dropped controller is deleted once the event loop gets to it.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    for (const QPointer<QLowEnergyController>& controller : before)
        QVERIFY(controller.isNull());
    QVERIFY(controllers(adapter).isEmpty());

    // The adapter searches again afterwards, with one report.
    QVERIFY(search_fails(adapter, QStringLiteral("Nimbra Probe")));
    settle();
    QCOMPARE(spies.errors.size(), 1);
    QCOMPARE(spies.connected.size(), 0);
}

void TestBleAdapter::destruction_while_searching()
{
    auto adapter = std::make_unique<BleAdapter>();
    adapter->initialize(SERVICE_UUID, NOTIFY_UUID, WRITE_UUID);
    Spies spies(adapter.get());
    adapter->connect(QStringLiteral("Nimbra Probe"));
    const qsizetype before = spies.total();

    adapter.reset();
    settle();
    QCOMPARE(spies.total(), before);
    QVERIFY(spies.connected.isEmpty());
}

void TestBleAdapter::controller_failure_is_reported()
{
    if (has_local_adapter())
        QSKIP("a Bluetooth adapter is present: the controller would try to link");

    BleAdapter adapter;
    adapter.initialize(SERVICE_UUID, NOTIFY_UUID, WRITE_UUID);
    Spies spies(&adapter);

    adapter.connect_to_device_info(made_up_device());
    QTRY_COMPARE(spies.errors.size(), 1);
    QCOMPARE(controllers(adapter).size(), 1);
    const QPointer<QLowEnergyController> first = controllers(adapter).first();
    QCOMPARE(spies.error(0), first->errorString());
    QVERIFY(!spies.error(0).isEmpty());
    QVERIFY(!adapter.is_connected());

    // The failed controller stays until disconnect(); meanwhile another
    // device is not taken.
    adapter.connect_to_device_info(made_up_device());
    settle();
    QCOMPARE(spies.errors.size(), 1);
    QCOMPARE(controllers(adapter), QList<QLowEnergyController*>{first.data()});

    adapter.disconnect();
    adapter.connect_to_device_info(made_up_device());
    QTRY_COMPARE(spies.errors.size(), 2);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(first.isNull());
    QCOMPARE(controllers(adapter).size(), 1);
    QCOMPARE(spies.connected.size(), 0);
    QCOMPARE(spies.disconnected.size(), 0);

    // A search drops the controller first.
    const QPointer<QLowEnergyController> second = controllers(adapter).first();
    QVERIFY(search_fails(adapter, QStringLiteral("Nimbra Probe")));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(second.isNull());
}

void TestBleAdapter::replaced_controller_is_ignored_data()
{
    QTest::addColumn<bool>("current");
    QTest::addColumn<QString>("signal");
    QTest::addColumn<int>("disconnected");
    QTest::addColumn<int>("errors");

    QTest::newRow("link lost on the current controller") << true << "disconnected" << 1 << 0;
    QTest::newRow("link lost on a dropped controller") << false << "disconnected" << 0 << 0;
    QTest::newRow("error on the current controller") << true << "error" << 0 << 1;
    QTest::newRow("error on a dropped controller") << false << "error" << 0 << 0;
    QTest::newRow("link up on the current controller") << true << "connected" << 0 << 0;
    QTest::newRow("link up on a dropped controller") << false << "connected" << 0 << 0;
}

void TestBleAdapter::replaced_controller_is_ignored()
{
    QFETCH(bool, current);
    QFETCH(QString, signal);
    QFETCH(int, disconnected);
    QFETCH(int, errors);
    if (has_local_adapter())
        QSKIP("a Bluetooth adapter is present: the controller would try to link");

    BleAdapter adapter;
    adapter.initialize(SERVICE_UUID, NOTIFY_UUID, WRITE_UUID);
    adapter.connect_to_device_info(made_up_device());
    QPointer<QLowEnergyController> controller = controllers(adapter).value(0);
    QVERIFY(controller);
    if (!current) {
        // The dropped controller lives on until the event loop deletes it;
        // its late signals must not reach the adapter's listeners.
        adapter.disconnect();
        adapter.connect_to_device_info(made_up_device());
        QCOMPARE(controllers(adapter).size(), 2);
    }
    Spies spies(&adapter);

    // The controller's own signals, as the stack would raise them; no radio
    // is here to make it do so.
    if (signal == QLatin1String("disconnected"))
        Q_EMIT controller->disconnected();
    else if (signal == QLatin1String("error"))
        Q_EMIT controller->errorOccurred(QLowEnergyController::ConnectionError);
    else
        Q_EMIT controller->connected();

    QCOMPARE(spies.disconnected.size(), disconnected);
    QCOMPARE(spies.errors.size(), errors);
    if (errors > 0)
        QCOMPARE(spies.error(0), controller->errorString());
    // Link up only starts the service discovery; ready is still far off.
    QCOMPARE(spies.connected.size(), 0);
    QVERIFY(!adapter.is_connected());
    QCOMPARE(adapter.write("x"), qint64(-1));
}

QTEST_GUILESS_MAIN(TestBleAdapter)
#include "tst_ble_adapter.moc"
