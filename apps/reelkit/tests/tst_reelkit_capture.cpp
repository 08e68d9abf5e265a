// nimbra_reelkit export and import on real files, checked with libpcap and
// the capture tools themselves: editcap for pcapng, and tcpdump recording
// the same stream as nimbra_reeltake.

#include "capture_files.h"
#include "reeltake_process.h"
#include "udp_packet.h"

#include <nmb/test/programs.h>
#include <nmb/test/recordings.h>

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <pcap/pcap.h>

#include <csignal>
#include <unistd.h>

using namespace nmb::test;
using nmb::reelkit::loopback_udp_packet;

namespace {

QByteArray read_file(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QList<QByteArray> frames()
{
    return {mocap_frames({2'000'000})[0], patterned_frame(1, 676), mocap_frames({2'008'333})[0],
            patterned_frame(3, 620), mocap_frames({2'016'667})[0]};
}

QByteArray packet(int index, quint16 port = 15000)
{
    return loopback_udp_packet(frames()[index], port, quint16(index));
}

} // namespace

class TestReelkitCapture : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void export_capture_data();
    void export_capture();
    void import_capture_data();
    void import_capture();
    void round_trip_through_pcapng();
    void import_of_tcpdump_equals_the_recorder();
};

void TestReelkitCapture::export_capture_data()
{
    QTest::addColumn<QByteArray>("take");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("status");
    QTest::addColumn<QList<QByteArray>>("payloads");
    QTest::addColumn<QList<qint64>>("times_us");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("message");

    const QList<QByteArray> f = frames();
    const QList<qint64> times{2'000'000, 2'000'000, 2'008'333, 2'008'333, 2'016'667};
    QTest::newRow("frames on the recording's time line") << joined(f) << QStringList() << 0 << f << times
        << 15000 << "Exported 5 frame(s) to out.pcap as UDP datagrams to 127.0.0.1:15000.";
    QTest::newRow("frames before the first timestamp take it") << joined({f[1], f[3], f[0]}) << QStringList() << 0
        << QList<QByteArray>{f[1], f[3], f[0]} << QList<qint64>{2'000'000, 2'000'000, 2'000'000} << 15000
        << "Exported 3 frame(s)";
    QTest::newRow("another port") << joined({f[0]}) << QStringList{"--port", "9000"} << 0
        << QList<QByteArray>{f[0]} << QList<qint64>{2'000'000} << 9000 << "127.0.0.1:9000.";
    QTest::newRow("damage skipped") << f[0] + QByteArray(7, '\x01') + f[2] + f[4].chopped(3) << QStringList()
        << 0 << QList<QByteArray>{f[0], f[2]} << QList<qint64>{2'000'000, 2'008'333} << 15000
        << "Skipped 1864 damaged byte(s) in 2 stretch(es) of take.bin.";
    QTest::newRow("no whole frame") << QByteArray("AAAA") << QStringList() << 1 << QList<QByteArray>()
        << QList<qint64>() << 0 << "No whole frame in take.bin; nothing written.";
    QTest::newRow("output exists") << joined(f) << QStringList{"__existing__"} << 2 << QList<QByteArray>()
        << QList<qint64>() << 0 << "Output file exists: out.pcap";
    QTest::newRow("bad port") << joined(f) << QStringList{"--port", "70000"} << 2 << QList<QByteArray>()
        << QList<qint64>() << 0 << "Invalid UDP port: 70000";
}

void TestReelkitCapture::export_capture()
{
    QFETCH(QByteArray, take);
    QFETCH(QStringList, options);
    QFETCH(int, status);
    QFETCH(QList<QByteArray>, payloads);
    QFETCH(QList<qint64>, times_us);
    QFETCH(int, port);
    QFETCH(QString, message);

    QTemporaryDir dir;
    write_recording(dir, "take.bin", take);
    if (options.removeAll("__existing__") > 0)
        write_recording(dir, "out.pcap", "old");
    const ProgramRun run = run_program("nimbra_reelkit", QStringList{"export", "take.bin", "out.pcap"} + options,
                                       10000, dir.path());
    QVERIFY2(run.standard_error.contains(message.toUtf8()), run.standard_error.constData());
    QCOMPARE(run.exit_code, status);
    if (status != 0) {
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files).contains("out.pcap"), options.isEmpty() && status == 2);
        return;
    }
    int dlt = -1;
    const QList<CapturedPacket> packets = read_capture(dir.filePath("out.pcap"), &dlt);
    QCOMPARE(dlt, DLT_EN10MB);
    QCOMPARE(packets.size(), payloads.size());
    for (qsizetype i = 0; i < packets.size(); ++i) {
        QCOMPARE(packets[i].bytes, loopback_udp_packet(payloads[i], quint16(port), quint16(i)));
        QCOMPARE(packets[i].time_us, times_us[i]);
    }
}

