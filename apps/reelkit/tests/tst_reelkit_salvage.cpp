// nimbra_reelkit salvage on real files; a salvaged take replays in a loop
// with the real nimbra_reelcast.

#include <nmb/test/programs.h>
#include <nmb/test/recordings.h>
#include <nmb/test/udp_capture.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace nmb::test;

namespace {

QByteArray read_file(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QList<QByteArray> damaged_frames()
{
    return evenly_spaced_frames(5, 10000);
}

// Frames 0, 2 and 3 whole; 1 with a wrong checksum, garbage before 3, 4 cut.
QByteArray damaged_take()
{
    const QList<QByteArray> f = damaged_frames();
    QByteArray bad = f[1];
    bad[500] = char(bad[500] ^ 0x40);
    return f[0] + bad + f[2] + QByteArray(40, '\x11') + f[3] + f[4].chopped(100);
}

} // namespace

class TestReelkitSalvage : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void salvage_data();
    void salvage();
    void salvaged_take_replays_in_a_loop();
};

void TestReelkitSalvage::salvage_data()
{
    QTest::addColumn<QByteArray>("take");       // take.bin; null: not written
    QTest::addColumn<QByteArray>("existing");   // out.bin before the run; null: none
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("out");        // out.bin after the run; null: none
    QTest::addColumn<QString>("message");

    const QList<QByteArray> f = damaged_frames();
    const QByteArray clean = joined(f);
    const QStringList salvage{"salvage", "take.bin", "out.bin"};
    QTest::newRow("damaged take") << damaged_take() << QByteArray() << salvage << 0 << f[0] + f[2] + f[3]
        << "Kept 3 frame(s), dropped 3660 byte(s) in 3 damaged stretch(es).";
    QTest::newRow("clean take") << clean << QByteArray() << salvage << 0 << clean
        << "Kept 5 frame(s), dropped 0 byte(s) in 0 damaged stretch(es).";
    QTest::newRow("output exists") << clean << QByteArray("old") << salvage << 2 << QByteArray("old")
        << "Output file exists: out.bin";
    QTest::newRow("output exists, forced") << damaged_take() << QByteArray("old") << salvage + QStringList{"--force"}
        << 0 << f[0] + f[2] + f[3] << "Kept 3 frame(s)";
    QTest::newRow("output is the input") << clean << QByteArray() << QStringList{"salvage", "take.bin", "./take.bin", "--force"}
        << 2 << QByteArray() << "Input and output are the same file: ./take.bin";
    QTest::newRow("missing input") << QByteArray() << QByteArray() << salvage << 1 << QByteArray()
        << "Unable to read take.bin: No such file or directory";
    QTest::newRow("input is a directory") << QByteArray() << QByteArray() << QStringList{"salvage", ".", "out.bin"}
        << 1 << QByteArray() << "Unable to read .: Is a directory";
    QTest::newRow("no whole frame") << QByteArray(5000, '\xAA') << QByteArray() << salvage << 1 << QByteArray()
        << "No whole frame in take.bin; nothing written.";
    QTest::newRow("output directory missing") << clean << QByteArray() << QStringList{"salvage", "take.bin", "no/out.bin"}
        << 1 << QByteArray() << "Unable to write no/out.bin";
    QTest::newRow("one argument") << clean << QByteArray() << QStringList{"salvage", "take.bin"} << 2 << QByteArray()
        << "Expected IN and OUT.";
}

void TestReelkitSalvage::salvage()
{
    QFETCH(QByteArray, take);
    QFETCH(QByteArray, existing);
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QByteArray, out);
    QFETCH(QString, message);

    QTemporaryDir dir;
    if (!take.isNull())
        write_recording(dir, "take.bin", take);
    if (!existing.isNull())
        write_recording(dir, "out.bin", existing);
    const ProgramRun run = run_program("nimbra_reelkit", arguments, 10000, dir.path());
    QVERIFY(run.finished);
    QVERIFY2(run.standard_error.contains(message.toUtf8()), run.standard_error.constData());
    QCOMPARE(run.exit_code, status);
    if (!take.isNull())
        QCOMPARE(read_file(dir.filePath("take.bin")), take); // never written
    QCOMPARE(QFile::exists(dir.filePath("out.bin")), !out.isNull());
    QCOMPARE(read_file(dir.filePath("out.bin")), out.isNull() ? QByteArray() : out);
    // Nothing else is left behind: no temporary file beside the output.
    QStringList expected{"take.bin", "out.bin"};
    const QStringList left = QDir(dir.path()).entryList(QDir::Files);
    for (const QString& name : left)
        QVERIFY2(expected.contains(name), qPrintable(name));
}

void TestReelkitSalvage::salvaged_take_replays_in_a_loop()
{
    QTemporaryDir dir;
    write_recording(dir, "take.bin", damaged_take());
    QCOMPARE(run_program("nimbra_reelkit", {"salvage", "take.bin", "out.bin"}, 10000, dir.path()).exit_code, 0);

    UdpCapture receiver;
    QVERIFY(receiver.bind());
    QProcess replay;
    replay.start(program_path("nimbra_reelcast"), {dir.filePath("out.bin"), "--loop", "--rate", "10", "--ip",
                                                   "127.0.0.1", "--port", QString::number(receiver.port())});
    QVERIFY(replay.waitForStarted(5000));
    QTRY_VERIFY_WITH_TIMEOUT(receiver.count() >= 7, 10000);
    replay.kill();
    replay.waitForFinished(5000);
    const QList<QByteArray> f = damaged_frames();
    QCOMPARE(receiver.payloads().mid(0, 7), (QList<QByteArray>{f[0], f[2], f[3], f[0], f[2], f[3], f[0]}));
}

QTEST_GUILESS_MAIN(TestReelkitSalvage)
#include "tst_reelkit_salvage.moc"
