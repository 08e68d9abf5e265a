// The dissector in tools/wireshark run by the real tshark (one run for the
// whole file: tshark starts slowly) on a capture made by nimbra_reelkit
// export, merged by mergecap with hand-made datagrams (a bad checksum,
// several frames in one datagram, other ports).

#include "capture_files.h"
#include "udp_packet.h"

#include <nmb/protocol/frame.h>
#include <nmb/test/programs.h>
#include <nmb/test/recordings.h>

#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <pcap/pcap.h>

#include <cstring>

using namespace nmb::test;
using nmb::reelkit::loopback_udp_packet;

namespace {

QByteArray bad_checksum(QByteArray frame)
{
    frame[frame.size() - 1] = char(frame[frame.size() - 1] ^ 0x5A);
    return frame;
}

float float_at(const QByteArray& frame, qsizetype offset)
{
    float value = 0;
    const quint32 bits = nmb::protocol::read_u32(frame.constData() + offset);
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

} // namespace

class TestReelkitDissector : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void decodes_each_datagram_data();
    void decodes_each_datagram();
    void joints_carry_the_values_written();

private:
    QByteArray mocap_ = mocap_frame_bytes(2'000'000, 1.5f);
    QList<QStringList> packets_; // per packet: the fields asked of tshark
};

void TestReelkitDissector::initTestCase()
{
    const QString tshark = QStandardPaths::findExecutable("tshark");
    const QString mergecap = QStandardPaths::findExecutable("mergecap");
    if (tshark.isEmpty() || mergecap.isEmpty())
        QSKIP("tshark and mergecap are missing (scripts/setup.sh installs them)");
    QTemporaryDir dir;
    write_recording(dir, "take.bin", mocap_ + patterned_frame(1, 676) + patterned_frame(3, 620)
                                         + patterned_frame(4, 620));
    QCOMPARE(run_program("nimbra_reelkit", {"export", "take.bin", "take.pcap"}, 10000, dir.path()).exit_code, 0);
    const QByteArray second = mocap_frame_bytes(2'008'333, 2.5f);
    QVERIFY(write_capture(dir.filePath("extra.pcap"), DLT_EN10MB,
                          {loopback_udp_packet(bad_checksum(second), 15000, 1),
                           loopback_udp_packet(second + patterned_frame(1, 676), 9000, 2),
                           loopback_udp_packet(second, 16000, 3), loopback_udp_packet(second, 40000, 4),
                           loopback_udp_packet(second.left(100), 15000, 5)}));
    QCOMPARE(run_program(mergecap, {"-a", "-w", "all.pcap", "take.pcap", "extra.pcap"}, 20000, dir.path()).exit_code, 0);

    const ProgramRun run = run_program(
        tshark, {"-r", "all.pcap", "-X", "lua_script:" NMB_WIRESHARK_SCRIPT, "-T", "fields", "-E", "separator=/t",
                 "-E", "occurrence=a", "-E", "aggregator=|", "-e", "udp.dstport", "-e", "nimbra.id", "-e",
                 "nimbra.crc.status", "-e", "nimbra.timestamp", "-e", "nimbra.joint.name", "-e",
                 "nimbra.joint.position.x", "-e", "nimbra.joint.orientation.z", "-e", "_ws.expert.message",
                 "-o", "udp.check_checksum:TRUE", "-e", "udp.checksum.status"},
        60000, dir.path());
    QVERIFY2(run.exit_code == 0, run.standard_error.constData());
    for (const QByteArray& line : run.standard_output.split('\n')) {
        if (!line.isEmpty())
            packets_.append(QString::fromUtf8(line).split('\t'));
    }
    QCOMPARE(packets_.size(), 9);
}

