// nimbra_skelora_stub: a stand-in pose visualization service for trying the
// bridge without the real one. Pose lines go to standard output, everything
// else to standard error.

#include "stub_server.h"

#include <nmb/stop_signal.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QSslSocket>
#include <cstdio>

#include <unistd.h>

namespace {

int command_line_error(const QString& message)
{
    qCritical().noquote() << message;
    return 2;
}

// Reads "get_pose_data <skeleton>" lines from standard input; stops at end of
// input so a closed or redirected stdin costs nothing.
class CommandReader : public QObject {
public:
    CommandReader(nmb::StubServer& server, QObject* parent)
        : QObject(parent)
        , server_(server)
        , notifier_(STDIN_FILENO, QSocketNotifier::Read, this)
    {
        QObject::connect(&notifier_, &QSocketNotifier::activated, this, [this] { read_input(); });
    }

private:
    void read_input()
    {
        char chunk[4096];
        const ssize_t count = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (count <= 0) {
            notifier_.setEnabled(false);
            return;
        }
        pending_.append(chunk, count);
        for (qsizetype end = pending_.indexOf('\n'); end >= 0; end = pending_.indexOf('\n')) {
            run(QString::fromUtf8(pending_.left(end)).simplified());
            pending_.remove(0, end + 1);
        }
    }

    void run(const QString& line)
    {
        if (line.isEmpty())
            return;
        const QStringList words = line.split(QLatin1Char(' '));
        if (words.size() != 2 || words[0] != QLatin1String("get_pose_data")) {
            qWarning().noquote() << "Unknown command:" << line << "(expected: get_pose_data <skeleton>)";
            return;
        }
        const int senders = server_.request_pose_data(words[1].toStdString());
        if (senders == 0)
            qWarning().noquote() << "No sender has completed the handshake yet.";
    }

    nmb::StubServer& server_;
    QSocketNotifier notifier_;
    QByteArray pending_;
};

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("nimbra_skelora_stub"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0.0"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Stand-in Skelora service: answers hello with server_ready (pose_frame.v1) and prints one\n"
        "line per pose_frame on standard output: skeleton, joint count, first joint and its position.\n"
        "Serves ws, or wss when --cert and --key are given.\n"
        "Commands on standard input, one per line:\n"
        "  get_pose_data <skeleton>   send get_pose_data for <skeleton> to every ready sender"));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption address_option(QStringLiteral("address"), QStringLiteral("Address to listen on (default 127.0.0.1)."),
                                            QStringLiteral("address"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption port_option(QStringLiteral("port"), QStringLiteral("TCP port (default 8080; 0: any free port)."),
                                         QStringLiteral("port"), QStringLiteral("8080"));
    const QCommandLineOption path_option(QStringLiteral("path"), QStringLiteral("WebSocket request path (default /ws)."),
                                         QStringLiteral("path"), QStringLiteral("/ws"));
    const QCommandLineOption cert_option(QStringLiteral("cert"), QStringLiteral("PEM certificate file (serves wss)."),
                                         QStringLiteral("file"));
    const QCommandLineOption key_option(QStringLiteral("key"), QStringLiteral("PEM private key file (serves wss)."),
                                        QStringLiteral("file"));
    const QCommandLineOption request_option(
        QStringLiteral("request-pose"),
        QStringLiteral("Send get_pose_data for <skeleton> to each sender right after its handshake."),
        QStringLiteral("skeleton"));
    parser.addOptions({address_option, port_option, path_option, cert_option, key_option, request_option});
    // A parse error is a command-line error like the others (status 2);
    // process() would end with 1. Help and version exit as usual.
    if (!parser.parse(QCoreApplication::arguments()))
        return command_line_error(parser.errorText());
    parser.process(app);

    if (!parser.positionalArguments().isEmpty())
        return command_line_error(QStringLiteral("Unexpected positional arguments."));
    const QHostAddress address(parser.value(address_option));
    if (address.isNull())
        return command_line_error(QStringLiteral("Invalid listen address: ") + parser.value(address_option));
    bool port_ok = false;
    const uint port = parser.value(port_option).toUInt(&port_ok, 10);
    if (!port_ok || port > 65535)
        return command_line_error(QStringLiteral("Invalid port: ") + parser.value(port_option));
    const QString path = parser.value(path_option);
    if (!path.startsWith(QLatin1Char('/')))
        return command_line_error(QStringLiteral("Invalid path (must start with /): ") + path);
    const bool secure = parser.isSet(cert_option) || parser.isSet(key_option);
    if (secure && !(parser.isSet(cert_option) && parser.isSet(key_option)))
        return command_line_error(QStringLiteral("Serving wss needs both --cert and --key."));
    if (parser.isSet(request_option) && parser.value(request_option).trimmed().isEmpty())
        return command_line_error(QStringLiteral("Skeleton ID must not be empty."));

    if (secure && !QSslSocket::supportsSsl()) {
        qCritical().noquote() << "TLS is not available on this system.";
        return 1;
    }
    nmb::StubServer server(path, secure);
    if (secure && !server.load_tls(parser.value(cert_option), parser.value(key_option))) {
        qCritical().noquote() << server.error_string();
        return 1;
    }
    if (parser.isSet(request_option))
        server.set_request_skeleton(parser.value(request_option).trimmed().toStdString());
    QObject::connect(&server, &nmb::StubServer::pose_frame_received, &app, [](const QString& line) {
        const QByteArray text = line.toUtf8() + '\n';
        std::fwrite(text.constData(), 1, std::size_t(text.size()), stdout);
        std::fflush(stdout);
    });
    if (!server.listen(address, quint16(port))) {
        qCritical().noquote() << "Unable to listen on" << address.toString() + QLatin1Char(':') + QString::number(port)
                              << "-" << server.error_string();
        return 1;
    }
    CommandReader commands(server, nullptr);

    nmb::StopSignalPoll stop_poll;
    stop_poll.start();

    qInfo().noquote() << "Skelora stub listening on" << server.url();
    const int result = app.exec();
    stop_poll.stop();
    qInfo().noquote() << "Skelora stub stopped.";
    return result;
}
