#pragma once

#include <QString>

#include <pcap/pcap.h>

namespace nmb::reelkit {

// Logs "Unable to <what> <path>: <why>" as an error and returns 1, the
// status of a run-time failure.
int fail(const QString& what, const QString& path, const QString& why);

// Closes libpcap handles held in a std::unique_ptr.
struct PcapCloser {
    void operator()(pcap_t* p) const { pcap_close(p); }
    void operator()(pcap_dumper_t* d) const { pcap_dump_close(d); }
};

} // namespace nmb::reelkit
