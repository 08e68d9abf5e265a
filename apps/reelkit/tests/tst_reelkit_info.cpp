// nimbra_reelkit info run as a program on real files, and the command line
// shared by every subcommand.

#include <nmb/test/frames.h>
#include <nmb/test/programs.h>
#include <nmb/test/recordings.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

using namespace nmb::test;

namespace {

QByteArray flipped(QByteArray frame, int at)
{
    frame[at] = char(frame[at] ^ 0x01);
    return frame;
}

} // namespace

class TestReelkitInfo : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void reports_each_file_data();
    void reports_each_file();
    void json_holds_the_same_facts();
};

void TestReelkitInfo::reports_each_file_data()
{
    // take.bin holds `take` (not written when null), other.bin `other`.
    QTest::addColumn<QByteArray>("take");
    QTest::addColumn<QByteArray>("other");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("output");  // each in standard output
    QTest::addColumn<QString>("error");       // in standard error

    const QList<QByteArray> five = evenly_spaced_frames(5, 8333);
    const QStringList info{"info", "take.bin"};
    QTest::newRow("clean take") << joined(five) << QByteArray() << info << 0
        << QStringList{"File:        take.bin\nSize:        9300 bytes\nFrames:      5 (ID 0: 5)\n"
                       "Duration:    0.033 s\nTimestamps:  1000000 us to 1033332 us\n"
                       "Rate:        120.0 Hz (median interval 8.333 ms)\nGaps:        0 over 24.999 ms\n"
                       "Backwards:   0\nDamage:      none\n"} << QString();
    QList<QByteArray> rounded; // a 120 Hz clock rounded to the microsecond: 8333, 8334, 8333 us, ...
    for (int i = 0; i < 7; ++i)
        rounded << mocap_frame_bytes(1000000 + (i * 1000000 + 60) / 120);
    QTest::newRow("120 Hz clock rounded to the microsecond") << joined(rounded) << QByteArray() << info << 0
        << QStringList{"Rate:        120.0 Hz (median interval 8.333 ms)\nGaps:        0 over 25.000 ms\n"}
        << QString();
    QTest::newRow("checksum mismatch") << joined({five[0], flipped(five[1], 100), five[2], five[3]})
        << QByteArray() << info << 1
        << QStringList{"Frames:      3 (ID 0: 3)",
                       "Damage:      \"Frame CRC mismatch.\" at byte 1860 (frame 1), 2 whole frame(s) after it\n"}
        << QString();
    QTest::newRow("cut in the payload") << joined(five.mid(0, 3)).chopped(100) << QByteArray() << info << 1
        << QStringList{"Frames:      2 (ID 0: 2)",
                       "Damage:      \"Truncated frame payload.\" at byte 3720 (frame 2), 1760 trailing bytes\n"}
        << QString();
    QTest::newRow("cut in the header") << joined(five.mid(0, 2)) + five[2].left(3) << QByteArray() << info << 1
        << QStringList{"Damage:      \"Truncated frame header.\" at byte 3720 (frame 2), 3 trailing bytes\n"}
        << QString();
    QTest::newRow("garbage before and between frames")
        << QByteArray("xyz") + five[0] + QByteArray(40, '\xAA') + five[1] + QByteArray("\xAA\x55\x00") + five[2]
        << QByteArray() << info << 1
        << QStringList{"Frames:      3 (ID 0: 3)",
                       "Damage:      \"Invalid frame header.\" at byte 0 (frame 0), 3 whole frame(s) after it\n"}
        << QString();
    QTest::newRow("empty file") << QByteArray("") << QByteArray() << info << 0
        << QStringList{"Size:        0 bytes\nFrames:      0\nDuration:    unknown\nTimestamps:  -\n"
                       "Rate:        -\nGaps:        -\nBackwards:   0\nDamage:      none\n"} << QString();
    QTest::newRow("other IDs only, counted in order")
        << joined({patterned_frame(4, 620), patterned_frame(1, 676), patterned_frame(3, 620), patterned_frame(1, 676)})
        << QByteArray() << info << 0
        << QStringList{"Frames:      4 (ID 1: 2, ID 3: 1, ID 4: 1)\nDuration:    unknown\nTimestamps:  -\n"}
        << QString();
    QTest::newRow("a gap and a step back")
        << joined(mocap_frames({1'000'000, 1'010'000, 1'020'000, 1'030'000, 2'030'000, 2'040'000, 2'035'000}))
        << QByteArray() << info << 0
        << QStringList{"Duration:    1.040 s\nTimestamps:  1000000 us to 2035000 us\n"
                       "Rate:        100.0 Hz (median interval 10.000 ms)\n"
                       "Gaps:        1 over 30.000 ms (longest 1.000 s after frame 3)\nBackwards:   1\n"}
        << QString();
    QTest::newRow("one Mocap frame") << joined(five.mid(0, 1)) << QByteArray() << info << 0
        << QStringList{"Duration:    0.000 s\nTimestamps:  1000000 us to 1000000 us\nRate:        -\n"}
        << QString();
    QTest::newRow("two files, the second damaged")
        << joined(five) << joined(five).chopped(1) << QStringList{"info", "take.bin", "other.bin"} << 1
        << QStringList{"Damage:      none\n\nFile:        other.bin\n"} << QString();
    QTest::newRow("a directory, then a file") << joined(five) << QByteArray()
        << QStringList{"info", ".", "take.bin"} << 1 << QStringList{"File:        take.bin\n"}
        << "Unable to read .: Is a directory";
    QTest::newRow("a missing file") << QByteArray() << QByteArray() << QStringList{"info", "missing.bin"} << 1
        << QStringList() << "Unable to read missing.bin: No such file or directory";
    QTest::newRow("no command") << QByteArray() << QByteArray() << QStringList() << 2 << QStringList()
        << "Missing command.";
    QTest::newRow("unknown command") << QByteArray() << QByteArray() << QStringList{"play", "take.bin"} << 2
        << QStringList() << "Unknown command: play";
    QTest::newRow("info without a file") << QByteArray() << QByteArray() << QStringList{"info", "--json"} << 2
        << QStringList() << "Missing recording file.";
    QTest::newRow("unknown option") << QByteArray() << QByteArray() << QStringList{"info", "--fast", "x"} << 2
        << QStringList() << "Unknown option 'fast'.";
    QTest::newRow("version") << QByteArray() << QByteArray() << QStringList{"--version"} << 0
        << QStringList{"nimbra_reelkit 1.0.0\n"} << QString();
}

