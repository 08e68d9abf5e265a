#include "take_index.h"
#include "take_time.h"

#include <nmb/test/frames.h>
#include <nmb/test/recordings.h>

#include <QTemporaryDir>
#include <QTest>

#include <limits>

using nmb::reelcast::FrameMetadata;
using nmb::reelcast::ReadStatus;
using nmb::reelcast::RecordedFrameReader;
using nmb::reelcast::TakeClock;
using nmb::reelcast::TakeIndex;
using nmb::test::joined;
using nmb::test::timestamp_frame;

Q_DECLARE_METATYPE(nmb::reelcast::ReadStatus)

namespace {

using Stamps = QList<quint64>;
using Offsets = QList<qint64>;

QByteArray take(const Stamps& stamps)
{
    QByteArray bytes;
    for (quint64 t : stamps)
        bytes += timestamp_frame(t);
    return bytes;
}

// `count` 18-byte frames 10 ms apart from 5 s on.
QByteArray even_take(int count)
{
    Stamps stamps;
    for (int i = 0; i < count; ++i)
        stamps.append(5'000'000 + quint64(i) * 10'000);
    return take(stamps);
}

QByteArray damaged(QByteArray bytes, qsizetype at)
{
    bytes[at] = char(bytes[at] ^ 0x01);
    return bytes;
}

} // namespace

class TestTakeIndex : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void clock_offsets_data();
    void clock_offsets();
    void span_data();
    void span();
    void seek_to_time_data();
    void seek_to_time();

private:
    QFile& open_take(const QByteArray& bytes);

    QTemporaryDir dir_;
    QFile file_;
};

QFile& TestTakeIndex::open_take(const QByteArray& bytes)
{
    file_.close();
    file_.setFileName(nmb::test::write_recording(dir_, QStringLiteral("take.bin"), bytes));
    if (!file_.open(QIODevice::ReadOnly))
        qFatal("cannot open the test take");
    return file_;
}

