#pragma once

// What the stand-in reads from KiCad's replies, apart from the calls that bring them: the layer
// numbers and names of KiCad's API, and the reading of each reply whose contents matter.

#include <string>
#include <string_view>
#include <vector>

#include "dbx-kicad/api/kicad_ipc.h"
#include "dbx-kicad/api/proto/board_commands.pb.h"
#include "dbx-kicad/api/proto/common_commands.pb.h"
#include "dbx-kicad/design.h"

namespace bitlay::kicad {

// KiCad's name of a board layer by its API number ("F.Cu", "In1.Cu", "User.12"); empty when the
// number names no layer.
std::string canonicalLayerName(int apiLayer);

// The API number of a layer by KiCad's canonical name; 0 when the name names no layer.
int apiLayerNumber(std::string_view canonicalName);

// KiCad 9 and later speak the API the stand-in uses.
bool supportedVersion(const kiapi::common::commands::GetVersionResponse& version) noexcept;

// The layers a board enables, in the editor's order and each once; a bad reply when one of them
// is no layer KiCad 9 has.
CallResult enabledLayersInEditorOrder(
    const kiapi::board::commands::BoardEnabledLayersResponse& enabled, std::vector<int>& apiLayers);

// The same list from the board as KiCad saved it to text (its layers section lists the enabled
// layers in the editor's order, each with the name KiCad shows where that differs), with the
// layers' names; a bad reply when the text is no board with layers or names a layer KiCad 9 does
// not have.
CallResult layersOfSavedBoard(std::string_view contents, std::vector<int>& apiLayers,
                              std::vector<LayerName>& names);

// Whether KiCad created the one item that CreateItems handed it.
bool createdTheItem(const kiapi::common::commands::CreateItemsResponse& created) noexcept;

}  // namespace bitlay::kicad
