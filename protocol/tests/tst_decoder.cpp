#include <nmb/protocol/mocap_decoder.h>
#include <nmb/protocol/frame.h>
#include <nmb/protocol/mocap_frame.h>
#include <nmb/test/frames.h>

#include <QRandomGenerator>
#include <QTest>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

using namespace nmb::codec;
using nmb::protocol::build_frame;
using nmb::protocol::MocapFrame;
using nmb::test::mocap_frame_bytes;

// Every allocation of this test executable is counted, so a test can show
// that feeding bytes allocates nothing.
namespace {
std::atomic<long> allocations{0};
}

void* operator new(std::size_t size)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using Decoder = MocapDecoder;

// Results spelled as "R@1860 S@2546": the letter of every result other
// than Pending (R frame, S other ID, L length too large, C checksum
// mismatch) and the 1-based count of bytes fed when it came.
struct Outcome {
    QString results;
    QList<QByteArray> frames; // wire images of the frames produced
};

QChar letter(DecodeResult result)
{
    static constexpr char LETTERS[] = "-RSLC";
    return QLatin1Char(LETTERS[int(result)]);
}

QByteArray image(const MocapFrame& frame)
{
    return QByteArray(reinterpret_cast<const char*>(&frame), sizeof frame);
}

void feed(Decoder& decoder, QByteArrayView bytes, qsizetype& fed, Outcome& outcome)
{
    for (const char c : bytes) {
        ++fed;
        const DecodeResult result = decoder.feed(std::uint8_t(c));
        if (result == DecodeResult::Pending)
            continue;
        if (!outcome.results.isEmpty())
            outcome.results += QLatin1Char(' ');
        outcome.results += letter(result) + QLatin1Char('@') + QString::number(fed);
        if (result == DecodeResult::FrameReady)
            outcome.frames << image(decoder.frame());
    }
}

// The same through the bulk feed: one call per result at most.
void feed_runs(Decoder& decoder, QByteArrayView bytes, qsizetype& fed, Outcome& outcome)
{
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
    for (qsizetype used = 0; used < bytes.size();) {
        const FeedStep step = decoder.feed(data + used, std::size_t(bytes.size() - used));
        QVERIFY(step.consumed > 0);
        QCOMPARE(step.result, decoder.last_result());
        used += qsizetype(step.consumed);
        fed += qsizetype(step.consumed);
        if (step.result == DecodeResult::Pending) {
            QCOMPARE(used, bytes.size());
            continue;
        }
        if (!outcome.results.isEmpty())
            outcome.results += QLatin1Char(' ');
        outcome.results += letter(step.result) + QLatin1Char('@') + QString::number(fed);
        if (step.result == DecodeResult::FrameReady)
            outcome.frames << image(decoder.frame());
    }
}

enum class Feeding { ByteByByte, InRuns };

Outcome decode(QByteArrayView bytes, Feeding feeding = Feeding::ByteByByte)
{
    Decoder decoder;
    Outcome outcome;
    qsizetype fed = 0;
    if (feeding == Feeding::ByteByByte)
        feed(decoder, bytes, fed, outcome);
    else
        feed_runs(decoder, bytes, fed, outcome);
    return outcome;
}

// The image the decoder is expected to hold after accepting `frame`: the
// header and payload in place, zeros up to the checksum, checksum last.
QByteArray expected_image(const QByteArray& frame)
{
    QByteArray expected(sizeof(MocapFrame), '\0');
    std::memcpy(expected.data(), frame.constData(), size_t(frame.size() - 4));
    std::memcpy(expected.data() + expected.size() - 4, frame.constData() + frame.size() - 4, 4);
    return expected;
}

QByteArray header(quint16 frame_id, quint16 length)
{
    const char bytes[6] = {char(0xAA), char(0x55), char(frame_id & 0xFF), char(frame_id >> 8),
                           char(length & 0xFF), char(length >> 8)};
    return QByteArray(bytes, 6);
}

QByteArray with_trailer(QByteArray frame, quint32 crc)
{
    for (int i = 0; i < 4; ++i)
        frame[frame.size() - 4 + i] = char((crc >> (8 * i)) & 0xFF);
    return frame;
}

// Checksum of `bytes` with the register started at `initial`, bitwise.
quint32 crc_from(quint32 initial, QByteArrayView bytes)
{
    quint32 reg = initial;
    for (const char c : bytes) {
        reg ^= quint8(c);
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg & 1u) ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
    }
    return reg;
}

// A Mocap frame whose payload is only a timestamp and zeros: it holds no
// byte 0xAA after its first, so a decoder hunting inside it finds nothing.
QByteArray quiet_mocap(quint64 timestamp)
{
    QByteArray payload(1850, '\0');
    std::memcpy(payload.data(), &timestamp, 8);
    return build_frame(0, payload);
}

} // namespace

