#include "pcap_file.h"

#include <nmb/test/udp_capture.h>

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

using nmb::bench::PcapReader;
using nmb::bench::PcapRecord;
using nmb::bench::PcapStatus;
using nmb::bench::PcapWriter;

namespace {

QByteArray payload_of(int index, int size)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = char((index * 31 + i) & 0xFF);
    return bytes;
}

// A capture file written by hand: the given byte order and timestamp unit,
// one record of `data` at 3 s plus 250 us.
QByteArray handmade_file(bool big_endian, bool nanoseconds, const QByteArray& data)
{
    QByteArray file(24 + 16, '\0');
    auto put = [&](int at, std::uint32_t value) {
        if (big_endian)
            qToBigEndian(value, file.data() + at);
        else
            qToLittleEndian(value, file.data() + at);
    };
    put(0, nanoseconds ? 0xA1B23C4D : 0xA1B2C3D4);
    put(16, 65535);
    put(20, 1);
    put(24, 3);
    put(28, nanoseconds ? 250'000 : 250);
    put(32, std::uint32_t(data.size()));
    put(36, std::uint32_t(data.size()));
    return file + data;
}

} // namespace

class TestPcapFile : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void packets_read_back_as_written_data();
    void packets_read_back_as_written();
    void byte_orders_and_units_data();
    void byte_orders_and_units();
    void cut_files_data();
    void cut_files();
    void udp_checksum_matches_a_known_value();
    void loopback_accepts_the_packets();
};

void TestPcapFile::packets_read_back_as_written_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("size");
    QTest::newRow("no packet") << 0 << 0;
    QTest::newRow("one empty packet") << 1 << 0;
    QTest::newRow("a hundred Mocap-sized packets") << 100 << 1922;
}

void TestPcapFile::packets_read_back_as_written()
{
    QFETCH(int, count);
    QFETCH(int, size);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("take.pcap"));
    PcapWriter writer;
    QVERIFY(writer.open(path));
    for (int i = 0; i < count; ++i)
        QVERIFY(writer.write_packet(1'000'000 + std::int64_t(i) * 8333, payload_of(i, size)));
    QVERIFY(writer.close());

    PcapReader reader;
    QCOMPARE(reader.open(path), PcapStatus::Ok);
    QCOMPARE(reader.link_type(), nmb::bench::LINKTYPE_ETHERNET);
    PcapRecord record;
    for (int i = 0; i < count; ++i) {
        QCOMPARE(reader.next(record), PcapStatus::Ok);
        QCOMPARE(record.time_ns, (1'000'000 + std::int64_t(i) * 8333) * 1000);
        QCOMPARE(record.original_length, std::uint32_t(size));
        QCOMPARE(record.data, payload_of(i, size));
    }
    QCOMPARE(reader.next(record), PcapStatus::EndOfFile);
    QVERIFY(!reader.truncated_tail());
}

void TestPcapFile::byte_orders_and_units_data()
{
    QTest::addColumn<bool>("big_endian");
    QTest::addColumn<bool>("nanoseconds");
    QTest::newRow("little endian, microseconds") << false << false;
    QTest::newRow("little endian, nanoseconds") << false << true;
    QTest::newRow("big endian, microseconds") << true << false;
    QTest::newRow("big endian, nanoseconds") << true << true;
}

