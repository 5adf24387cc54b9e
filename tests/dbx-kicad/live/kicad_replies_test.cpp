// What the stand-in reads from KiCad's replies, from the bytes on: the envelope and its status,
// the layers of GetBoardEnabledLayers and of a board saved to text. Replies of a KiCad of another
// version, cut short or damaged, among them the inputs the reply fuzz target found.

#include "dbx-kicad/live/kicad_replies.h"

#include <gtest/gtest.h>

#include <climits>
#include <iterator>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "dbx-kicad/api/proto/envelope.pb.h"
#include "dbx-kicad/kicad_text/default_board.h"
#include "dbx-kicad/live/kicad_calls.h"

namespace {

using namespace bitlay::kicad;
namespace cmd = kiapi::common::commands;
namespace boardcmd = kiapi::board::commands;

std::string reply(const google::protobuf::Message* message, int status = 1) {
    kiapi::common::ApiResponse response;
    response.mutable_status()->set_status(static_cast<kiapi::common::ApiStatusCode>(status));
    if (status != 1) response.mutable_status()->set_error_message("refused");
    if (message != nullptr) response.mutable_message()->PackFrom(*message);
    return response.SerializeAsString();
}

std::string versionReply(unsigned major) {
    cmd::GetVersionResponse version;
    version.mutable_version()->set_major(major);
    return reply(&version);
}

struct ReplyCase {
    const char* label;
    std::string bytes;
    CallOutcome outcome;
    DbxStatusCode status;  // what the DBX call returns for it
};

void PrintTo(const ReplyCase& replyCase, std::ostream* out) { *out << replyCase.label; }

class Replies : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(Replies, DecodeToTheirStatus) {
    cmd::GetVersionResponse version;
    const CallResult result =
        decodeReply(GetParam().bytes.data(), GetParam().bytes.size(), &version);
    EXPECT_EQ(result.outcome, GetParam().outcome) << result.message;
    EXPECT_EQ(statusOf(result), GetParam().status);
    if (result.ok()) {
        EXPECT_EQ(version.version().major(), 10u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    KicadReplies, Replies,
    ::testing::Values(ReplyCase{"Answered", versionReply(10), CallOutcome::kOk, 0},
                      ReplyCase{"Busy", reply(nullptr, 7), CallOutcome::kRefused, 32106},
                      ReplyCase{"NotReady", reply(nullptr, 4), CallOutcome::kRefused, 32106},
                      ReplyCase{"Restarted", reply(nullptr, 6), CallOutcome::kRefused, 32102},
                      ReplyCase{"Unhandled", reply(nullptr, 5), CallOutcome::kRefused, 32004},
                      ReplyCase{"CutShort", versionReply(10).substr(0, 9), CallOutcome::kBadReply,
                                32003},
                      ReplyCase{"NotProtobuf", "\xff\xff\xff\xff", CallOutcome::kBadReply, 32003},
                      // A status text that is not UTF-8 is no API response.
                      ReplyCase{"StatusNotText", std::string("\x12\x04\x12\x02\xc3\x28", 6),
                                CallOutcome::kBadReply, 32003}),
    [](const auto& info) { return std::string(info.param.label); });

// The layers GetBoardEnabledLayers lists, in the editor's order; any number KiCad 9 and 10 do
// not have refuses the reply, however large.
struct LayersCase {
    const char* label;
    std::vector<int> listed;
    std::vector<int> ordered;  // empty: refused
};

void PrintTo(const LayersCase& layersCase, std::ostream* out) { *out << layersCase.label; }

class EnabledLayers : public ::testing::TestWithParam<LayersCase> {};

TEST_P(EnabledLayers, ComeInTheEditorsOrderOrAreRefused) {
    boardcmd::BoardEnabledLayersResponse enabled;
    for (const int layer : GetParam().listed) {
        enabled.add_layers(static_cast<kiapi::board::types::BoardLayer>(layer));
    }
    // Through the bytes, as KiCad's reply comes.
    boardcmd::BoardEnabledLayersResponse decoded;
    const std::string bytes = reply(&enabled);
    ASSERT_TRUE(decodeReply(bytes.data(), bytes.size(), &decoded).ok());
    std::vector<int> apiLayers;
    const CallResult result = enabledLayersInEditorOrder(decoded, apiLayers);
    if (GetParam().ordered.empty()) {
        EXPECT_EQ(statusOf(result), 32003);
    } else {
        ASSERT_TRUE(result.ok()) << result.message;
        EXPECT_EQ(apiLayers, GetParam().ordered);
    }
}

INSTANTIATE_TEST_SUITE_P(
    KicadReplies, EnabledLayers,
    ::testing::Values(
        // F.Cu, B.Cu, F.SilkS, B.SilkS, Edge.Cuts, User.1, User.10, In1.Cu
        LayersCase{"EditorsOrder", {3, 34, 40, 39, 47, 53, 63, 4}, {3, 4, 34, 40, 39, 47, 53, 63}},
        LayersCase{"Rescue", {62, 3}, {3, 62}}, LayersCase{"UnknownLayer", {3, 99}, {}},
        LayersCase{"Negative", {3, -5}, {}}, LayersCase{"Largest", {3, INT_MAX}, {}},
        LayersCase{"Smallest", {INT_MIN, 3}, {}}),
    [](const auto& info) { return std::string(info.param.label); });

// Every layer of KiCad 9 and 10 in the editor's order (its layer manager, the layers section of
// the board files it writes), by the name KiCad writes in board files and the API's number.
std::vector<std::pair<std::string, int>> everyLayer() {
    std::vector<std::pair<std::string, int>> layers{{"F.Cu", 3}};
    for (int inner = 1; inner <= 30; ++inner) {
        layers.emplace_back("In" + std::to_string(inner) + ".Cu", 3 + inner);
    }
    const std::pair<const char*, int> afterInner[] = {
        {"B.Cu", 34},      {"F.Adhes", 36},   {"B.Adhes", 35},   {"F.Paste", 38},
        {"B.Paste", 37},   {"F.SilkS", 40},   {"B.SilkS", 39},   {"F.Mask", 42},
        {"B.Mask", 41},    {"Dwgs.User", 43}, {"Cmts.User", 44}, {"Eco1.User", 45},
        {"Eco2.User", 46}, {"Edge.Cuts", 47}, {"Margin", 48},    {"F.CrtYd", 50},
        {"B.CrtYd", 49},   {"F.Fab", 52},     {"B.Fab", 51}};
    layers.insert(layers.end(), std::begin(afterInner), std::end(afterInner));
    // Rescue came between User.9 and User.10, so the later user layers are one further on.
    for (int user = 1; user <= 45; ++user) {
        layers.emplace_back("User." + std::to_string(user), user <= 9 ? 52 + user : 53 + user);
    }
    layers.emplace_back("Rescue", 62);
    return layers;
}

TEST(KicadReplies, EveryLayerHasItsNameAndNumberBothWays) {
    for (const auto& [name, number] : everyLayer()) {
        EXPECT_EQ(canonicalLayerName(number), name) << number;
        EXPECT_EQ(apiLayerNumber(name), number) << name;
    }
}

TEST(KicadReplies, EveryLayerEnabledComesInTheEditorsOrder) {
    boardcmd::BoardEnabledLayersResponse enabled;
    for (int layer = 98; layer >= 3; --layer) {
        enabled.add_layers(static_cast<kiapi::board::types::BoardLayer>(layer));
    }
    std::vector<int> ordered;
    ASSERT_TRUE(enabledLayersInEditorOrder(enabled, ordered).ok());
    std::vector<int> expected;
    for (const auto& layer : everyLayer()) expected.push_back(layer.second);
    EXPECT_EQ(ordered, expected);
}

TEST(KicadReplies, WhatIsNoLayerHasNoNameAndNoNumber) {
    // 0 to 2 are the API's unknown, undefined and unselected layer.
    for (const int number : {INT_MIN, -1, 0, 1, 2, 99, INT_MAX}) {
        EXPECT_EQ(canonicalLayerName(number), "") << number;
    }
    for (const char* name :
         {"", "F_Cu", "BL_F_Cu", "f.cu", "F.Cu ", "Edge_Cuts", "UNKNOWN", "UNDEFINED", "UNSELECTED",
          "In0.Cu", "In31.Cu", "User.0", "User.46", "User.01"}) {
        EXPECT_EQ(apiLayerNumber(name), 0) << name;
    }
}

TEST(KicadReplies, SavedBoardGivesItsLayersWithTheirNames) {
    std::vector<int> apiLayers;
    std::vector<LayerName> names;
    ASSERT_TRUE(layersOfSavedBoard(defaultBoardText(), apiLayers, names).ok());
    ASSERT_EQ(apiLayers.size(), 24u);
    EXPECT_EQ(apiLayers.front(), 3);
    EXPECT_EQ(std::string(names[6].data()), "F.Silkscreen");

    for (const std::string& broken :
         {std::string(), std::string("(kicad_pcb (version 20241229) (layers))"),
          std::string(
              R"((kicad_pcb (version 20241229) (layers (0 "F.Cu" signal) (1 "X.Cu" signal))))")}) {
        apiLayers.clear();
        names.clear();
        EXPECT_EQ(statusOf(layersOfSavedBoard(broken, apiLayers, names)), 32003) << broken;
    }
}

}  // namespace
