// nimbra_jointscope: shows the joint poses of the Mocap frames arriving on
// a UDP port, live, in one window.
#include "jointscope_window.h"

#include <nmb/udp_adapter.h>

#include <QApplication>
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QtDebug>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("nimbra_jointscope"));
    QApplication::setApplicationVersion(QStringLiteral("1.0.0"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Display Mocap frame joint poses (position and quaternion) received over UDP."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption port_option(QStringLiteral("port"), QStringLiteral("Local UDP port (1-65535)."),
                                         QStringLiteral("port"), QStringLiteral("15000"));
    parser.addOption(port_option);
    parser.process(app);

    if (!parser.positionalArguments().isEmpty())
        parser.showHelp(2);

    const QString port_text = parser.value(port_option);
    const std::optional<quint16> port = nmb::parse_udp_port(port_text);
    if (!port) {
        qCritical().noquote() << "Invalid local UDP port:" << port_text;
        return 2;
    }

    nmb::JointscopeWindow window(*port);
    window.show();
    return app.exec();
}