void TestPcapFile::byte_orders_and_units()
{
    QFETCH(bool, big_endian);
    QFETCH(bool, nanoseconds);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("made.pcap"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(handmade_file(big_endian, nanoseconds, "xyz"));
    file.close();

    PcapReader reader;
    QCOMPARE(reader.open(path), PcapStatus::Ok);
    PcapRecord record;
    QCOMPARE(reader.next(record), PcapStatus::Ok);
    QCOMPARE(record.time_ns, std::int64_t(3'000'250'000));
    QCOMPARE(record.data, QByteArray("xyz"));
    QCOMPARE(reader.next(record), PcapStatus::EndOfFile);
}

void TestPcapFile::cut_files_data()
{
    QTest::addColumn<int>("cut");           // bytes removed from the end of a 3-record file
    QTest::addColumn<int>("status");        // of open()
    QTest::addColumn<int>("records");       // whole records read
    QTest::addColumn<bool>("truncated");
    const int record = 16 + 100;
    QTest::newRow("whole file") << 0 << int(PcapStatus::Ok) << 3 << false;
    QTest::newRow("last packet short by one byte") << 1 << int(PcapStatus::Ok) << 2 << true;
    QTest::newRow("last record header cut") << record - 8 << int(PcapStatus::Ok) << 2 << true;
    QTest::newRow("last record gone") << record << int(PcapStatus::Ok) << 2 << false;
    QTest::newRow("file header cut") << 3 * record + 1 << int(PcapStatus::Error) << 0 << false;
}

void TestPcapFile::cut_files()
{
    QFETCH(int, cut);
    QFETCH(int, status);
    QFETCH(int, records);
    QFETCH(bool, truncated);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("cut.pcap"));
    PcapWriter writer;
    QVERIFY(writer.open(path));
    for (int i = 0; i < 3; ++i)
        QVERIFY(writer.write_packet(i, payload_of(i, 100)));
    QVERIFY(writer.close());
    QFile file(path);
    QVERIFY(file.resize(file.size() - cut));

    PcapReader reader;
    QCOMPARE(int(reader.open(path)), status);
    if (status != int(PcapStatus::Ok)) {
        QVERIFY(!reader.error_string().isEmpty());
        return;
    }
    PcapRecord record;
    int read = 0;
    while (read < 10 && reader.next(record, false) == PcapStatus::Ok)
        ++read;
    QCOMPARE(read, records);
    QCOMPARE(reader.truncated_tail(), truncated);
}

void TestPcapFile::udp_checksum_matches_a_known_value()
{
    const QByteArray packet = nmb::bench::udp6_loopback_packet("abc", 1000, 2000);
    QCOMPARE(packet.size(), 14 + 40 + 8 + 3);
    QCOMPARE(qFromBigEndian<quint16>(packet.constData() + 12), quint16(0x86DD));
    QCOMPARE(qFromBigEndian<quint16>(packet.constData() + 14 + 4), quint16(11)); // IPv6 payload length
    QCOMPARE(qFromBigEndian<quint16>(packet.constData() + 54 + 4), quint16(11)); // UDP length
    QCOMPARE(qFromBigEndian<quint16>(packet.constData() + 54 + 6), quint16(0x2FBC));
    QCOMPARE(packet.mid(62), QByteArray("abc"));
}

// The kernel drops an IPv6 UDP datagram with a wrong checksum, so packets
// injected on the loopback interface reach a socket on ::1 only when they
// are right. Needs the right to open packet sockets (root).
void TestPcapFile::loopback_accepts_the_packets()
{
    const int raw = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (raw < 0)
        QSKIP("no packet socket (needs CAP_NET_RAW)");
    nmb::test::UdpCapture receiver;
    if (!receiver.bind(QHostAddress(QHostAddress::LocalHostIPv6))) {
        ::close(raw);
        QSKIP("no IPv6 loopback");
    }
    sockaddr_ll link{};
    link.sll_family = AF_PACKET;
    link.sll_ifindex = int(if_nametoindex("lo"));
    link.sll_halen = ETH_ALEN;
    const std::vector<int> sizes = {1, 2, 1860, 1861};
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        const QByteArray packet = nmb::bench::udp6_loopback_packet(payload_of(int(i), sizes[i]), 40000, receiver.port());
        QCOMPARE(::sendto(raw, packet.constData(), std::size_t(packet.size()), 0,
                          reinterpret_cast<const sockaddr*>(&link), sizeof link),
                 ssize_t(packet.size()));
    }
    ::close(raw);
    QTRY_COMPARE_WITH_TIMEOUT(receiver.count(), qsizetype(sizes.size()), 5000);
    for (std::size_t i = 0; i < sizes.size(); ++i)
        QCOMPARE(receiver.datagrams().at(qsizetype(i)).bytes, payload_of(int(i), sizes[i]));
}

QTEST_GUILESS_MAIN(TestPcapFile)
#include "tst_pcap_file.moc"
