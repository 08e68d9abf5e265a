#include "capture_reader.h"
#include "command_failure.h"
#include "commands.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <memory>

namespace nmb::reelkit {

int run_import(const ReelkitOptions& options)
{
    const QString& in = options.inputs.first();
    if (QFileInfo(in).isDir())
        return fail(QStringLiteral("read"), in, QStringLiteral("Is a directory"));
    char message[PCAP_ERRBUF_SIZE] = {};
    std::unique_ptr<pcap_t, PcapCloser> capture(pcap_open_offline(QFile::encodeName(in).constData(), message));
    if (!capture)
        return fail(QStringLiteral("read"), in, QString::fromLocal8Bit(message));

    QSaveFile out(options.output);
    if (!out.open(QIODevice::WriteOnly))
        return fail(QStringLiteral("write"), options.output, out.errorString());
    bool written = true;
    const std::optional<std::uint16_t> port = options.port_given ? std::optional<std::uint16_t>(options.port)
                                                                 : std::nullopt;
    const CaptureCounts counts = read_udp_payloads(capture.get(), port, [&](QByteArrayView payload) {
        written = out.write(payload.data(), payload.size()) == payload.size();
        return written;
    });
    if (!written)
        return fail(QStringLiteral("write"), options.output, out.errorString());
    if (!counts.ok)
        return fail(QStringLiteral("read"), in, counts.error);
    if (counts.fragments > 0)
        qWarning().noquote() << QStringLiteral("Skipped %1 IP fragment(s) that cannot be reassembled.").arg(counts.fragments);
    if (counts.cut_short > 0)
        qWarning().noquote() << QStringLiteral("Skipped %1 UDP datagram(s) the capture did not keep whole.")
                                    .arg(counts.cut_short);
    if (counts.datagrams == 0) {
        return fail(QStringLiteral("import"), in,
                    port ? QStringLiteral("no UDP datagram to port %1").arg(*port) : QStringLiteral("no UDP datagram"));
    }
    if (!out.commit())
        return fail(QStringLiteral("write"), options.output, out.errorString());
    qInfo().noquote() << QStringLiteral("Imported %1 datagram(s), %2 byte(s), to %3.")
                             .arg(counts.datagrams).arg(counts.bytes).arg(options.output);
    return 0;
}

} // namespace nmb::reelkit
