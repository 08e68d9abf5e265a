#include "capture_reader.h"

namespace nmb::reelkit {

CaptureCounts read_udp_payloads(pcap_t* capture, std::optional<std::uint16_t> port, const PayloadSink& sink)
{
    CaptureCounts counts;
    const int dlt = pcap_datalink(capture);
    const LinkType link = link_type_of(dlt);
    if (link == LinkType::Unsupported) {
        const char* name = pcap_datalink_val_to_name(dlt);
        counts.error = QStringLiteral("unsupported link type %1")
                           .arg(name ? QString::fromLatin1(name) : QString::number(dlt));
        return counts;
    }
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    int result = 0;
    while ((result = pcap_next_ex(capture, &header, &data)) == 1) {
        const UdpFinding found = find_udp(link, QByteArrayView(reinterpret_cast<const char*>(data),
                                                               qsizetype(header->caplen)));
        if (found.kind == UdpFinding::Kind::Fragment)
            ++counts.fragments;
        else if (found.kind == UdpFinding::Kind::CutShort)
            ++counts.cut_short;
        // The recorder keeps no empty datagram, and neither do we.
        if (found.kind != UdpFinding::Kind::Udp || found.payload.isEmpty() || (port && found.port != *port))
            continue;
        ++counts.datagrams;
        counts.bytes += std::uint64_t(found.payload.size());
        if (!sink(found.payload)) {
            counts.error = QStringLiteral("stopped");
            return counts;
        }
    }
    if (result == PCAP_ERROR) {
        counts.error = QString::fromLocal8Bit(pcap_geterr(capture));
        return counts;
    }
    counts.ok = true;
    return counts;
}

} // namespace nmb::reelkit