void TestReelkitCapture::import_capture_data()
{
    QTest::addColumn<int>("dlt");
    QTest::addColumn<QList<QByteArray>>("packets"); // empty: `raw` is the whole file
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("out"); // null: no output left
    QTest::addColumn<QString>("message");

    const QList<QByteArray> f = frames();
    const QByteArray all = joined(f);
    QList<QByteArray> ethernet;
    for (int i = 0; i < f.size(); ++i)
        ethernet.append(packet(i));
    const auto each = [&](QByteArray (*wrap)(const QByteArray&)) {
        QList<QByteArray> wrapped;
        for (const QByteArray& p : ethernet)
            wrapped.append(wrap(p));
        return wrapped;
    };
    const QString done = "Imported 5 datagram(s), 6896 byte(s)";
    QTest::newRow("Ethernet") << DLT_EN10MB << ethernet << QByteArray() << QStringList() << 0 << all << done;
    QTest::newRow("Ethernet with a VLAN tag") << DLT_EN10MB << each(vlan_tagged) << QByteArray() << QStringList()
        << 0 << all << done;
    QTest::newRow("Linux cooked") << DLT_LINUX_SLL << each(linux_cooked) << QByteArray() << QStringList() << 0
        << all << done;
    QTest::newRow("Linux cooked v2") << DLT_LINUX_SLL2 << each(linux_cooked_v2) << QByteArray() << QStringList()
        << 0 << all << done;
    QTest::newRow("loopback address family") << DLT_NULL << each(null_link) << QByteArray() << QStringList() << 0
        << all << done;
    QTest::newRow("raw IPv4") << DLT_RAW << each(ipv4_of) << QByteArray() << QStringList() << 0 << all << done;
    QTest::newRow("raw IPv6") << DLT_RAW << QList<QByteArray>{ipv6_udp(f[0], 15000), ipv6_udp(f[1], 15000)}
        << QByteArray() << QStringList() << 0 << f[0] + f[1] << "Imported 2 datagram(s)";
    QTest::newRow("only one port") << DLT_EN10MB << QList<QByteArray>{packet(0, 9000), packet(1), packet(2, 9000)}
        << QByteArray() << QStringList{"--port", "9000"} << 0 << f[0] + f[2] << "Imported 2 datagram(s)";
    QByteArray fragment = packet(1);
    fragment[14 + 6] = char(0x20); // more fragments follow
    QByteArray tcp = packet(2);
    tcp[14 + 9] = char(6);
    QTest::newRow("fragment and TCP skipped") << DLT_EN10MB << QList<QByteArray>{packet(0), fragment, tcp}
        << QByteArray() << QStringList() << 0 << f[0]
        << "Skipped 1 IP fragment(s) that cannot be reassembled.";
    QTest::newRow("no UDP") << DLT_EN10MB << QList<QByteArray>{tcp} << QByteArray() << QStringList() << 1
        << QByteArray() << "Unable to import in.pcap: no UDP datagram";
    QTest::newRow("no UDP to the port") << DLT_EN10MB << ethernet << QByteArray() << QStringList{"--port", "1"} << 1
        << QByteArray() << "no UDP datagram to port 1";
    QTest::newRow("not a capture") << DLT_EN10MB << QList<QByteArray>() << all << QStringList() << 1
        << QByteArray() << "Unable to read in.pcap: unknown file format";
    QTest::newRow("empty file") << DLT_EN10MB << QList<QByteArray>() << QByteArray("") << QStringList() << 1
        << QByteArray() << "Unable to read in.pcap:";
    QTest::newRow("capture cut short") << DLT_EN10MB << ethernet << QByteArray("cut") << QStringList() << 1
        << QByteArray() << "truncated dump file";
}