class TestDecoder : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void results_data();
    void results();
    void new_decoder_holds_an_empty_frame();
    void frame_holds_the_accepted_bytes_data();
    void frame_holds_the_accepted_bytes();
    void rejected_frame_leaves_the_last_frame();
    void every_split_gives_the_same_frames();
    void random_streams_give_exactly_the_wanted_frames();
    void feeding_allocates_nothing();
};

void TestDecoder::results_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QString>("results");

    const QByteArray a = mocap_frame_bytes(1000000, 1.0f);
    const QByteArray b = mocap_frame_bytes(1008333, 2.0f);
    const QByteArray body = nmb::test::patterned_frame(1, 676, 3);

    QTest::newRow("one Mocap frame") << a << "R@1860";
    QTest::newRow("two frames in one datagram") << a + b << "R@1860 R@3720";
    QTest::newRow("AA AA 55: the second AA restarts the sync") << QByteArray("\xAA", 1) + a << "R@1861";
    QTest::newRow("AA 00 AA 55: the 00 drops back to hunting") << QByteArray("\xAA\x00", 2) + a << "R@1862";
    QTest::newRow("AA 55 after a dropped byte is not a sync")
        << QByteArray("\xAA\x01\x55", 3) + a << "R@1863";
    QTest::newRow("sync bytes in the other order")
        << QByteArray("\x55", 1) + quiet_mocap(1000000).mid(1) << "";
    QTest::newRow("garbage only") << QByteArray("\x00\x55\x01\xFF\x55\x55", 6) << "";
    QTest::newRow("body frame of ID 1 with 676 bytes") << body << "S@686";
    QTest::newRow("body frame with a wrong checksum is not checked")
        << with_trailer(body, 0xDEADBEEF) << "S@686";
    QTest::newRow("other ID with an empty payload") << build_frame(9, {}) << "S@10";
    QTest::newRow("other ID swallows a wanted frame inside its payload")
        << build_frame(2, a) + b << "S@1870 R@3730";
    QTest::newRow("ID 256: the high ID byte counts") << build_frame(256, a.mid(6, 1850)) << "S@1860";
    QTest::newRow("other ID of the longest length")
        << header(0xFFFF, 0xFFFF) + QByteArray(0xFFFF + 4, '\0') + a << "S@65545 R@67405";
    QTest::newRow("length 1851 refused at the sixth byte, next frame found")
        << header(0, 1851) + a << "L@6 R@1866";
    QTest::newRow("length 65535 refused") << header(0, 0xFFFF) + a << "L@6 R@1866";
    QTest::newRow("length 256: the high length byte counts")
        << build_frame(0, QByteArray(256, '\x01')) << "R@266";
    QTest::newRow("empty Mocap payload") << build_frame(0, {}) << "R@10";
    QTest::newRow("wrong trailer") << with_trailer(a, 0x12345678) << "C@1860";
    QTest::newRow("one payload bit flipped")
        << a.left(100) + char(a[100] ^ 0x10) + a.mid(101) << "C@1860";
    QTest::newRow("checksum started at 0xFFFFFFFF")
        << with_trailer(a, crc_from(0xFFFFFFFFu, QByteArrayView(a).first(1856))) << "C@1860";
    QTest::newRow("checksum with the common settings")
        << with_trailer(a, ~crc_from(0xFFFFFFFFu, QByteArrayView(a).first(1856))) << "C@1860";
    // The lost rest is made up from the next frame's first 856 + 4 bytes;
    // that frame is lost too, the one after is found.
    QTest::newRow("rest of a frame lost")
        << quiet_mocap(1).left(1000) + quiet_mocap(2) + quiet_mocap(3) << "C@1860 R@4720";
}

void TestDecoder::results()
{
    QFETCH(QByteArray, stream);
    QFETCH(QString, results);
    const Outcome by_byte = decode(stream, Feeding::ByteByByte);
    QCOMPARE(by_byte.results, results);
    const Outcome in_runs = decode(stream, Feeding::InRuns);
    QCOMPARE(in_runs.results, results);
    QCOMPARE(in_runs.frames, by_byte.frames);
}

void TestDecoder::new_decoder_holds_an_empty_frame()
{
    const Decoder decoder;
    QByteArray expected(1860, '\0');
    expected.replace(0, 6, header(0, 1850));
    QCOMPARE(image(decoder.frame()).toHex(), expected.toHex());
    QCOMPARE(decoder.state(), DecoderState::HuntSync0);
    QCOMPARE(decoder.last_result(), DecodeResult::Pending);
}