void TestReelkitDissector::decodes_each_datagram_data()
{
    QTest::addColumn<int>("packet");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("ids");
    QTest::addColumn<QString>("crc");
    QTest::addColumn<QString>("timestamp");
    QTest::addColumn<int>("joints");
    QTest::addColumn<QStringList>("names"); // "<index>=<name>"
    QTest::addColumn<QString>("expert");

    QTest::newRow("Mocap frame") << 0 << "15000" << "0" << "correct" << "2000000" << 64
        << QStringList{"0=Head", "11=LeftHip", "63=RightPinkyEnd"} << "";
    QTest::newRow("body frame") << 1 << "15000" << "1" << "correct" << "" << 24
        << QStringList{"0=Waist", "3=Spine2", "6=Spine1", "23=RightHand"} << "";
    QTest::newRow("hand frame, ID 3") << 2 << "15000" << "3" << "correct" << "" << 22
        << QStringList{"0=ThumbNear", "15=Arm", "16=Wrist", "21=PinkyEnd"} << "";
    QTest::newRow("hand frame, ID 4") << 3 << "15000" << "4" << "correct" << "" << 22
        << QStringList{"0=ThumbNear", "15=Arm", "16=Wrist", "21=PinkyEnd"} << "";
    QTest::newRow("bad checksum") << 4 << "15000" << "0" << "incorrect" << "2008333" << 64
        << QStringList{"0=Head", "11=LeftHip", "63=RightPinkyEnd"} << "Frame CRC mismatch";
    QTest::newRow("two frames in one datagram, port 9000") << 5 << "9000" << "0|1" << "correct|correct"
        << "2008333" << 88 << QStringList{"0=Head", "63=RightPinkyEnd", "64=Waist", "87=RightHand"} << "";
    QTest::newRow("port 16000") << 6 << "16000" << "0" << "correct" << "2008333" << 64
        << QStringList{"0=Head", "11=LeftHip", "63=RightPinkyEnd"} << "";
    QTest::newRow("another port, by the sync bytes") << 7 << "40000" << "0" << "correct" << "2008333" << 64
        << QStringList{"0=Head", "11=LeftHip", "63=RightPinkyEnd"} << "";
    QTest::newRow("frame cut short") << 8 << "15000" << "0" << "" << "" << 0 << QStringList()
        << "Frame cut short: 100 of 1860 bytes";
}

void TestReelkitDissector::decodes_each_datagram()
{
    QFETCH(int, packet);
    QFETCH(QString, port);
    QFETCH(QString, ids);
    QFETCH(QString, crc);
    QFETCH(QString, timestamp);
    QFETCH(int, joints);
    QFETCH(QStringList, names);
    QFETCH(QString, expert);

    const QStringList fields = packets_.value(packet);
    QCOMPARE(fields.size(), 9);
    QCOMPARE(fields[8], "1"); // the UDP checksum is good
    QCOMPARE(fields[0], port);
    QCOMPARE(fields[1], ids);
    QCOMPARE(fields[2], crc);
    QCOMPARE(fields[3], timestamp);
    const QStringList joint_names = fields[4].isEmpty() ? QStringList() : fields[4].split('|');
    QCOMPARE(joint_names.size(), joints);
    for (const QString& name : names)
        QCOMPARE(joint_names.value(name.section('=', 0, 0).toInt()), name.section('=', 1));
    QCOMPARE(fields[7], expert);
}

void TestReelkitDissector::joints_carry_the_values_written()
{
    const QStringList fields = packets_.value(0);
    QCOMPARE(fields.size(), 9);
    const QStringList x = fields[5].split('|');
    const QStringList qz = fields[6].split('|');
    QCOMPARE(x.size(), 64);
    QCOMPARE(qz.size(), 64);
    for (int i = 0; i < 64; ++i) {
        const qsizetype pose = nmb::protocol::HEADER_SIZE + 8 + 28 * i;
        // tshark prints a float with six significant digits.
        QVERIFY(qAbs(x[i].toDouble() - float_at(mocap_, pose)) <= 1e-5 * qMax(1.0, qAbs(x[i].toDouble())));
        QVERIFY(qAbs(qz[i].toDouble() - float_at(mocap_, pose + 24)) <= 1e-5 * qMax(1.0, qAbs(qz[i].toDouble())));
    }
}

QTEST_GUILESS_MAIN(TestReelkitDissector)
#include "tst_reelkit_dissector.moc"
