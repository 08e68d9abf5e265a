#include "recorder.h"
#include "recorder_options.h"

#include <QCoreApplication>
#include <QDebug>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("nimbra_reeltake"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0.0"));

    QCommandLineParser parser;
    nmb::reeltake::configure_parser(parser);
    parser.process(app);

    const nmb::reeltake::OptionsResult options = nmb::reeltake::read_options(parser);
    if (options.status != nmb::reeltake::OptionsStatus::Ok) {
        qCritical().noquote() << options.message;
        return 2;
    }
    return nmb::reeltake::run_recorder(options.options);
}
