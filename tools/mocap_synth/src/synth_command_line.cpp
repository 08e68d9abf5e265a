#include "synth_command_line.h"

#include <nmb/udp_adapter.h>

#include <cmath>

namespace nmb::synth {
namespace {

constexpr double DEFAULT_RATE_HZ = 120;
constexpr double DEFAULT_DURATION_S = 10;
constexpr double MAX_RATE_HZ = 1e6;       // timestamps step by at least 1 us
constexpr double MAX_DURATION_S = 1e7;

const QString OUTPUT = QStringLiteral("output");
const QString IP = QStringLiteral("ip");
const QString PORT = QStringLiteral("port");
const QString RATE = QStringLiteral("rate");
const QString DURATION = QStringLiteral("duration");
const QString FRAMES = QStringLiteral("frames");
const QString OTHER_ID_AT = QStringLiteral("other-id-at");
const QString BAD_CRC_AT = QStringLiteral("bad-crc-at");
const QString GARBAGE_AT = QStringLiteral("garbage-at");
const QString TRUNCATE_TAIL = QStringLiteral("truncate-tail");
const QString SEED = QStringLiteral("seed");

} // namespace

SynthCommandLine::SynthCommandLine()
{
    parser_.setApplicationDescription(QStringLiteral(
        "Produce Mocap frames (ID 0, 64 joint poses) of a walking, waving skeleton, into a "
        "recording file as fast as possible or over UDP at the frame rate."));
    parser_.addHelpOption();
    parser_.addVersionOption();
    parser_.addOptions({
        {{QStringLiteral("o"), OUTPUT}, QStringLiteral("Write the frames to this recording file."),
         QStringLiteral("file")},
        {IP, QStringLiteral("Destination address when sending (default 127.0.0.1)."),
         QStringLiteral("address"), QStringLiteral("127.0.0.1")},
        {PORT, QStringLiteral("Send one frame per UDP datagram to this port (1-65535)."),
         QStringLiteral("port")},
        {RATE, QStringLiteral("Frames per second (default 120)."), QStringLiteral("hz"),
         QStringLiteral("120")},
        {DURATION,
         QStringLiteral("Seconds of frames (default 10); 0 sends until SIGINT or SIGTERM."),
         QStringLiteral("seconds"), QStringLiteral("10")},
        {FRAMES, QStringLiteral("Number of frames; with --duration, whichever ends first."),
         QStringLiteral("count")},
        {OTHER_ID_AT,
         QStringLiteral("Fault: frame <index> (from 0) is a body frame of ID 1 instead. "
                        "Repeatable."),
         QStringLiteral("index")},
        {BAD_CRC_AT, QStringLiteral("Fault: frame <index> carries a wrong checksum. Repeatable."),
         QStringLiteral("index")},
        {GARBAGE_AT,
         QStringLiteral("Fault: 1 to 64 random bytes (never 0xAA) before frame <index>, in the "
                        "same datagram. Repeatable."),
         QStringLiteral("index")},
        {TRUNCATE_TAIL, QStringLiteral("Fault: cut the last frame of the file short by <bytes>."),
         QStringLiteral("bytes")},
        {SEED, QStringLiteral("Seed of the garbage bytes (default 1)."), QStringLiteral("seed"),
         QStringLiteral("1")},
    });
}

ParseStatus SynthCommandLine::fail(const QString& message)
{
    error_ = message;
    return ParseStatus::Error;
}

bool SynthCommandLine::read_indices(const QString& name, std::set<std::int64_t>& into)
{
    for (const QString& value : parser_.values(name)) {
        bool ok = false;
        const qlonglong index = value.toLongLong(&ok);
        if (!ok || index < 0) {
            error_ = QStringLiteral("Invalid frame index for --%1: %2").arg(name, value);
            return false;
        }
        const std::int64_t count = options_.frame_count;
        if (count >= 0 && index >= count) {
            error_ = QStringLiteral("--%1 %2 is past the last frame (%3 frame(s))")
                         .arg(name, value)
                         .arg(count);
            return false;
        }
        into.insert(index);
    }
    return true;
}

ParseStatus SynthCommandLine::parse(const QStringList& arguments)
{
    options_ = {};
    if (!parser_.parse(arguments))
        return fail(parser_.errorText());
    if (parser_.isSet(QStringLiteral("help")))
        return ParseStatus::Help;
    if (parser_.isSet(QStringLiteral("version")))
        return ParseStatus::Version;
    if (!parser_.positionalArguments().isEmpty())
        return fail(QStringLiteral("Unexpected positional arguments: %1")
                        .arg(parser_.positionalArguments().join(QLatin1Char(' '))));

    const bool to_file = parser_.isSet(OUTPUT);
    const bool to_udp = parser_.isSet(PORT);
    if (to_file == to_udp)
        return fail(QStringLiteral("Give exactly one of --output <file> and --port <port>"));
    if (to_file) {
        options_.output = parser_.value(OUTPUT);
        if (options_.output.isEmpty())
            return fail(QStringLiteral("Invalid output file: empty name"));
        if (parser_.isSet(IP))
            return fail(QStringLiteral("--ip applies to sending with --port only"));
    } else {
        const std::optional<quint16> port = parse_udp_port(parser_.value(PORT));
        if (!port)
            return fail(QStringLiteral("Invalid UDP port: %1 (1-65535)").arg(parser_.value(PORT)));
        options_.port = *port;
        if (!options_.address.setAddress(parser_.value(IP)))
            return fail(QStringLiteral("Invalid IP address: %1").arg(parser_.value(IP)));
    }

    bool ok = false;
    options_.rate_hz = parser_.value(RATE).toDouble(&ok);
    if (!ok || !std::isfinite(options_.rate_hz) || options_.rate_hz <= 0
        || options_.rate_hz > MAX_RATE_HZ)
        return fail(QStringLiteral("Invalid rate: %1 (frames per second, above 0 and at most "
                                   "1000000)")
                        .arg(parser_.value(RATE)));

    const bool frames_set = parser_.isSet(FRAMES);
    std::int64_t frames = -1;
    if (frames_set) {
        frames = parser_.value(FRAMES).toLongLong(&ok);
        if (!ok || frames < 1)
            return fail(QStringLiteral("Invalid frame count: %1 (1 or more)")
                            .arg(parser_.value(FRAMES)));
    }
    // The default duration applies only when no frame count is given.
    double duration = frames_set ? 0 : DEFAULT_DURATION_S;
    if (parser_.isSet(DURATION)) {
        duration = parser_.value(DURATION).toDouble(&ok);
        if (!ok || !std::isfinite(duration) || duration < 0 || duration > MAX_DURATION_S)
            return fail(QStringLiteral("Invalid duration: %1 (seconds, 0 or more)")
                            .arg(parser_.value(DURATION)));
    }
    std::int64_t count = duration > 0 ? std::llround(duration * options_.rate_hz) : -1;
    if (frames >= 0)
        count = count >= 0 ? std::min(count, frames) : frames;
    if (count < 0 && to_file)
        return fail(QStringLiteral("--duration 0 writes without end: give --frames for a file"));
    options_.frame_count = count;

    if (!read_indices(OTHER_ID_AT, options_.faults.other_id_at)
        || !read_indices(BAD_CRC_AT, options_.faults.bad_crc_at)
        || !read_indices(GARBAGE_AT, options_.faults.garbage_at))
        return ParseStatus::Error;

    options_.faults.seed = parser_.value(SEED).toULongLong(&ok);
    if (!ok)
        return fail(QStringLiteral("Invalid seed: %1 (a whole number, 0 or more)")
                        .arg(parser_.value(SEED)));

    if (parser_.isSet(TRUNCATE_TAIL)) {
        if (!to_file)
            return fail(QStringLiteral("--truncate-tail applies to --output only"));
        const int bytes = parser_.value(TRUNCATE_TAIL).toInt(&ok);
        const qsizetype last_size =
            count > 0 ? FrameGenerator(options_.rate_hz, options_.faults).frame_size(count - 1) : 0;
        if (!ok || bytes < 1 || bytes >= last_size)
            return fail(QStringLiteral("Invalid byte count for --truncate-tail: %1 (1 to %2 for "
                                       "the last frame)")
                            .arg(parser_.value(TRUNCATE_TAIL))
                            .arg(last_size - 1));
        options_.truncate_tail = bytes;
    }
    return ParseStatus::Ok;
}

} // namespace nmb::synth
