// nimbra_skelora_bridge: forwards the Mocap frames arriving over UDP to the
// Skelora pose visualization service until SIGINT or SIGTERM.

#include "bridge.h"
#include "bridge_options.h"

#include <QCoreApplication>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("nimbra_skelora_bridge"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0.0"));

    nmb::BridgeOptions options;
    if (nmb::parse_bridge_options(QCoreApplication::arguments(), options) != nmb::OptionsStatus::Ok)
        return 2;

    nmb::Bridge bridge(options);
    if (!bridge.start())
        return 1;
    const int result = QCoreApplication::exec();
    bridge.finish();
    return result;
}
