#include "synth_command_line.h"

#include <QTest>

using namespace nmb::synth;

namespace {

QStringList command(const QString& line)
{
    return QStringList{QStringLiteral("nimbra_mocap_synth")} + line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

} // namespace

class TestSynthCommandLine : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void accepted_data();
    void accepted();
    void rejected_data();
    void rejected();
    void faults_are_collected();
    void help_and_version();
};

void TestSynthCommandLine::accepted_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<qint64>("frames");
    QTest::addColumn<double>("rate");
    QTest::addColumn<QString>("destination");
    QTest::newRow("file with the defaults") << "--output take.bin" << qint64(1200) << 120.0 << "";
    QTest::newRow("file, 10 s at 120 Hz") << "--output take.bin --rate 120 --duration 10"
                                         << qint64(1200) << 120.0 << "";
    QTest::newRow("file by frame count alone") << "-o t.bin --frames 7" << qint64(7) << 120.0 << "";
    QTest::newRow("frame count below the duration")
        << "-o t.bin --frames 7 --duration 1" << qint64(7) << 120.0 << "";
    QTest::newRow("duration below the frame count")
        << "-o t.bin --frames 700 --duration 1 --rate 60" << qint64(60) << 60.0 << "";
    QTest::newRow("fractional rate and duration")
        << "-o t.bin --rate 59.94 --duration 2.5" << qint64(150) << 59.94 << "";
    QTest::newRow("UDP with the default address")
        << "--port 15000 --duration 5" << qint64(600) << 120.0 << "127.0.0.1:15000";
    QTest::newRow("UDP to IPv6 loopback")
        << "--ip ::1 --port 65535 --frames 3" << qint64(3) << 120.0 << "::1:65535";
    QTest::newRow("UDP until stopped") << "--port 1 --duration 0" << qint64(-1) << 120.0
                                       << "127.0.0.1:1";
    QTest::newRow("UDP with a frame count and no end in time")
        << "--port 9 --duration 0 --frames 4" << qint64(4) << 120.0 << "127.0.0.1:9";
}

void TestSynthCommandLine::accepted()
{
    QFETCH(QString, line);
    QFETCH(qint64, frames);
    QFETCH(double, rate);
    QFETCH(QString, destination);
    SynthCommandLine command_line;
    QCOMPARE(command_line.parse(command(line)), ParseStatus::Ok);
    const SynthOptions& options = command_line.options();
    QCOMPARE(options.frame_count, frames);
    QCOMPARE(options.rate_hz, rate);
    QCOMPARE(options.sends(), !destination.isEmpty());
    if (options.sends())
        QCOMPARE(QStringLiteral("%1:%2").arg(options.address.toString()).arg(options.port), destination);
    else
        QVERIFY(!options.output.isEmpty());
}

void TestSynthCommandLine::rejected_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("message");
    QTest::newRow("neither file nor port") << "--rate 120" << "Give exactly one of --output";
    QTest::newRow("both file and port") << "-o t.bin --port 5" << "Give exactly one of --output";
    QTest::newRow("port zero") << "--port 0" << "Invalid UDP port: 0 (1-65535)";
    QTest::newRow("port above the range") << "--port 65536" << "Invalid UDP port: 65536";
    QTest::newRow("port not a number") << "--port abc" << "Invalid UDP port: abc";
    QTest::newRow("address not an address") << "--port 5 --ip 300.1.1.1" << "Invalid IP address: 300.1.1.1";
    QTest::newRow("address with a file") << "-o t.bin --ip ::1" << "--ip applies to sending";
    QTest::newRow("rate zero") << "-o t.bin --rate 0" << "Invalid rate: 0";
    QTest::newRow("rate negative") << "-o t.bin --rate -5" << "Invalid rate: -5";
    QTest::newRow("rate not a number") << "-o t.bin --rate fast" << "Invalid rate: fast";
    QTest::newRow("rate above a microsecond per frame") << "-o t.bin --rate 2000000" << "Invalid rate";
    QTest::newRow("duration negative") << "-o t.bin --duration -1" << "Invalid duration: -1";
    QTest::newRow("duration infinite") << "-o t.bin --duration inf" << "Invalid duration: inf";
    QTest::newRow("file without end") << "-o t.bin --duration 0" << "--duration 0 writes without end";
    QTest::newRow("frame count zero") << "-o t.bin --frames 0" << "Invalid frame count: 0";
    QTest::newRow("fault index negative") << "-o t.bin --bad-crc-at -1" << "Invalid frame index for --bad-crc-at: -1";
    QTest::newRow("fault index past the end")
        << "-o t.bin --frames 10 --garbage-at 10" << "--garbage-at 10 is past the last frame (10 frame(s))";
    QTest::newRow("truncating a sent stream") << "--port 5 --truncate-tail 3" << "--truncate-tail applies to --output only";
    QTest::newRow("truncating a whole frame away")
        << "-o t.bin --frames 2 --truncate-tail 1860" << "Invalid byte count for --truncate-tail: 1860 (1 to 1859";
    QTest::newRow("truncating a body frame by its size")
        << "-o t.bin --frames 2 --other-id-at 1 --truncate-tail 686" << "(1 to 685 for the last frame)";
    QTest::newRow("seed not a number") << "-o t.bin --seed x" << "Invalid seed: x";
    QTest::newRow("unknown option") << "-o t.bin --loud" << "Unknown option 'loud'";
    QTest::newRow("positional argument") << "-o t.bin extra" << "Unexpected positional arguments: extra";
}

void TestSynthCommandLine::rejected()
{
    QFETCH(QString, line);
    QFETCH(QString, message);
    SynthCommandLine command_line;
    QCOMPARE(command_line.parse(command(line)), ParseStatus::Error);
    QVERIFY2(command_line.error_text().startsWith(message) || command_line.error_text().contains(message),
             qPrintable(command_line.error_text()));
    QVERIFY(!command_line.error_text().contains(QLatin1Char('\n')));
}

void TestSynthCommandLine::faults_are_collected()
{
    SynthCommandLine command_line;
    QCOMPARE(command_line.parse(command(QStringLiteral(
                 "-o t.bin --frames 20 --other-id-at 3 --other-id-at 9 --bad-crc-at 4 "
                 "--garbage-at 0 --garbage-at 19 --seed 99 --truncate-tail 100"))),
             ParseStatus::Ok);
    const SynthOptions& options = command_line.options();
    QCOMPARE(options.faults.other_id_at, (std::set<std::int64_t>{3, 9}));
    QCOMPARE(options.faults.bad_crc_at, (std::set<std::int64_t>{4}));
    QCOMPARE(options.faults.garbage_at, (std::set<std::int64_t>{0, 19}));
    QCOMPARE(options.faults.seed, quint64(99));
    QCOMPARE(options.truncate_tail, 100);
}

void TestSynthCommandLine::help_and_version()
{
    SynthCommandLine command_line;
    QCOMPARE(command_line.parse(command(QStringLiteral("--help"))), ParseStatus::Help);
    for (const char* option : {"--other-id-at", "--bad-crc-at", "--garbage-at", "--truncate-tail", "--seed"})
        QVERIFY2(command_line.help_text().contains(QLatin1String(option)), option);
    QCOMPARE(command_line.parse(command(QStringLiteral("--version"))), ParseStatus::Version);
}

QTEST_GUILESS_MAIN(TestSynthCommandLine)
#include "tst_synth_command_line.moc"
