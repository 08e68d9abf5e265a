#pragma once

#include <QMetaObject>
#include <QStringList>

namespace nmb::test {

// The signatures of the methods (signals, slots, invokables) that a class
// declares itself, without those of its bases, in declaration order; e.g.
// "error_occurred(QString)".
QStringList declared_methods(const QMetaObject& meta);

} // namespace nmb::test
