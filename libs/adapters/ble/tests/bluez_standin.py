'''Stand-in Bluetooth daemon for the Bluetooth LE adapter's tests.

Loaded as a python-dbusmock template on a private bus. It serves one powered
adapter (hci0) and the devices named in the "devices" parameter, each an
"address|name" text (an empty name makes a device that has neither a name
nor an alias). The last
device is the peripheral: it carries one GATT service with a notify
characteristic and its configuration descriptor, and a write characteristic.
The parameters "notify" and "descriptor" ("no" leaves that object out) build a
peripheral that lacks one of them.

Control methods on the root object, interface org.bluez.Mock:
  Notify(ay)         the notify characteristic's value changes (a notification)
  DropLink()         the peripheral's link goes down (Connected false)
  RemovePeripheral() the peripheral's objects vanish from the daemon
  NotifyStarts() -> u how often notifications were switched on
  Written() -> (ay, s) the last value written to the write characteristic and
                     its write type ("request" is a write with response)
'''

import dbus

from dbusmock import OBJECT_MANAGER_IFACE, mockobject

BUS_NAME = 'org.bluez'
MAIN_OBJ = '/'
SYSTEM_BUS = True
IS_OBJECT_MANAGER = True

MOCK_IFACE = 'org.bluez.Mock'

# The root object (the object manager), known once load() runs.
ROOT = []
ADAPTER_IFACE = 'org.bluez.Adapter1'
DEVICE_IFACE = 'org.bluez.Device1'
SERVICE_IFACE = 'org.bluez.GattService1'
CHAR_IFACE = 'org.bluez.GattCharacteristic1'
DESC_IFACE = 'org.bluez.GattDescriptor1'
PROPS_IFACE = 'org.freedesktop.DBus.Properties'

ADAPTER_PATH = '/org/bluez/hci0'
SERVICE_UUID = '6e400001-b5a3-f393-e0a9-e50e24dcca9e'
WRITE_UUID = '6e400002-b5a3-f393-e0a9-e50e24dcca9e'
NOTIFY_UUID = '6e400003-b5a3-f393-e0a9-e50e24dcca9e'
CONFIG_UUID = '00002902-0000-1000-8000-00805f9b34fb'


def v(value):
    '''A property value as the daemon sends it: wrapped in a variant.'''
    if isinstance(value, dbus.Array):
        return dbus.Array(value, signature=value.signature, variant_level=1)
    return type(value)(value, variant_level=1)


def device_path(address):
    return ADAPTER_PATH + '/dev_' + address.replace(':', '_').upper()


def changed(obj, iface, props):
    obj.props[iface].update(props)
    obj.EmitSignal(PROPS_IFACE, 'PropertiesChanged', 'sa{sv}as', [iface, props, []])


def added(path, iface, props):
    ROOT[0].EmitSignal(OBJECT_MANAGER_IFACE, 'InterfacesAdded', 'oa{sa{sv}}',
                                       [dbus.ObjectPath(path), {iface: props}])


def set_discovering(adapter, on):
    changed(adapter, ADAPTER_IFACE, {'Discovering': v(dbus.Boolean(on))})


def start_discovery(adapter):
    set_discovering(adapter, True)
    # Devices are advertised again on every discovery, as a radio would.
    for path, props in adapter.advertised:
        added(path, DEVICE_IFACE, props)


def connect_device(device):
    if device.props[DEVICE_IFACE]['Connected']:
        raise dbus.exceptions.DBusException('Already Connected', name='org.bluez.Error.AlreadyConnected')
    changed(device, DEVICE_IFACE, {'Connected': v(dbus.Boolean(True))})
    changed(device, DEVICE_IFACE, {'ServicesResolved': v(dbus.Boolean(True))})


def disconnect_device(device):
    changed(device, DEVICE_IFACE, {'ServicesResolved': v(dbus.Boolean(False))})
    changed(device, DEVICE_IFACE, {'Connected': v(dbus.Boolean(False))})


def read_value(obj, iface):
    return obj.props[iface]['Value']


def write_value(obj, value, options):
    obj.props[CHAR_IFACE]['Value'] = v(dbus.Array(value, signature='y'))
    obj.write_type = str(options.get('type', ''))


def add_object(path, iface, props, methods):
    ROOT[0].AddObject(path, iface, props, methods)
    added(path, iface, props)
    return mockobject.objects[path]


def add_device(adapter, address, name):
    path = device_path(address)
    props = {
        'Address': v(dbus.String(address)),
        'AddressType': v(dbus.String('random')),
        'Adapter': v(dbus.ObjectPath(ADAPTER_PATH)),
        'Paired': v(dbus.Boolean(False)),
        'Connected': v(dbus.Boolean(False)),
        'ServicesResolved': v(dbus.Boolean(False)),
        'Trusted': v(dbus.Boolean(False)),
        'Blocked': v(dbus.Boolean(False)),
        'LegacyPairing': v(dbus.Boolean(False)),
        'RSSI': v(dbus.Int16(-52)),
        'UUIDs': v(dbus.Array([SERVICE_UUID], signature='s')),
    }
    if name:
        props['Name'] = v(dbus.String(name))
        props['Alias'] = v(dbus.String(name))
    add_object(path, DEVICE_IFACE, props, [
        ('Connect', '', '', connect_device),
        ('Disconnect', '', '', disconnect_device),
    ])
    adapter.advertised.append((path, props))
    return path


