// The recording reader and its seek over arbitrary file contents.
//
// Input: the file contents first; up to four seek fractions are taken from
// the end of the input (special values such as NaN, infinities, -0.5 and 1.7
// among them). The contents go into a real, memory-backed file of this
// process, which the reader reads through a QFile. A plain walk over the bytes with check_frame() says what the
// reader must return: every whole frame with a matching checksum in order,
// then EndOfFile exactly at the end of the file, or the error text of the
// first damaged frame. Each seek must land where the model says, on a frame
// boundary, and reading on from there must reach the same end. Every loop is
// bounded by the number of frames the file can hold.

#include "fuzz_check.h"
#include <nmb/playback/recorded_frame_reader.h>

#include <nmb/protocol/frame.h>

#include <QByteArray>
#include <QFile>
#include <QString>

#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

namespace {

using nmb::protocol::FrameCheck;
using nmb::reelcast::ReadStatus;
using nmb::reelcast::RecordedFrameReader;

struct FrameSpan {
    qint64 start;
    qint64 size;
};

// What reading the file from its start must give.
struct Model {
    std::vector<FrameSpan> frames; // the whole, checked frames before the end
    ReadStatus end = ReadStatus::EndOfFile;
    QString error; // when `end` is Error
    bool crc_mismatch = false;
};

Model walk(const QByteArray& contents)
{
    Model model;
    qint64 offset = 0;
    // At most one frame per 10 bytes, plus the end.
    for (qint64 steps = 0; steps <= contents.size() / 10 + 1; ++steps) {
        if (offset == contents.size())
            return model;
        qsizetype size = 0;
        const QByteArrayView rest(contents.constData() + offset, contents.size() - offset);
        switch (nmb::protocol::check_frame(rest, &size)) {
        case FrameCheck::Ok:
            model.frames.push_back({offset, size});
            offset += size;
            continue;
        case FrameCheck::TruncatedHeader:
            model.error = QStringLiteral("Truncated frame header.");
            break;
        case FrameCheck::InvalidHeader:
            model.error = QStringLiteral("Invalid frame header.");
            break;
        case FrameCheck::TruncatedPayload:
            model.error = QStringLiteral("Truncated frame payload.");
            break;
        case FrameCheck::CrcMismatch:
            model.error = QStringLiteral("Frame CRC mismatch.");
            model.crc_mismatch = true;
            break;
        }
        model.end = ReadStatus::Error;
        return model;
    }
    NMB_FUZZ_CHECK(!"the walk did not end");
    return model;
}

// Reads from the file's position (frame `first` of the model) to the end.
void read_to_end(QFile& file, RecordedFrameReader& reader, const QByteArray& contents,
                 const Model& model, std::size_t first)
{
    const QByteArray before = QByteArrayLiteral("frame before");
    QByteArray frame = before;
    QByteArray last = before;
    for (std::size_t i = first; i < model.frames.size(); ++i) {
        NMB_FUZZ_CHECK(reader.read_next(frame) == ReadStatus::Ok);
        const FrameSpan& span = model.frames[i];
        NMB_FUZZ_CHECK(frame == contents.mid(span.start, span.size));
        NMB_FUZZ_CHECK(nmb::protocol::check_frame(frame) == FrameCheck::Ok);
        NMB_FUZZ_CHECK(file.pos() == span.start + span.size);
        last = frame;
    }
    const ReadStatus end = reader.read_next(frame);
    NMB_FUZZ_CHECK(end == model.end);
    if (end == ReadStatus::EndOfFile) {
        NMB_FUZZ_CHECK(frame == last);
        NMB_FUZZ_CHECK(file.pos() == contents.size());
        // The end stays the end.
        NMB_FUZZ_CHECK(reader.read_next(frame) == ReadStatus::EndOfFile);
        NMB_FUZZ_CHECK(frame == last);
        return;
    }
    NMB_FUZZ_CHECK(reader.error_string() == model.error);
    // A checksum mismatch empties the frame; the other failures keep it.
    NMB_FUZZ_CHECK(model.crc_mismatch ? frame.isEmpty() : frame == last);
    NMB_FUZZ_CHECK(file.pos() <= contents.size());
}

double seek_fraction(FuzzedDataProvider& input)
{
    switch (input.ConsumeIntegralInRange<int>(0, 9)) {
    case 0:
        return std::numeric_limits<double>::quiet_NaN();
    case 1:
        return -0.5;
    case 2:
        return 1.7;
    case 3:
        return std::numeric_limits<double>::infinity();
    case 4:
        return -std::numeric_limits<double>::infinity();
    case 5:
        return 0.0;
    case 6:
        return 1.0;
    case 7:
        return input.ConsumeFloatingPoint<double>();
    default:
        return input.ConsumeProbability<double>();
    }
}

void check_seek(QFile& file, RecordedFrameReader& reader, const QByteArray& contents,
                const Model& model, double fraction)
{
    // The seek's target byte, from its definition: the fraction clamped to
    // 0..1 (NaN as 0) of the file size, rounded half away from zero.
    double clamped = 0.0;
    if (fraction >= 1.0)
        clamped = 1.0;
    else if (fraction > 0.0)
        clamped = fraction;
    const qint64 target = qint64(std::round(double(contents.size()) * clamped));

    // The first frame that ends at or past the target; failing that, the
    // last frame at a clean end.
    std::size_t expected = model.frames.size();
    for (std::size_t i = 0; i < model.frames.size(); ++i) {
        if (model.frames[i].start + model.frames[i].size >= target) {
            expected = i;
            break;
        }
    }
    quint64 index = 12345;
    const ReadStatus status = reader.seek_to_fraction(fraction, index);
    if (expected == model.frames.size()) {
        if (model.end == ReadStatus::Error) {
            NMB_FUZZ_CHECK(status == ReadStatus::Error);
            NMB_FUZZ_CHECK(reader.error_string() == model.error);
            return;
        }
        if (model.frames.empty()) {
            NMB_FUZZ_CHECK(status == ReadStatus::EndOfFile);
            NMB_FUZZ_CHECK(index == 0);
            return;
        }
        expected = model.frames.size() - 1;
    }
    NMB_FUZZ_CHECK(status == ReadStatus::Ok);
    NMB_FUZZ_CHECK(index == expected);
    NMB_FUZZ_CHECK(reader.error_string().isNull());
    NMB_FUZZ_CHECK(file.pos() == model.frames[expected].start);
    read_to_end(file, reader, contents, model, expected);
}

// The recording: one memory-backed file of this process, rewritten for
// every input (a file on disk costs more than the reading under test).
int recording_descriptor()
{
    static const int descriptor = memfd_create("recording.bin", MFD_CLOEXEC);
    NMB_FUZZ_CHECK(descriptor >= 0);
    return descriptor;
}

void write_recording(const QByteArray& contents)
{
    const int descriptor = recording_descriptor();
    NMB_FUZZ_CHECK(ftruncate(descriptor, 0) == 0);
    NMB_FUZZ_CHECK(pwrite(descriptor, contents.constData(), std::size_t(contents.size()), 0)
                   == contents.size());
    NMB_FUZZ_CHECK(lseek(descriptor, 0, SEEK_SET) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    std::vector<double> fractions(input.ConsumeIntegralInRange<std::size_t>(0, 4));
    for (double& fraction : fractions)
        fraction = seek_fraction(input);
    const std::vector<char> bytes = input.ConsumeRemainingBytes<char>();
    const QByteArray contents(bytes.data(), qsizetype(bytes.size()));

    write_recording(contents);
    QFile file;
    NMB_FUZZ_CHECK(file.open(recording_descriptor(), QIODevice::ReadOnly, QFileDevice::DontCloseHandle));
    RecordedFrameReader reader(file);
    const Model model = walk(contents);

    read_to_end(file, reader, contents, model, 0);
    for (const double fraction : fractions)
        check_seek(file, reader, contents, model, fraction);
    return 0;
}
