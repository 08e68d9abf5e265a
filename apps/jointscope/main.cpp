// nimbra_jointscope: shows the joint poses of the Mocap frames arriving on
// a UDP port, live, in one window.
#include "jointscope_window.h"

#include <nmb/udp_adapter.h>

#include <QApplication>
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QtDebug>

namespace {

const QCommandLineOption PORT_OPTION(QStringLiteral("port"), QStringLiteral("Local UDP port (1-65535)."),
                                     QStringLiteral("port"), QStringLiteral("15000"));

void name_application()
{
    QCoreApplication::setApplicationName(QStringLiteral("nimbra_jointscope"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0.0"));
}

void configure_parser(QCommandLineParser& parser)
{
    parser.setApplicationDescription(
        QStringLiteral("Display Mocap frame joint poses (position and quaternion) received over UDP."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption(PORT_OPTION);
}

// Whether the command line only asks for the help or the version text,
// which need no display: the GUI application would fail to start without one.
bool asks_for_text_only(int argc, char* argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    QCommandLineParser parser;
    configure_parser(parser);
    return parser.parse(arguments)
        && (parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("help-all"))
            || parser.isSet(QStringLiteral("version")));
}

} // namespace

int main(int argc, char* argv[])
{
    if (asks_for_text_only(argc, argv)) {
        QCoreApplication app(argc, argv);
        name_application();
        QCommandLineParser parser;
        configure_parser(parser);
        parser.process(app); // prints the text and exits
        return 0;
    }

    QApplication app(argc, argv);
    name_application();

    QCommandLineParser parser;
    configure_parser(parser);
    parser.process(app);

    if (!parser.positionalArguments().isEmpty())
        parser.showHelp(2);

    const QString port_text = parser.value(PORT_OPTION);
    const std::optional<quint16> port = nmb::parse_udp_port(port_text);
    if (!port) {
        qCritical().noquote() << "Invalid local UDP port:" << port_text;
        return 2;
    }

    nmb::JointscopeWindow window(*port);
    window.show();
    return app.exec();
}
