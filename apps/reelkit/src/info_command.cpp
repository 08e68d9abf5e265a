#include "command_failure.h"
#include "commands.h"
#include "file_scan.h"
#include "recording_facts.h"

#include <QDebug>

#include <cstdio>

namespace nmb::reelkit {

namespace {

RecordingFacts inspect(const QString& path)
{
    RecordingFacts facts;
    facts.file = path;
    RecordingScanner scanner;
    FactsCollector collector;
    const FileScan scan = scan_file(path, scanner, [&collector](qint64, std::uint64_t index, QByteArrayView frame) {
        collector.add_frame(index, frame);
        return true;
    });
    facts.size = scan.size;
    if (!scan.ok) {
        facts.error = scan.error;
        return facts;
    }
    collector.finish(scanner, facts);
    return facts;
}

} // namespace

int run_info(const ReelkitOptions& options)
{
    int status = 0;
    bool first = true;
    for (const QString& path : options.inputs) {
        const RecordingFacts facts = inspect(path);
        if (!facts.clean())
            status = 1;
        if (options.json) {
            std::printf("%s\n", facts_json(facts).c_str());
        } else if (!facts.error.isEmpty()) {
            std::fflush(stdout);
            (void)fail(QStringLiteral("read"), path, facts.error);
        } else {
            std::printf("%s%s", first ? "" : "\n", facts_text(facts).c_str());
            first = false;
        }
        std::fflush(stdout);
    }
    return status;
}

} // namespace nmb::reelkit
