#include "dbx-kicad/live/kicad_replies.h"

#include <algorithm>

#include "dbx-kicad/kicad_text/board_outline.h"

namespace bitlay::kicad {

namespace cmd = kiapi::common::commands;
namespace types = kiapi::common::types;
namespace board = kiapi::board::types;

namespace {

// The enum's values from F.Cu on are the board layers, each named as KiCad names the layer with
// this prefix and '_' for '.'.
constexpr std::string_view kValuePrefix = "BL_";

// Where a layer stands in the editor's own lists (its layer manager, the layers section of the
// board files it writes): the enum's order from F.Cu, except that Rescue comes last and the front
// layer of each technical pair before the back one. Any number a reply holds has a rank, however
// large.
long long editorRank(int apiLayer) noexcept {
    if (apiLayer < board::BL_F_Cu || apiLayer > board::BL_User_45 || apiLayer == board::BL_Rescue) {
        return 1000LL + apiLayer;  // Rescue, anything newer
    }
    const int place = apiLayer - board::BL_F_Cu - (apiLayer > board::BL_Rescue ? 1 : 0);
    switch (apiLayer) {
        case board::BL_B_Adhes:
        case board::BL_B_Paste:
        case board::BL_B_SilkS:
        case board::BL_B_Mask:
        case board::BL_B_CrtYd:
        case board::BL_B_Fab:
            return place + 1;
        case board::BL_F_Adhes:
        case board::BL_F_Paste:
        case board::BL_F_SilkS:
        case board::BL_F_Mask:
        case board::BL_F_CrtYd:
        case board::BL_F_Fab:
            return place - 1;
        default:
            return place;
    }
}

}  // namespace

std::string canonicalLayerName(int apiLayer) {
    if (apiLayer < board::BL_F_Cu || !board::BoardLayer_IsValid(apiLayer)) return {};
    std::string name = board::BoardLayer_Name(static_cast<board::BoardLayer>(apiLayer))
                           .substr(kValuePrefix.size());
    std::replace(name.begin(), name.end(), '_', '.');
    return name;
}

int apiLayerNumber(std::string_view canonicalName) {
    std::string valueName = std::string(kValuePrefix).append(canonicalName);
    std::replace(valueName.begin(), valueName.end(), '.', '_');
    board::BoardLayer layer = board::BL_UNKNOWN;
    // The way back must give the same name: "F_Cu" and "UNDEFINED" are no layer names.
    if (!board::BoardLayer_Parse(valueName, &layer) || canonicalLayerName(layer) != canonicalName) {
        return 0;
    }
    return layer;
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
            return {CallOutcome::kBadReply, kiapi::common::AS_UNKNOWN,
                    "a layer KiCad 9 does not have"};
        }
    }
    return {};
}

CallResult layersOfSavedBoard(std::string_view contents, std::vector<int>& apiLayers,
                              std::vector<LayerName>& names) {
    const BoardOutline outline = readBoardOutline(contents);
    if (outline.result != BoardReadResult::kOk || outline.layers.empty()) {
        return {CallOutcome::kBadReply, kiapi::common::AS_UNKNOWN,
                "the board KiCad saved has no layers section"};
    }
    for (const BoardLayer& layer : outline.layers) {
        const int apiLayer = apiLayerNumber(layer.canonicalName);
        if (apiLayer == 0)
            return {CallOutcome::kBadReply, kiapi::common::AS_UNKNOWN,
                    "a layer KiCad 9 does not have"};
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