void TestReelkitInfo::reports_each_file()
{
    QFETCH(QByteArray, take);
    QFETCH(QByteArray, other);
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QStringList, output);
    QFETCH(QString, error);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    if (!take.isNull())
        QVERIFY(!write_recording(dir, "take.bin", take).isEmpty());
    if (!other.isNull())
        QVERIFY(!write_recording(dir, "other.bin", other).isEmpty());
    const ProgramRun run = run_program("nimbra_reelkit", arguments, 10000, dir.path());
    QVERIFY(run.finished);
    QCOMPARE(run.exit_status, QProcess::NormalExit);
    const QString out = QString::fromUtf8(run.standard_output);
    for (const QString& text : output)
        QVERIFY2(out.contains(text), qPrintable(out));
    QVERIFY2(QString::fromUtf8(run.standard_error).contains(error), run.standard_error.constData());
    QCOMPARE(run.exit_code, status);
}

void TestReelkitInfo::json_holds_the_same_facts()
{
    QTemporaryDir dir;
    const QList<QByteArray> five = evenly_spaced_frames(5, 10000);
    write_recording(dir, "take.bin", joined(five) + five[0].left(1000));
    const ProgramRun run = run_program("nimbra_reelkit", {"info", "--json", "take.bin", "missing.bin"}, 10000,
                                       dir.path());
    QCOMPARE(run.exit_code, 1);
    const QList<QByteArray> lines = run.standard_output.trimmed().split('\n');
    QCOMPARE(lines.size(), 2);
    const QJsonObject take = QJsonDocument::fromJson(lines[0]).object();
    QCOMPARE(take["file"].toString(), "take.bin");
    QCOMPARE(take["size_bytes"].toInteger(), 10300);
    QCOMPARE(take["frames"].toInteger(), 5);
    QCOMPARE(take["frames_by_id"].toObject()["0"].toInteger(), 5);
    QCOMPARE(take["duration_us"].toInteger(), 40000);
    QCOMPARE(take["first_timestamp_us"].toInteger(), 1000000);
    QCOMPARE(take["last_timestamp_us"].toInteger(), 1040000);
    QCOMPARE(take["median_interval_us"].toDouble(), 10000.0);
    QCOMPARE(take["rate_hz"].toDouble(), 100.0);
    QCOMPARE(take["gaps"].toInteger(), 0);
    QVERIFY(take["longest_gap_us"].isNull());
    QCOMPARE(take["backwards"].toInteger(), 0);
    const QJsonObject damage = take["damage"].toObject();
    QCOMPARE(damage["message"].toString(), "Truncated frame payload.");
    QCOMPARE(damage["byte"].toInteger(), 9300);
    QCOMPARE(damage["frame"].toInteger(), 5);
    QCOMPARE(damage["trailing_bytes"].toInteger(), 1000);
    QCOMPARE(take["dropped_bytes"].toInteger(), 1000);
    const QJsonObject missing = QJsonDocument::fromJson(lines[1]).object();
    QCOMPARE(missing["file"].toString(), "missing.bin");
    QCOMPARE(missing["error"].toString(), "No such file or directory");
}

QTEST_GUILESS_MAIN(TestReelkitInfo)
#include "tst_reelkit_info.moc"
