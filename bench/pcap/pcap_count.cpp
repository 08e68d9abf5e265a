// Counts the packets of a capture file: what a packet recorder kept.
// Usage: bench_pcap_count FILE  ->  "records N bytes B truncated_tail 0|1"
#include "pcap_file.h"

#include <cstdio>

int main(int argc, char* argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_pcap_count FILE\n");
        return 2;
    }
    nmb::bench::PcapReader reader;
    if (reader.open(QString::fromLocal8Bit(argv[1])) != nmb::bench::PcapStatus::Ok) {
        std::fprintf(stderr, "%s: %s\n", argv[1], qPrintable(reader.error_string()));
        return 1;
    }
    long long records = 0;
    long long bytes = 0;
    nmb::bench::PcapRecord record;
    nmb::bench::PcapStatus status;
    while ((status = reader.next(record, false)) == nmb::bench::PcapStatus::Ok) {
        ++records;
        bytes += record.original_length;
    }
    if (status == nmb::bench::PcapStatus::Error) {
        std::fprintf(stderr, "%s: %s\n", argv[1], qPrintable(reader.error_string()));
        return 1;
    }
    std::printf("records %lld bytes %lld truncated_tail %d\n", records, bytes, reader.truncated_tail() ? 1 : 0);
    return 0;
}
