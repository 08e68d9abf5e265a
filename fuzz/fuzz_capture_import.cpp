// nimbra_reelkit import's reading of arbitrary capture files.
//
// Input: the file, read by libpcap from memory (pcap and pcapng alike).
// Every UDP payload passed on must lie inside the packet it came from, be
// non-empty, and add up to the counts reported. Each packet is also parsed
// as every link type we read, whatever the file says, so the packet parser
// sees arbitrary bytes behind every kind of link header.

#include "capture_reader.h"
#include "fuzz_check.h"
#include "udp_packet.h"

#include <cstdint>
#include <cstdio>

namespace {

using nmb::reelkit::LinkType;
using nmb::reelkit::UdpFinding;

void parse_as_every_link(QByteArrayView packet)
{
    for (const LinkType link : {LinkType::Ethernet, LinkType::LinuxSll, LinkType::LinuxSll2, LinkType::Null,
                                LinkType::RawIp, LinkType::Unsupported}) {
        const UdpFinding found = nmb::reelkit::find_udp(link, packet);
        if (found.kind != UdpFinding::Kind::Udp) {
            NMB_FUZZ_CHECK(found.payload.isEmpty());
            continue;
        }
        NMB_FUZZ_CHECK(found.payload.data() >= packet.data());
        NMB_FUZZ_CHECK(found.payload.data() + found.payload.size() <= packet.data() + packet.size());
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    std::FILE* stream = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
    NMB_FUZZ_CHECK(stream != nullptr);
    char message[PCAP_ERRBUF_SIZE];
    pcap_t* capture = pcap_fopen_offline(stream, message); // takes the stream
    if (!capture) {
        std::fclose(stream);
        return 0;
    }
    std::uint64_t datagrams = 0, bytes = 0;
    const nmb::reelkit::CaptureCounts counts = nmb::reelkit::read_udp_payloads(
        capture, std::nullopt, [&](QByteArrayView payload) {
            NMB_FUZZ_CHECK(!payload.isEmpty());
            NMB_FUZZ_CHECK(std::size_t(payload.size()) < size);
            ++datagrams;
            bytes += std::uint64_t(payload.size());
            return true;
        });
    NMB_FUZZ_CHECK(counts.datagrams == datagrams && counts.bytes == bytes);
    NMB_FUZZ_CHECK(counts.ok || !counts.error.isEmpty());
    pcap_close(capture);

    // The same packets through the parser as every link type.
    stream = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
    NMB_FUZZ_CHECK(stream != nullptr);
    capture = pcap_fopen_offline(stream, message);
    NMB_FUZZ_CHECK(capture != nullptr);
    pcap_pkthdr* header = nullptr;
    const u_char* packet = nullptr;
    for (int packets = 0; packets < 10000 && pcap_next_ex(capture, &header, &packet) == 1; ++packets)
        parse_as_every_link(QByteArrayView(reinterpret_cast<const char*>(packet), qsizetype(header->caplen)));
    pcap_close(capture);
    return 0;
}
