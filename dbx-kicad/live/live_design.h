#pragma once

// The design as the board open in a running KiCad 9 or later, reached through KiCad's API: lines
// appear in the editor while the transfer runs, and one transfer is one undo step there.

#include <memory>
#include <string>
#include <string_view>

#include "dbx-kicad/design.h"
#include "dbx-kicad/live/editor_sockets.h"

namespace bitlay::kicad {

// What became of an attempt to attach to a running KiCad.
struct LiveAttachment {
    // False when no KiCad answered at `url` or it has no board open: the caller falls back to
    // the board file. True when this KiCad is the design; then `status` says how attaching went.
    bool editorFound = false;
    DbxStatusCode status = 0;
};

// How long a KiCad that answers but is not ready (starting, a dialog open) is waited for.
constexpr int kReadyWaitMilliseconds = 3000;

// Attaches to the first board open in the KiCad listening at `socket` (an nng address; its token
// goes with every request). A second attachment to the same KiCad, from any process, is refused
// with 32106 while the first holds. The caller serialises all calls.
LiveAttachment openLiveDesign(const EditorSocket& socket, std::unique_ptr<Design>& design);

// KiCad's name of a board layer by its API number ("F.Cu", "In1.Cu", "User.12"); empty when the
// number names no layer.
std::string canonicalLayerName(int apiLayer);

// The API number of a layer by KiCad's canonical name; 0 when the name names no layer.
int apiLayerNumber(std::string_view canonicalName);

}  // namespace bitlay::kicad
