#include "command_line.h"

#include <nmb/udp_adapter.h>

#include <QCommandLineParser>
#include <QFileInfo>

namespace nmb::reelkit {

namespace {

const QString PROGRAM = QStringLiteral("nimbra_reelkit");

QString overview()
{
    return QStringLiteral(
        "Usage: nimbra_reelkit <command> [options] <arguments>\n"
        "Inspect, salvage and convert Nimbra recordings.\n\n"
        "Commands:\n"
        "  info [--json] FILE...    What each recording holds and where it is damaged.\n"
        "  salvage IN OUT           Copy every whole frame of IN to OUT, skipping damage.\n"
        "  export IN OUT.pcap       Write a recording as a capture of UDP datagrams.\n"
        "  import IN.pcap OUT.bin   Write the UDP payloads of a capture as a recording.\n\n"
        "Options:\n"
        "  -h, --help     Displays help; after a command, that command's help.\n"
        "  -v, --version  Displays version information.\n");
}

ParsedCommandLine error(const QString& text)
{
    ParsedCommandLine parsed;
    parsed.text = text;
    return parsed;
}

ParsedCommandLine print(const QString& text)
{
    ParsedCommandLine parsed;
    parsed.outcome = ParsedCommandLine::Outcome::Print;
    parsed.text = text;
    return parsed;
}

const QCommandLineOption FORCE(QStringLiteral("force"), QStringLiteral("Replace an existing output file."));

// Output checks that must happen before anything is written.
QString output_problem(const ReelkitOptions& o)
{
    const QFileInfo out(o.output);
    if (!out.exists())
        return {};
    if (out.canonicalFilePath() == QFileInfo(o.inputs.first()).canonicalFilePath())
        return QStringLiteral("Input and output are the same file: ") + o.output;
    if (!o.force)
        return QStringLiteral("Output file exists: ") + o.output;
    return {};
}

} // namespace

ParsedCommandLine parse_command_line(const QStringList& arguments)
{
    const QString name = arguments.value(1);
    if (name == QLatin1String("-h") || name == QLatin1String("--help") || name == QLatin1String("--help-all"))
        return print(overview());
    if (name == QLatin1String("-v") || name == QLatin1String("--version"))
        return print(PROGRAM + QStringLiteral(" 1.0.0\n"));
    if (name.isEmpty())
        return error(QStringLiteral("Missing command.\n\n") + overview());

    ReelkitOptions o;
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("nimbra_reelkit ") + name);
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("One JSON object per file per line."));
    if (name == QLatin1String("info")) {
        o.command = Command::Info;
        parser.addOption(json);
        parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("Recordings to inspect."),
                                     QStringLiteral("info FILE..."));
    } else if (name == QLatin1String("salvage")) {
        o.command = Command::Salvage;
        parser.addOption(FORCE);
        parser.addPositionalArgument(QStringLiteral("IN OUT"),
                                     QStringLiteral("Damaged recording and the new one."),
                                     QStringLiteral("salvage IN OUT"));
    } else if (name == QLatin1String("export") || name == QLatin1String("import")) {
        const bool out = name == QLatin1String("export");
        o.command = out ? Command::Export : Command::Import;
        parser.addOption(FORCE);
        parser.addOption({QStringLiteral("port"),
                          out ? QStringLiteral("UDP destination port of the datagrams (default 15000).")
                              : QStringLiteral("Only datagrams to this UDP port."),
                          QStringLiteral("port")});
        parser.addPositionalArgument(QStringLiteral("IN OUT"),
                                     out ? QStringLiteral("Recording and the capture to write.")
                                         : QStringLiteral("Capture (pcap or pcapng) and the recording to write."),
                                     out ? QStringLiteral("export IN OUT.pcap")
                                         : QStringLiteral("import IN.pcap OUT.bin"));
    } else {
        return error(QStringLiteral("Unknown command: ") + name + QStringLiteral("\n\n") + overview());
    }

    QStringList rest = arguments;
    rest.removeAt(1);
    if (!parser.parse(rest))
        return error(parser.errorText());
    if (parser.isSet(help))
        return print(parser.helpText().replace(QStringLiteral("[options] "), QString()));

    const QStringList positional = parser.positionalArguments();
    if (o.command == Command::Info) {
        if (positional.isEmpty())
            return error(QStringLiteral("Missing recording file.\n\n") + parser.helpText());
        o.inputs = positional;
        o.json = parser.isSet(json);
        return {ParsedCommandLine::Outcome::Run, o, {}};
    }
    if (positional.size() != 2)
        return error(QStringLiteral("Expected IN and OUT.\n\n") + parser.helpText());
    o.inputs = {positional[0]};
    o.output = positional[1];
    o.force = parser.isSet(FORCE);
    if (o.command != Command::Salvage && parser.isSet(QStringLiteral("port"))) {
        const QString text = parser.value(QStringLiteral("port"));
        const std::optional<quint16> value = parse_udp_port(text);
        if (!value)
            return error(QStringLiteral("Invalid UDP port: ") + text);
        o.port = *value;
        o.port_given = true;
    }
    const QString problem = output_problem(o);
    if (!problem.isEmpty())
        return error(problem);
    return {ParsedCommandLine::Outcome::Run, o, {}};
}

} // namespace nmb::reelkit
