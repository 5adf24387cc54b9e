#include "dbx-kicad/live/kicad_replies.h"

#include <algorithm>
#include <array>

#include "dbx-kicad/kicad_text/board_outline.h"

namespace bitlay::kicad {

namespace cmd = kiapi::common::commands;
namespace types = kiapi::common::types;

namespace {

// Where a layer stands in the editor's own lists (its layer manager, the layers section of the
// board files it writes): copper from top to bottom, then front before back in each technical
// pair. The API hands the enabled layers over in its internal numbering instead. Any number a
// reply holds has a rank, however large.
long long editorRank(int apiLayer) noexcept {
    if (apiLayer >= 3 && apiLayer <= 34) return apiLayer - 3;  // F.Cu, In1.Cu ... In30.Cu, B.Cu
    if (apiLayer >= 35 && apiLayer <= 42) return apiLayer % 2 == 0 ? apiLayer - 4 : apiLayer - 2;
    if (apiLayer >= 43 && apiLayer <= 48) return apiLayer - 3;  // Dwgs.User ... Margin
    if (apiLayer >= 49 && apiLayer <= 52) return apiLayer % 2 == 0 ? apiLayer - 4 : apiLayer - 2;
    if (apiLayer >= 53 && apiLayer <= 61) return apiLayer - 3;  // User.1 ... User.9
    if (apiLayer >= 63 && apiLayer <= 98) return apiLayer - 4;  // User.10 ... User.45
    return 1000LL + apiLayer;                                   // Rescue, anything newer
}

}  // namespace

std::string canonicalLayerName(int apiLayer) {
    static const std::array<const char*, 28> kFixed = {
        "B.Cu",   "B.Adhes", "F.Adhes",   "B.Paste",   "F.Paste",   "B.SilkS",   "F.SilkS",
        "B.Mask", "F.Mask",  "Dwgs.User", "Cmts.User", "Eco1.User", "Eco2.User", "Edge.Cuts",
        "Margin", "B.CrtYd", "F.CrtYd",   "B.Fab",     "F.Fab",     "User.1",    "User.2",
        "User.3", "User.4",  "User.5",    "User.6",    "User.7",    "User.8",    "User.9"};
    if (apiLayer == 3) return "F.Cu";
    if (apiLayer >= 4 && apiLayer <= 33) return "In" + std::to_string(apiLayer - 3) + ".Cu";
    if (apiLayer >= 34 && apiLayer <= 61) return kFixed[static_cast<std::size_t>(apiLayer - 34)];
    if (apiLayer == 62) return "Rescue";
    if (apiLayer >= 63 && apiLayer <= 98) return "User." + std::to_string(apiLayer - 53);
    return {};
}

int apiLayerNumber(std::string_view canonicalName) {
    for (int layer = 3; layer <= 98; ++layer) {
        if (canonicalLayerName(layer) == canonicalName) return layer;
    }
    return 0;
}

bool supportedVersion(const cmd::GetVersionResponse& version) noexcept {
    return version.version().major() >= 9;
}

CallResult enabledLayersInEditorOrder(
    const kiapi::board::commands::BoardEnabledLayersResponse& enabled,
    std::vector<int>& apiLayers) {
    apiLayers.assign(enabled.layers().begin(), enabled.layers().end());
    std::stable_sort(apiLayers.begin(), apiLayers.end(),
                     [](int a, int b) { return editorRank(a) < editorRank(b); });
    for (const int layer : apiLayers) {
        if (canonicalLayerName(layer).empty()) {
            return {CallOutcome::kBadReply, 0, "a layer KiCad 9 does not have"};
        }
    }
    return {};
}

CallResult layersOfSavedBoard(std::string_view contents, std::vector<int>& apiLayers,
                              std::vector<LayerName>& names) {
    const BoardOutline outline = readBoardOutline(contents);
    if (outline.result != BoardReadResult::kOk || outline.layers.empty()) {
        return {CallOutcome::kBadReply, 0, "the board KiCad saved has no layers section"};
    }
    for (const BoardLayer& layer : outline.layers) {
        const int apiLayer = apiLayerNumber(layer.canonicalName);
        if (apiLayer == 0) return {CallOutcome::kBadReply, 0, "a layer KiCad 9 does not have"};
        apiLayers.push_back(apiLayer);
        names.push_back(makeLayerName(layer.canonicalName, layer.userName));
    }
    return {};
}

bool createdTheItem(const cmd::CreateItemsResponse& created) noexcept {
    return created.status() == types::IRS_OK && created.created_items_size() == 1 &&
           created.created_items(0).status().code() == cmd::ISC_OK;
}

}  // namespace bitlay::kicad
