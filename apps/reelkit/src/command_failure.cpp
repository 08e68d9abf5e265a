#include "command_failure.h"

#include <QDebug>

namespace nmb::reelkit {

int fail(const QString& what, const QString& path, const QString& why)
{
    qCritical().noquote() << QStringLiteral("Unable to %1 %2: %3").arg(what, path, why);
    return 1;
}

} // namespace nmb::reelkit
