#include "command_failure.h"
#include "commands.h"
#include "file_scan.h"
#include "udp_packet.h"

#include <QDebug>
#include <QSaveFile>

#include <pcap/pcap.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include <unistd.h>

namespace nmb::reelkit {

namespace {

// Frames before the first timestamp take that one, so a capture does not
// open with a pause of the whole time line.
std::uint64_t first_timestamp(const QString& path)
{
    std::uint64_t first = 0;
    RecordingScanner scanner;
    (void)scan_file(path, scanner, [&first](qint64, std::uint64_t, QByteArrayView frame) {
        const nmb::reelcast::FrameMetadata meta = nmb::reelcast::read_metadata(QByteArray::fromRawData(frame.data(), frame.size()));
        if (meta.timestamp_scale_us == 0)
            return true;
        first = meta.timestamp;
        return false;
    });
    return first;
}

} // namespace

int run_export(const ReelkitOptions& options)
{
    const QString& in = options.inputs.first();
    QSaveFile out(options.output);
    if (!out.open(QIODevice::WriteOnly))
        return fail(QStringLiteral("write"), options.output, out.errorString());
    // libpcap writes through its own stream on a duplicate of the save
    // file's descriptor; the save file then only renames.
    std::FILE* stream = nullptr;
    const int descriptor = ::dup(out.handle());
    if (descriptor < 0 || !(stream = ::fdopen(descriptor, "wb"))) {
        if (descriptor >= 0)
            ::close(descriptor);
        return fail(QStringLiteral("write"), options.output, QString::fromLocal8Bit(std::strerror(errno)));
    }
    std::unique_ptr<pcap_t, PcapCloser> dead(pcap_open_dead(DLT_EN10MB, 262144));
    std::unique_ptr<pcap_dumper_t, PcapCloser> dumper(pcap_dump_fopen(dead.get(), stream));
    if (!dumper) {
        std::fclose(stream);
        return fail(QStringLiteral("write"), options.output, QString::fromLocal8Bit(pcap_geterr(dead.get())));
    }

    std::uint64_t timestamp = first_timestamp(in);
    std::uint64_t too_large = 0;
    std::uint16_t ip_id = 0;
    RecordingScanner scanner;
    const FileScan scan = scan_file(in, scanner, [&](qint64, std::uint64_t, QByteArrayView frame) {
        const nmb::reelcast::FrameMetadata meta = nmb::reelcast::read_metadata(QByteArray::fromRawData(frame.data(), frame.size()));
        if (meta.timestamp_scale_us != 0)
            timestamp = meta.timestamp * meta.timestamp_scale_us;
        const QByteArray packet = loopback_udp_packet(frame, options.port, ip_id++);
        if (packet.isEmpty()) {
            ++too_large;
            return true;
        }
        pcap_pkthdr header{};
        header.ts.tv_sec = time_t(timestamp / 1'000'000);
        header.ts.tv_usec = suseconds_t(timestamp % 1'000'000);
        header.caplen = header.len = bpf_u_int32(packet.size());
        pcap_dump(reinterpret_cast<u_char*>(dumper.get()),
                  &header, reinterpret_cast<const u_char*>(packet.constData()));
        return true;
    });
    if (!scan.ok)
        return fail(QStringLiteral("read"), in, scan.error);
    if (scanner.frames() == 0) {
        qCritical().noquote() << QStringLiteral("No whole frame in %1; nothing written.").arg(in);
        return 1; // the save file is dropped unwritten
    }
    const bool flushed = pcap_dump_flush(dumper.get()) == 0 && !std::ferror(stream);
    dumper.reset(); // closes the stream
    if (!flushed || !out.commit())
        return fail(QStringLiteral("write"), options.output,
                    flushed ? out.errorString() : QString::fromLocal8Bit(std::strerror(errno)));

    const std::uint64_t exported = scanner.frames() - too_large;
    qInfo().noquote() << QStringLiteral("Exported %1 frame(s) to %2 as UDP datagrams to 127.0.0.1:%3.")
                             .arg(exported).arg(options.output).arg(options.port);
    if (scanner.damaged_stretches() > 0)
        qWarning().noquote() << QStringLiteral("Skipped %1 damaged byte(s) in %2 stretch(es) of %3.")
                                    .arg(scanner.dropped_bytes()).arg(scanner.damaged_stretches()).arg(in);
    if (too_large > 0)
        qWarning().noquote() << QStringLiteral("Skipped %1 frame(s) too large for one UDP datagram.").arg(too_large);
    return 0;
}

} // namespace nmb::reelkit