def start_notify(obj):
    obj.notify_starts = getattr(obj, 'notify_starts', 0) + 1
    changed(obj, CHAR_IFACE, {'Notifying': v(dbus.Boolean(True))})


def add_characteristic(path, service, uuid, flags):
    return add_object(path, CHAR_IFACE, {
        'UUID': v(dbus.String(uuid)),
        'Service': v(dbus.ObjectPath(service)),
        'Value': v(dbus.Array([], signature='y')),
        'Notifying': v(dbus.Boolean(False)),
        'Flags': v(dbus.Array(flags, signature='s')),
    }, [
        ('ReadValue', 'a{sv}', 'ay', lambda obj, _opts: read_value(obj, CHAR_IFACE)),
        ('WriteValue', 'aya{sv}', '', write_value),
        ('StartNotify', '', '', start_notify),
        ('StopNotify', '', '', lambda obj: changed(obj, CHAR_IFACE, {'Notifying': v(dbus.Boolean(False))})),
    ])


def add_gatt(peripheral, with_notify, with_descriptor):
    service = peripheral + '/service0010'
    add_object(service, SERVICE_IFACE, {
        'UUID': v(dbus.String(SERVICE_UUID)),
        'Device': v(dbus.ObjectPath(peripheral)),
        'Primary': v(dbus.Boolean(True)),
        'Includes': v(dbus.Array([], signature='o')),
    }, [])
    add_characteristic(service + '/char0011', service, WRITE_UUID, ['write', 'write-without-response'])
    if not with_notify:
        return
    notify = service + '/char0013'
    add_characteristic(notify, service, NOTIFY_UUID, ['notify'])
    if with_descriptor:
        add_object(notify + '/desc0015', DESC_IFACE, {
            'UUID': v(dbus.String(CONFIG_UUID)),
            'Characteristic': v(dbus.ObjectPath(notify)),
            'Value': v(dbus.Array([0, 0], signature='y')),
        }, [
            ('ReadValue', 'a{sv}', 'ay', lambda obj, _opts: read_value(obj, DESC_IFACE)),
            ('WriteValue', 'aya{sv}', '', ''),
        ])


def load(mock, parameters):
    ROOT.append(mock)
    mock.AddObject('/org/bluez', 'org.bluez.AgentManager1', {}, [
        ('RegisterAgent', 'os', '', ''),
        ('RequestDefaultAgent', 'o', '', ''),
        ('UnregisterAgent', 'o', '', ''),
    ])
    adapter = add_object(ADAPTER_PATH, ADAPTER_IFACE, {
        'Address': v(dbus.String('00:1A:7D:DA:71:13')),
        'AddressType': v(dbus.String('public')),
        'Name': v(dbus.String('standin')),
        'Alias': v(dbus.String('standin')),
        'Class': v(dbus.UInt32(0)),
        'Powered': v(dbus.Boolean(True)),
        'Discoverable': v(dbus.Boolean(False)),
        'Pairable': v(dbus.Boolean(False)),
        'Discovering': v(dbus.Boolean(False)),
        'UUIDs': v(dbus.Array([], signature='s')),
    }, [
        ('StartDiscovery', '', '', start_discovery),
        ('StopDiscovery', '', '', lambda obj: set_discovering(obj, False)),
        ('SetDiscoveryFilter', 'a{sv}', '', ''),
        ('GetDiscoveryFilters', '', 'as', 'ret = ["UUIDs", "RSSI", "Transport", "DuplicateData"]'),
        ('RemoveDevice', 'o', '', ''),
    ])
    adapter.advertised = []
    devices = [str(entry).split('|', 1) for entry in parameters.get('devices', [])]
    paths = [add_device(adapter, address, name) for address, name in devices]
    if paths:
        mock.peripheral = paths[-1]
        add_gatt(paths[-1], parameters.get('notify', 'yes') != 'no',
                 parameters.get('descriptor', 'yes') != 'no')


@dbus.service.method(MOCK_IFACE, in_signature='ay', out_signature='')
def Notify(self, value):
    notify = mockobject.objects[self.peripheral + '/service0010/char0013']
    changed(notify, CHAR_IFACE, {'Value': v(dbus.Array(value, signature='y'))})


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='')
def DropLink(self):
    disconnect_device(mockobject.objects[self.peripheral])


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='')
def RemovePeripheral(self):
    gone = sorted((path for path in mockobject.objects if path.startswith(self.peripheral)), reverse=True)
    for path in gone:
        ifaces = list(mockobject.objects[path].props.keys())
        self.RemoveObject(path)
        self.EmitSignal(OBJECT_MANAGER_IFACE, 'InterfacesRemoved', 'oas', [dbus.ObjectPath(path), ifaces])


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='ays')
def Written(self):
    write = mockobject.objects[self.peripheral + '/service0010/char0011']
    return (write.props[CHAR_IFACE]['Value'], getattr(write, 'write_type', ''))


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='u')
def NotifyStarts(self):
    return getattr(mockobject.objects[self.peripheral + '/service0010/char0013'], 'notify_starts', 0)