void TestDecoder::frame_holds_the_accepted_bytes_data()
{
    QTest::addColumn<QByteArray>("earlier");
    QTest::addColumn<QByteArray>("frame");
    const QByteArray full = mocap_frame_bytes(42, 3.0f);
    QTest::newRow("whole Mocap frame") << QByteArray() << full;
    QTest::newRow("short frame after a whole one leaves no stale bytes")
        << full << build_frame(0, QByteArray::fromHex("0102030405060708"));
    QTest::newRow("empty frame after a whole one") << full << build_frame(0, {});
    QTest::newRow("payload of 1849 bytes") << full << build_frame(0, QByteArray(1849, '\x33'));
}

void TestDecoder::frame_holds_the_accepted_bytes()
{
    QFETCH(QByteArray, earlier);
    QFETCH(QByteArray, frame);
    Decoder decoder;
    Outcome outcome;
    qsizetype fed = 0;
    feed(decoder, earlier, fed, outcome);
    feed(decoder, frame, fed, outcome);
    QVERIFY(!outcome.frames.isEmpty());
    QCOMPARE(outcome.frames.last().toHex(), expected_image(frame).toHex());
    QCOMPARE(decoder.frame().payload_length, quint16(frame.size() - 10));
}

void TestDecoder::rejected_frame_leaves_the_last_frame()
{
    const QByteArray good = mocap_frame_bytes(7, 1.0f);
    const QByteArray bad = with_trailer(mocap_frame_bytes(8, 2.0f), 0);
    Decoder decoder;
    Outcome outcome;
    qsizetype fed = 0;
    feed(decoder, good + bad + header(0, 4000) + nmb::test::patterned_frame(5, 30), fed, outcome);
    QCOMPARE(outcome.results, QStringLiteral("R@1860 C@3720 L@3726 S@3766"));
    QCOMPARE(image(decoder.frame()), good);
    QCOMPARE(decoder.state(), DecoderState::HuntSync0);
}

void TestDecoder::every_split_gives_the_same_frames()
{
    // A frame of each kind, with garbage between; split into two datagrams
    // at every offset, and fed one byte per datagram.
    const QByteArray stream = mocap_frame_bytes(1, 1.0f) + QByteArray("\x01\x02\xAA", 3)
        + nmb::test::patterned_frame(1, 676, 9) + build_frame(0, QByteArray(8, '\x44'))
        + header(0, 1851) + mocap_frame_bytes(2, 2.0f);
    const Outcome whole = decode(stream);
    QCOMPARE(whole.results, QStringLiteral("R@1860 S@2549 R@2567 L@2573 R@4433"));

    for (qsizetype split = 0; split <= stream.size(); ++split) {
        Decoder by_byte, in_runs;
        Outcome bytes_outcome, runs_outcome;
        qsizetype bytes_fed = 0, runs_fed = 0;
        feed(by_byte, QByteArrayView(stream).first(split), bytes_fed, bytes_outcome);
        feed(by_byte, QByteArrayView(stream).sliced(split), bytes_fed, bytes_outcome);
        feed_runs(in_runs, QByteArrayView(stream).first(split), runs_fed, runs_outcome);
        feed_runs(in_runs, QByteArrayView(stream).sliced(split), runs_fed, runs_outcome);
        for (const Outcome* outcome : {&bytes_outcome, &runs_outcome}) {
            if (outcome->results != whole.results || outcome->frames != whole.frames)
                QFAIL(qPrintable(QStringLiteral("split at %1: %2").arg(split).arg(outcome->results)));
        }
    }

    Decoder by_byte, in_runs;
    Outcome bytes_outcome, runs_outcome;
    qsizetype bytes_fed = 0, runs_fed = 0;
    for (qsizetype i = 0; i < stream.size(); ++i) {
        feed(by_byte, QByteArrayView(stream).sliced(i, 1), bytes_fed, bytes_outcome);
        feed_runs(in_runs, QByteArrayView(stream).sliced(i, 1), runs_fed, runs_outcome);
    }
    QCOMPARE(bytes_outcome.results, whole.results);
    QCOMPARE(bytes_outcome.frames, whole.frames);
    QCOMPARE(runs_outcome.results, whole.results);
    QCOMPARE(runs_outcome.frames, whole.frames);
}