void TestTakeIndex::clock_offsets_data()
{
    QTest::addColumn<Stamps>("stamps");
    QTest::addColumn<bool>("wraps");
    QTest::addColumn<Offsets>("offsets");
    QTest::newRow("from the first frame") << Stamps{7'000, 17'000, 27'500} << false
                                          << Offsets{0, 10'000, 20'500};
    QTest::newRow("a step back adds nothing")
        << Stamps{5'000'000, 4'000'000, 4'010'000} << false << Offsets{0, 0, 10'000};
    QTest::newRow("long gaps count in full")
        << Stamps{0, 90'000'000} << false << Offsets{0, 90'000'000};
    QTest::newRow("a jump to the end of time holds at the largest offset")
        << Stamps{5, 0xFFFF'FFFF'FFFF'FFFF, 0xFFFF'FFFF'FFFF'FFFF} << false
        << Offsets{0, std::numeric_limits<qint64>::max(), std::numeric_limits<qint64>::max()};
    QTest::newRow("32-bit counter across its wrap")
        << Stamps{0xFFFFFF00, 0x00000100} << true << Offsets{0, 512};
}

void TestTakeIndex::clock_offsets()
{
    QFETCH(Stamps, stamps);
    QFETCH(bool, wraps);
    QFETCH(Offsets, offsets);
    TakeClock clock;
    Offsets actual;
    for (quint64 t : stamps) {
        FrameMetadata meta;
        meta.timestamp = t;
        meta.timestamp_scale_us = 1;
        meta.timestamp_wraps_32bit = wraps;
        actual.append(clock.add_frame(meta));
        (void)clock.add_frame(FrameMetadata{}); // no timestamp: no move
    }
    QCOMPARE(actual, offsets);
}

void TestTakeIndex::span_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("known");
    QTest::addColumn<quint64>("first");
    QTest::addColumn<qint64>("duration_us");

    const QByteArray three = take({2'000'000, 2'010'000, 2'020'000});
    QTest::newRow("whole take") << three << true << quint64(2'000'000) << qint64(20'000);
    QTest::newRow("one frame") << take({9}) << true << quint64(9) << qint64(0);
    QTest::newRow("last frame cut short") << three.chopped(3) << true << quint64(2'000'000)
                                          << qint64(10'000);
    QTest::newRow("last frame damaged") << damaged(three, three.size() - 12) << true
                                        << quint64(2'000'000) << qint64(10'000);
    QTest::newRow("bytes after the last frame")
        << three + QByteArray(5000, '\xAA') << true << quint64(2'000'000) << qint64(20'000);
    QTest::newRow("frames of another ID at the end")
        << three + nmb::test::patterned_frame(1, 40) << true << quint64(2'000'000) << qint64(20'000);
    QTest::newRow("full mocap frames") << joined(nmb::test::evenly_spaced_frames(50, 8'333))
                                       << true << quint64(1'000'000) << qint64(49 * 8'333);
    QTest::newRow("last before first") << take({5'000'000, 1'000'000}) << true
                                       << quint64(5'000'000) << qint64(0);
    QTest::newRow("empty") << QByteArray() << false << quint64(0) << qint64(0);
    QTest::newRow("first frame without timestamp")
        << nmb::test::patterned_frame(1, 40) + three << false << quint64(0) << qint64(0);
}

void TestTakeIndex::span()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, known);
    QFETCH(quint64, first);
    QFETCH(qint64, duration_us);
    QFile& file = open_take(bytes);
    QVERIFY(file.seek(bytes.size() / 2));
    const auto span = nmb::reelcast::read_take_span(file);
    QCOMPARE(file.pos(), bytes.size() / 2);
    QCOMPARE(span.has_value(), known);
    if (!known)
        return;
    QCOMPARE(span->first_timestamp, first);
    QCOMPARE(span->duration_us, duration_us);
}

void TestTakeIndex::seek_to_time_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<qint64>("offset_us");
    QTest::addColumn<ReadStatus>("status");
    QTest::addColumn<quint64>("index");
    QTest::addColumn<QString>("error");

    const QByteArray even = even_take(200); // offsets 0 to 1.99 s, 18 bytes a frame
    QTest::newRow("start") << even << qint64(0) << ReadStatus::Ok << quint64(0) << QString();
    QTest::newRow("between frames") << even << qint64(5'000) << ReadStatus::Ok << quint64(1)
                                    << QString();
    QTest::newRow("exactly on a frame") << even << qint64(1'230'000) << ReadStatus::Ok
                                        << quint64(123) << QString();
    QTest::newRow("last frame") << even << qint64(1'990'000) << ReadStatus::Ok << quint64(199)
                                << QString();
    QTest::newRow("past the last frame") << even << qint64(1'990'001) << ReadStatus::EndOfFile
                                         << quint64(0) << QString();
    QTest::newRow("a step back is not a place before the target")
        << take({0, 10'000, 20'000, 15'000, 30'000}) << qint64(20'000) << ReadStatus::Ok
        << quint64(2) << QString();
    QTest::newRow("damaged frame on the way") << damaged(even, 100 * 18 + 8) << qint64(1'500'000)
                                              << ReadStatus::Error << quint64(0)
                                              << QStringLiteral("Frame CRC mismatch.");
    QTest::newRow("damaged frame after the target is not read")
        << damaged(even, 150 * 18 + 8) << qint64(1'000'000) << ReadStatus::Ok << quint64(100)
        << QString();
    QTest::newRow("frame without timestamp on the way")
        << even.left(40 * 18) + nmb::test::patterned_frame(1, 8) + even.mid(40 * 18)
        << qint64(1'000'000) << ReadStatus::Error << quint64(0) << QString();
    QTest::newRow("empty take") << QByteArray() << qint64(0) << ReadStatus::EndOfFile << quint64(0)
                                << QString();
}

// Every target gives the same answer from a cold index, after the take was
// read through once, and after a jump elsewhere.
void TestTakeIndex::seek_to_time()
{
    QFETCH(QByteArray, bytes);
    QFETCH(qint64, offset_us);
    QFETCH(ReadStatus, status);
    QFETCH(quint64, index);
    QFETCH(QString, error);

    QFile& file = open_take(bytes);
    RecordedFrameReader reader(file);
    TakeIndex take_index(file, reader);
    for (const char* pass : {"cold", "read through", "after a jump to the end"}) {
        quint64 frame_index = 99;
        QCOMPARE(take_index.seek_to_time(offset_us, frame_index), status);
        QCOMPARE(take_index.error_string(), error);
        if (status == ReadStatus::Ok) {
            QVERIFY2(frame_index == index, pass);
            QCOMPARE(file.pos(), qint64(index * 18));
            QByteArray frame;
            QCOMPARE(take_index.read_next(frame), ReadStatus::Ok);
            QVERIFY(take_index.last_offset_us() >= offset_us);
            QCOMPARE(frame, bytes.mid(file.pos() - frame.size(), frame.size()));
        }
        QVERIFY(take_index.rewind());
        QByteArray frame;
        if (qstrcmp(pass, "cold") == 0) {
            while (take_index.read_next(frame) == ReadStatus::Ok) {
            }
        } else {
            (void)take_index.seek_to_time(1'000'000'000, frame_index);
        }
    }
}

QTEST_GUILESS_MAIN(TestTakeIndex)
#include "tst_take_index.moc"