void TestReelkitCapture::import_capture()
{
    QFETCH(int, dlt);
    QFETCH(QList<QByteArray>, packets);
    QFETCH(QByteArray, raw);
    QFETCH(QStringList, options);
    QFETCH(int, status);
    QFETCH(QByteArray, out);
    QFETCH(QString, message);

    QTemporaryDir dir;
    const QString in = dir.filePath("in.pcap");
    if (!packets.isEmpty()) {
        QVERIFY(write_capture(in, dlt, packets));
        if (raw == "cut")
            QVERIFY(QFile::resize(in, QFileInfo(in).size() - 100));
    } else {
        write_recording(dir, "in.pcap", raw);
    }
    const ProgramRun run = run_program("nimbra_reelkit", QStringList{"import", "in.pcap", "out.bin"} + options,
                                       10000, dir.path());
    QVERIFY2(run.standard_error.contains(message.toUtf8()), run.standard_error.constData());
    QCOMPARE(run.exit_code, status);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files).contains("out.bin"), !out.isNull());
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), out.isNull() ? 1 : 2); // no temporary left
    QCOMPARE(read_file(dir.filePath("out.bin")), out.isNull() ? QByteArray() : out);
}

void TestReelkitCapture::round_trip_through_pcapng()
{
    const QString editcap = QStandardPaths::findExecutable("editcap");
    if (editcap.isEmpty())
        QSKIP("editcap (installed with tshark by scripts/setup.sh) is missing");
    QTemporaryDir dir;
    const QByteArray take = joined(evenly_spaced_frames(20, 8333)) + joined(frames());
    write_recording(dir, "take.bin", take);
    QCOMPARE(run_program("nimbra_reelkit", {"export", "take.bin", "take.pcap"}, 10000, dir.path()).exit_code, 0);
    const ProgramRun convert = run_program(editcap, {"-F", "pcapng", "take.pcap", "take.pcapng"}, 20000, dir.path());
    QCOMPARE(convert.exit_code, 0);
    QVERIFY(read_file(dir.filePath("take.pcapng")).startsWith("\x0A\x0D\x0D\x0A")); // a section header block
    QCOMPARE(run_program("nimbra_reelkit", {"import", "take.pcapng", "back.bin"}, 10000, dir.path()).exit_code, 0);
    QCOMPARE(read_file(dir.filePath("back.bin")), take);
}

void TestReelkitCapture::import_of_tcpdump_equals_the_recorder()
{
    const QString tcpdump = QStandardPaths::findExecutable("tcpdump", {"/usr/sbin", "/usr/bin", "/sbin"});
    if (tcpdump.isEmpty())
        QSKIP("tcpdump is missing (scripts/setup.sh installs it)");
    if (::geteuid() != 0)
        QSKIP("tcpdump -i lo needs root; CI runs as root");
    QTemporaryDir dir;
    ReeltakeProcess recorder;
    QVERIFY(recorder.start(dir.path(), {}));
    QProcess capture;
    capture.setWorkingDirectory(dir.path());
    capture.start(tcpdump, {"-i", "lo", "-U", "-n", "-w", "stage.pcap", "udp", "and", "dst", "port",
                            QString::number(recorder.port)});
    QByteArray capture_log;
    QVERIFY2(wait_for_stderr(capture, "listening on lo", capture_log), capture_log.constData());

    const ProgramRun source = run_program("nimbra_mocap_synth", {"--port", QString::number(recorder.port), "--rate",
                                                                 "1000", "--frames", "300"}, 20000);
    QCOMPARE(source.exit_code, 0);
    // Both have the datagrams once the recorder's file holds all of them.
    QTRY_COMPARE_WITH_TIMEOUT(QFileInfo(recorder.file_name).size(), qint64(300 * 1860), 10000);
    QVERIFY(recorder.send_signal(SIGINT));
    QVERIFY(recorder.wait_for_end());
    QCOMPARE(::kill(pid_t(capture.processId()), SIGINT), 0);
    QVERIFY(capture.waitForFinished(10000));
    capture_log += capture.readAllStandardError();
    QVERIFY2(capture_log.contains("300 packets captured"), capture_log.constData());

    const ProgramRun import = run_program("nimbra_reelkit", {"import", "stage.pcap", "stage.bin"}, 10000, dir.path());
    QCOMPARE(import.exit_code, 0);
    const QByteArray recorded = read_file(recorder.file_name);
    QCOMPARE(recorded.size(), 300 * 1860);
    QVERIFY(read_file(dir.filePath("stage.bin")) == recorded);
}

QTEST_GUILESS_MAIN(TestReelkitCapture)
#include "tst_reelkit_capture.moc"