void TestDecoder::random_streams_give_exactly_the_wanted_frames()
{
    // Random wanted frames (some with a broken checksum), frames of other
    // IDs and lengths, over-long wanted headers and garbage, in random
    // order and cut into random datagrams. Garbage may hold 0xAA but never
    // AA 55, so it can only delay a sync, never start a header.
    QRandomGenerator random(0x5EED);
    for (int iteration = 0; iteration < 200; ++iteration) {
        QByteArray stream;
        QStringList expected_letters;
        QList<QByteArray> expected_frames;
        const int items = random.bounded(1, 30);
        for (int item = 0; item < items; ++item) {
            switch (random.bounded(5)) {
            case 0:
            case 1: { // wanted frame, rarely with a wrong checksum
                QByteArray payload(random.bounded(0, 1851), Qt::Uninitialized);
                for (char& c : payload)
                    c = char(random.bounded(256));
                QByteArray frame = build_frame(0, payload);
                if (random.bounded(6) == 0) {
                    frame[frame.size() - 1 - random.bounded(4)] ^= char(1 << random.bounded(8));
                    expected_letters << QStringLiteral("C");
                } else {
                    expected_letters << QStringLiteral("R");
                    expected_frames << expected_image(frame);
                }
                stream += frame;
                break;
            }
            case 2: { // another ID, any length, contents never examined
                const auto id = quint16(random.bounded(1, 65536));
                QByteArray payload(random.bounded(0, 3000), Qt::Uninitialized);
                for (char& c : payload)
                    c = char(random.bounded(256));
                QByteArray frame = build_frame(id, payload);
                if (random.bounded(4) == 0)
                    frame[frame.size() - 1] ^= 0x01;
                stream += frame;
                expected_letters << QStringLiteral("S");
                break;
            }
            case 3: // a wanted header declaring more than fits
                stream += header(0, quint16(random.bounded(1851, 65536)));
                expected_letters << QStringLiteral("L");
                break;
            default: {
                QByteArray garbage(random.bounded(1, 200), Qt::Uninitialized);
                char previous = stream.isEmpty() ? '\0' : stream.back();
                for (char& c : garbage) {
                    c = char(random.bounded(256));
                    if (quint8(previous) == 0xAA && quint8(c) == 0x55)
                        c = char(0x56);
                    previous = c;
                }
                stream += garbage;
                break;
            }
            }
        }

        // The same datagrams, fed byte by byte and in runs.
        Decoder by_byte, in_runs;
        Outcome bytes_outcome, runs_outcome;
        qsizetype bytes_fed = 0, runs_fed = 0;
        for (qsizetype at = 0; at < stream.size();) {
            const qsizetype size = std::min<qsizetype>(random.bounded(1, 4000), stream.size() - at);
            feed(by_byte, QByteArrayView(stream).sliced(at, size), bytes_fed, bytes_outcome);
            feed_runs(in_runs, QByteArrayView(stream).sliced(at, size), runs_fed, runs_outcome);
            at += size;
        }
        QStringList letters;
        for (const QString& result : bytes_outcome.results.split(QLatin1Char(' '), Qt::SkipEmptyParts))
            letters << result.left(1);
        if (letters != expected_letters)
            QFAIL(qPrintable(QStringLiteral("iteration %1: %2 instead of %3")
                                 .arg(iteration)
                                 .arg(letters.join(QString()), expected_letters.join(QString()))));
        QCOMPARE(bytes_outcome.frames, expected_frames);
        QCOMPARE(runs_outcome.results, bytes_outcome.results);
        QCOMPARE(runs_outcome.frames, expected_frames);
        QCOMPARE(by_byte.state(), DecoderState::HuntSync0);
        QCOMPARE(in_runs.state(), DecoderState::HuntSync0);
    }
}

void TestDecoder::feeding_allocates_nothing()
{
    QByteArray stream;
    for (int k = 0; k < 20; ++k)
        stream += mocap_frame_bytes(quint64(k), float(k)) + nmb::test::patterned_frame(1, 676)
            + header(0, 5000) + QByteArray("\x01\xAA\x02", 3) + with_trailer(mocap_frame_bytes(1), 0);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(stream.constData());
    const auto size = std::size_t(stream.size());

    const long before_construction = allocations.load();
    Decoder decoder;
    const long after_construction = allocations.load();
    int counts[5] = {};
    for (std::size_t i = 0; i < size; ++i)
        ++counts[int(decoder.feed(bytes[i]))];
    for (std::size_t used = 0; used < size;) {
        const FeedStep step = decoder.feed(bytes + used, size - used);
        used += step.consumed;
        ++counts[int(step.result)];
    }
    const long after_feeding = allocations.load();

    QCOMPARE(after_construction - before_construction, 1L); // the payload buffer, counted
    QCOMPARE(after_feeding, after_construction);
    QCOMPARE(counts[int(DecodeResult::FrameReady)], 40);
    QCOMPARE(counts[int(DecodeResult::SkippedOtherId)], 40);
    QCOMPARE(counts[int(DecodeResult::LengthTooLarge)], 40);
    QCOMPARE(counts[int(DecodeResult::CrcMismatch)], 40);
}

QTEST_GUILESS_MAIN(TestDecoder)
#include "tst_decoder.moc"
