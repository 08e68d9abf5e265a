// nimbra_reelkit's recording scanner over arbitrary bytes, handed over in
// arbitrary pieces.
//
// Input: the recording first; up to eight piece sizes come from its end. The
// scanner sees the bytes twice: all at once, and piece by piece the way the
// file reader hands them over (what it leaves is handed again with the next
// piece). Both must give the same frames and damage, and every byte of the
// recording must be accounted for exactly once: inside a frame passed on, or
// in a damaged stretch. Every frame passed on is a whole frame with a
// matching checksum at that place in the bytes, frames come in order without
// overlap, and up to the first damage they are exactly what a plain walk with
// check_frame finds. The facts and their text and JSON are made as well.

#include "fuzz_check.h"
#include "recording_facts.h"
#include "recording_scanner.h"

#include <nmb/protocol/frame.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <vector>

namespace {

using nmb::protocol::FrameCheck;
using nmb::reelkit::RecordingScanner;

struct Seen {
    qint64 offset;
    std::uint64_t index;
    qsizetype size;
};

struct Run {
    std::vector<Seen> frames;
    RecordingScanner scanner;
};

void scan_in_pieces(const QByteArray& bytes, const std::vector<qsizetype>& pieces, Run& run)
{
    const nmb::reelkit::FrameSink sink = [&run, &bytes](qint64 offset, std::uint64_t index, QByteArrayView frame) {
        // The view points into the caller's bytes at the frame's place.
        NMB_FUZZ_CHECK(offset >= 0 && offset + frame.size() <= bytes.size());
        NMB_FUZZ_CHECK(frame == QByteArrayView(bytes.constData() + offset, frame.size()));
        run.frames.push_back({offset, index, frame.size()});
        return true;
    };
    QByteArray held; // bytes the scanner has not used yet
    qint64 held_at = 0;
    qsizetype next = 0;
    std::size_t piece = 0;
    // Each round takes at least one new byte, so this ends.
    while (next < bytes.size()) {
        const qsizetype size = pieces.empty() ? bytes.size() : pieces[piece++ % pieces.size()];
        const qsizetype take = std::min(size, bytes.size() - next);
        held.append(bytes.constData() + next, take);
        next += take;
        const qsizetype used = run.scanner.scan(held, held_at, false, sink);
        NMB_FUZZ_CHECK(used >= 0 && used <= held.size());
        // What is left is less than the largest frame.
        NMB_FUZZ_CHECK(held.size() - used < nmb::protocol::ENVELOPE_SIZE + nmb::protocol::MAX_PAYLOAD_SIZE);
        held.remove(0, used);
        held_at += used;
    }
    NMB_FUZZ_CHECK(run.scanner.scan(held, held_at, true, sink) == held.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    std::vector<qsizetype> pieces(input.ConsumeIntegralInRange<std::size_t>(0, 8));
    for (qsizetype& piece : pieces)
        piece = input.ConsumeIntegralInRange<qsizetype>(1, 4096);
    const std::vector<char> raw = input.ConsumeRemainingBytes<char>();
    const QByteArray bytes(raw.data(), qsizetype(raw.size()));

    Run whole, split;
    scan_in_pieces(bytes, {}, whole);
    scan_in_pieces(bytes, pieces, split);

    // Every byte once: in a frame or in a damaged stretch.
    qint64 covered = 0, end = 0;
    for (std::size_t i = 0; i < whole.frames.size(); ++i) {
        const Seen& f = whole.frames[i];
        NMB_FUZZ_CHECK(f.index == i);
        NMB_FUZZ_CHECK(f.offset >= end);
        qsizetype checked = 0;
        NMB_FUZZ_CHECK(nmb::protocol::check_frame(QByteArrayView(bytes).sliced(f.offset), &checked) == FrameCheck::Ok);
        NMB_FUZZ_CHECK(checked == f.size);
        covered += f.size;
        end = f.offset + f.size;
    }
    NMB_FUZZ_CHECK(covered + whole.scanner.dropped_bytes() == bytes.size());
    NMB_FUZZ_CHECK(whole.scanner.frames() == whole.frames.size());
    NMB_FUZZ_CHECK((whole.scanner.damaged_stretches() == 0) == (whole.scanner.dropped_bytes() == 0));

    // The plain walk: frames back to back from the start, up to the first damage.
    const nmb::reelkit::ScanDamage& damage = whole.scanner.first_damage();
    qint64 offset = 0;
    std::size_t count = 0;
    FrameCheck check = FrameCheck::Ok;
    while (offset < bytes.size()) {
        qsizetype frame_size = 0;
        check = nmb::protocol::check_frame(QByteArrayView(bytes).sliced(offset), &frame_size);
        if (check != FrameCheck::Ok)
            break;
        NMB_FUZZ_CHECK(count < whole.frames.size() && whole.frames[count].offset == offset);
        offset += frame_size;
        ++count;
    }
    NMB_FUZZ_CHECK(damage.check == check);
    if (check != FrameCheck::Ok) {
        NMB_FUZZ_CHECK(damage.offset == offset && damage.frame_index == count);
    }

    // Pieces change nothing.
    NMB_FUZZ_CHECK(split.frames.size() == whole.frames.size());
    for (std::size_t i = 0; i < whole.frames.size(); ++i)
        NMB_FUZZ_CHECK(split.frames[i].offset == whole.frames[i].offset && split.frames[i].size == whole.frames[i].size);
    NMB_FUZZ_CHECK(split.scanner.dropped_bytes() == whole.scanner.dropped_bytes());
    NMB_FUZZ_CHECK(split.scanner.damaged_stretches() == whole.scanner.damaged_stretches());
    NMB_FUZZ_CHECK(split.scanner.first_damage().check == damage.check);
    NMB_FUZZ_CHECK(split.scanner.first_damage().offset == damage.offset);

    // The facts of the same bytes, and their texts.
    nmb::reelkit::RecordingScanner scanner;
    nmb::reelkit::FactsCollector collector;
    scanner.scan(bytes, 0, true, [&collector](qint64, std::uint64_t index, QByteArrayView frame) {
        collector.add_frame(index, frame);
        return true;
    });
    nmb::reelkit::RecordingFacts facts;
    facts.size = bytes.size();
    collector.finish(scanner, facts);
    NMB_FUZZ_CHECK(facts.frames == whole.frames.size());
    NMB_FUZZ_CHECK(facts.timing.frames <= facts.frames);
    NMB_FUZZ_CHECK(facts.timing.gaps <= facts.timing.intervals);
    NMB_FUZZ_CHECK(!nmb::reelkit::facts_text(facts).empty());
    NMB_FUZZ_CHECK(!nmb::reelkit::facts_json(facts).empty());
    return 0;
}
