#include "command_line.h"
#include "commands.h"

#include <QCoreApplication>
#include <QDebug>

#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("nimbra_reelkit"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0.0"));

    using nmb::reelkit::ParsedCommandLine;
    const ParsedCommandLine parsed = nmb::reelkit::parse_command_line(QCoreApplication::arguments());
    switch (parsed.outcome) {
    case ParsedCommandLine::Outcome::Print:
        std::fputs(parsed.text.toLocal8Bit().constData(), stdout);
        return 0;
    case ParsedCommandLine::Outcome::Error:
        qCritical().noquote() << parsed.text.trimmed();
        return 2;
    case ParsedCommandLine::Outcome::Run:
        break;
    }
    switch (parsed.options.command) {
    case nmb::reelkit::Command::Info:
        return nmb::reelkit::run_info(parsed.options);
    case nmb::reelkit::Command::Salvage:
        return nmb::reelkit::run_salvage(parsed.options);
    case nmb::reelkit::Command::Export:
        return nmb::reelkit::run_export(parsed.options);
    case nmb::reelkit::Command::Import:
        return nmb::reelkit::run_import(parsed.options);
    }
    return 2;
}
