// The pose service client's handling of an incoming text message, with
// arbitrary JSON and arbitrary non-JSON.
//
// The whole input is one message. The client (the process-wide instance, on
// one QCoreApplication made at start-up) takes it twice from a fresh
// handshake state: once accepting every skeleton, once interested in
// "performer1" only. Its signals must agree with the message's
// classification: server_ready gives one ready() per connection, a bad
// get_pose_data gives its error text, a good one gives the valid joints
// (only finite values within float range, non-empty names), and nothing
// else gives any signal. The joints received must also go out again as a
// pose_frame that reads back to the same names, parents and values.

#include "fuzz_check.h"
#include "pose_frame_writer.h"
#include "skelora.h"
#include "skelora_messages.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QObject>
#include <QString>

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using nmb::Skelora;
using nmb::skelora::IncomingKind;

struct Signals {
    int ready = 0;
    std::vector<QString> errors;
    std::vector<std::pair<std::string, Skelora::PoseList>> poses;
};

Signals* received = nullptr;

bool same_pose(const Skelora::PoseData& a, const Skelora::PoseData& b)
{
    return a.name == b.name && a.parent == b.parent && a.position == b.position
        && a.orientation == b.orientation;
}

bool same_poses(const Skelora::PoseList& a, const Skelora::PoseList& b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!same_pose(a[i], b[i]))
            return false;
    return true;
}

void check_pose_values(const Skelora::PoseData& pose)
{
    NMB_FUZZ_CHECK(!pose.name.empty());
    NMB_FUZZ_CHECK(nmb::skelora::is_sendable(pose));
    for (const float value : pose.position)
        NMB_FUZZ_CHECK(std::isfinite(value));
    for (const float value : pose.orientation)
        NMB_FUZZ_CHECK(std::isfinite(value));
}

// The joints go out as a pose_frame and read back unchanged: floats widen
// to double and narrow back exactly.
void check_round_trip(const std::string& skeleton_id, const Skelora::PoseList& poses)
{
    const std::string text = nmb::skelora::pose_frame_message(skeleton_id, poses, 1700000000123);
    nmb::skelora::PoseFrameWriter writer;
    NMB_FUZZ_CHECK(writer.write(skeleton_id, poses, 1700000000123) == text);

    const nlohmann::json document = nlohmann::json::parse(text, nullptr, false);
    NMB_FUZZ_CHECK(document.is_object());
    NMB_FUZZ_CHECK(document.at("type") == "pose_frame");
    NMB_FUZZ_CHECK(document.at("skeleton") == skeleton_id);
    const nlohmann::json& joints = document.at("joints");
    NMB_FUZZ_CHECK(joints.is_array() && joints.size() == poses.size());
    for (std::size_t i = 0; i < poses.size(); ++i) {
        const nlohmann::json& joint = joints.at(i);
        NMB_FUZZ_CHECK(joint.at("name") == poses[i].name);
        if (poses[i].parent.empty())
            NMB_FUZZ_CHECK(joint.at("parent").is_null());
        else
            NMB_FUZZ_CHECK(joint.at("parent") == poses[i].parent);
        for (std::size_t k = 0; k < 3; ++k)
            NMB_FUZZ_CHECK(float(joint.at("position").at(k).get<double>()) == poses[i].position[k]);
        for (std::size_t k = 0; k < 4; ++k)
            NMB_FUZZ_CHECK(float(joint.at("orientation").at(k).get<double>()) == poses[i].orientation[k]);
    }
}

// One pass of the message through the client from a fresh handshake state;
// `interested` is the skeleton the client wants, empty for all.
void check_client(Skelora& client, const QByteArray& message, const nmb::skelora::IncomingMessage& parsed,
                  const std::string& interested)
{
    client.set_interested_skeletons(interested.empty() ? std::vector<std::string>{}
                                                       : std::vector<std::string>{interested});
    client.begin_handshake(); // clears the ready flag; there is no connection to greet
    Signals seen;
    received = &seen;
    client.filter_pose_data(message);
    client.filter_pose_data(message);
    received = nullptr;

    switch (parsed.kind) {
    case IncomingKind::Ignored:
        NMB_FUZZ_CHECK(seen.ready == 0 && seen.errors.empty() && seen.poses.empty());
        break;
    case IncomingKind::ServerReady:
        // Once per connection, however often the service says it.
        NMB_FUZZ_CHECK(seen.ready == 1 && seen.errors.empty() && seen.poses.empty());
        break;
    case IncomingKind::InvalidPoseData:
    case IncomingKind::EmptySkeletonId: {
        const QString text = parsed.kind == IncomingKind::InvalidPoseData
            ? QStringLiteral("Invalid get_pose_data message.")
            : QStringLiteral("Invalid get_pose_data skeleton ID.");
        NMB_FUZZ_CHECK(seen.ready == 0 && seen.poses.empty());
        NMB_FUZZ_CHECK(seen.errors.size() == 2 && seen.errors[0] == text && seen.errors[1] == text);
        break;
    }
    case IncomingKind::PoseData: {
        NMB_FUZZ_CHECK(seen.ready == 0 && seen.errors.empty());
        const bool wanted = interested.empty() || parsed.skeleton_id == interested;
        NMB_FUZZ_CHECK(seen.poses.size() == (wanted ? 2u : 0u));
        for (const auto& [skeleton, poses] : seen.poses) {
            NMB_FUZZ_CHECK(skeleton == parsed.skeleton_id);
            NMB_FUZZ_CHECK(same_poses(poses, parsed.poses));
        }
        break;
    }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication application(*argc, *argv);
    Skelora* client = Skelora::instance();
    QObject::connect(client, &Skelora::ready, &application, [] {
        if (received)
            ++received->ready;
    });
    QObject::connect(client, &Skelora::error_occurred, &application, [](const QString& message) {
        if (received)
            received->errors.push_back(message);
    });
    QObject::connect(client, &Skelora::pose_data_received, &application,
                     [](const std::string& skeleton, const Skelora::PoseList& poses) {
                         if (received)
                             received->poses.emplace_back(skeleton, poses);
                     });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // No copy: a read past the end of the message is a read past the input.
    const QByteArray message =
        QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
    const nmb::skelora::IncomingMessage parsed = nmb::skelora::parse_message(message);
    if (parsed.kind == IncomingKind::PoseData) {
        NMB_FUZZ_CHECK(!parsed.skeleton_id.empty());
        for (const Skelora::PoseData& pose : parsed.poses)
            check_pose_values(pose);
        check_round_trip(parsed.skeleton_id, parsed.poses);
    } else {
        NMB_FUZZ_CHECK(parsed.skeleton_id.empty());
        NMB_FUZZ_CHECK(parsed.poses.empty());
    }

    Skelora& client = *Skelora::instance();
    check_client(client, message, parsed, {});
    check_client(client, message, parsed, "performer1");
    return 0;
}
