#include "commands.h"
#include "udp_packet.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <pcap/pcap.h>

#include <memory>

namespace nmb::reelkit {

namespace {

struct PcapCloser {
    void operator()(pcap_t* p) const { pcap_close(p); }
};

int fail(const QString& what, const QString& path, const QString& why)
{
    qCritical().noquote() << QStringLiteral("Unable to %1 %2: %3").arg(what, path, why);
    return 1;
}

} // namespace

int run_import(const ReelkitOptions& options)
{
    const QString& in = options.inputs.first();
    if (QFileInfo(in).isDir())
        return fail(QStringLiteral("read"), in, QStringLiteral("Is a directory"));
    char message[PCAP_ERRBUF_SIZE] = {};
    std::unique_ptr<pcap_t, PcapCloser> capture(pcap_open_offline(QFile::encodeName(in).constData(), message));
    if (!capture)
        return fail(QStringLiteral("read"), in, QString::fromLocal8Bit(message));
    const int dlt = pcap_datalink(capture.get());
    const LinkType link = link_type_of(dlt);
    if (link == LinkType::Unsupported)
        return fail(QStringLiteral("read"), in,
                    QStringLiteral("unsupported link type %1").arg(QString::fromLatin1(pcap_datalink_val_to_name(dlt))));

    QSaveFile out(options.output);
    if (!out.open(QIODevice::WriteOnly))
        return fail(QStringLiteral("write"), options.output, out.errorString());
    std::uint64_t datagrams = 0, bytes = 0, fragments = 0, cut_short = 0;
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    int result = 0;
    while ((result = pcap_next_ex(capture.get(), &header, &data)) == 1) {
        const UdpFinding found = find_udp(link, QByteArrayView(reinterpret_cast<const char*>(data),
                                                               qsizetype(header->caplen)));
        if (found.kind == UdpFinding::Kind::Fragment)
            ++fragments;
        else if (found.kind == UdpFinding::Kind::CutShort)
            ++cut_short;
        // The recorder keeps no empty datagram, and neither do we.
        if (found.kind != UdpFinding::Kind::Udp || found.payload.isEmpty()
            || (options.port_given && found.port != options.port))
            continue;
        if (out.write(found.payload.data(), found.payload.size()) != found.payload.size())
            return fail(QStringLiteral("write"), options.output, out.errorString());
        ++datagrams;
        bytes += std::uint64_t(found.payload.size());
    }
    if (result == PCAP_ERROR)
        return fail(QStringLiteral("read"), in, QString::fromLocal8Bit(pcap_geterr(capture.get())));
    if (fragments > 0)
        qWarning().noquote() << QStringLiteral("Skipped %1 IP fragment(s) that cannot be reassembled.").arg(fragments);
    if (cut_short > 0)
        qWarning().noquote() << QStringLiteral("Skipped %1 UDP datagram(s) the capture did not keep whole.").arg(cut_short);
    if (datagrams == 0) {
        return fail(QStringLiteral("import"), in,
                    options.port_given ? QStringLiteral("no UDP datagram to port %1").arg(options.port)
                                       : QStringLiteral("no UDP datagram"));
    }
    if (!out.commit())
        return fail(QStringLiteral("write"), options.output, out.errorString());
    qInfo().noquote() << QStringLiteral("Imported %1 datagram(s), %2 byte(s), to %3.")
                             .arg(datagrams).arg(bytes).arg(options.output);
    return 0;
}

} // namespace nmb::reelkit
