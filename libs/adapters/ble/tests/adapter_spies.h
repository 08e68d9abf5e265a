#pragma once

#include <nmb/ble_adapter.h>

#include <QSignalSpy>
#include <QStringList>

namespace nmb::test {

// Every signal of one Bluetooth LE adapter, counted from the moment of
// construction.
struct BleAdapterSpies {
    explicit BleAdapterSpies(BleAdapter* adapter)
        : received(adapter, &BleAdapter::data_received)
        , connected(adapter, &BleAdapter::connected)
        , disconnected(adapter, &BleAdapter::disconnected)
        , errors(adapter, &BleAdapter::error_occurred)
    {
    }
    qsizetype total() const { return received.size() + connected.size() + disconnected.size() + errors.size(); }
    QString error(qsizetype index) const { return errors.at(index).first().toString(); }
    QStringList error_texts() const
    {
        QStringList texts;
        for (qsizetype i = 0; i < errors.size(); ++i)
            texts << error(i);
        return texts;
    }

    QSignalSpy received;
    QSignalSpy connected;
    QSignalSpy disconnected;
    QSignalSpy errors;
};

} // namespace nmb::test
