#pragma once

// The design as the board open in a running KiCad 9 or later, reached through KiCad's API: lines
// appear in the editor while the transfer runs, and one transfer is one undo step there.

#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dbx-kicad/api/proto/common_types.pb.h"
#include "dbx-kicad/design.h"
#include "dbx-kicad/live/editor_sockets.h"
#include "dbx-kicad/unique_fd.h"

namespace bitlay::kicad {

class KicadIpc;

// What became of an attempt to attach to a running KiCad.
struct LiveAttachment {
    // False when nobody listens at the socket (no KiCad runs there) or the KiCad there answered
    // that it has no board open: the caller tries the next socket, then the board file. True when
    // this KiCad is the design, answering or not; then `status` says how attaching went.
    bool editorFound = false;
    DbxStatusCode status = 0;
    std::unique_ptr<Design> design;  // set exactly when the KiCad was found and `status` is 0
};

// How long a KiCad that answers but is not ready (starting, a dialog open) is waited for.
constexpr int kReadyWaitMilliseconds = 3000;

// The longest the caller is held for a KiCad that has taken the connection but does not answer
// (stopped, swapped out, busy with another client's request): at attach, and at a transfer's
// first line.
constexpr std::chrono::milliseconds kAnswerWait{60000};

// How long the live design waits for a KiCad that does not answer.
struct LivePolicy {
    // The quiet after the caller left that ends a transfer.
    std::chrono::milliseconds quietBeforeEnd{30};
    // The most a transfer's first line holds the caller, while the transfer before it is still
    // on its way and KiCad opens the commit; then the transfer is refused.
    std::chrono::milliseconds callerWait{kAnswerWait};
    // The most TCloseDesign waits for the transfer on its way before it gives it up.
    std::chrono::milliseconds closeWait{5000};
};

// The design over an attached KiCad: its board, its layers (API numbers, editor's order) and
// their names, the lock beside KiCad's socket it holds while attached.
std::unique_ptr<Design> makeLiveDesign(std::unique_ptr<KicadIpc> ipc,
                                       kiapi::common::types::DocumentSpecifier board,
                                       std::vector<int> apiLayers, std::vector<LayerName> names,
                                       UniqueFd lock, const LivePolicy& policy = {});

// Attaches to the first board open in the KiCad listening at `socket` (an nng address; its token
// goes with every request). A KiCad that has taken the connection is waited for until `answerBy`
// (then 32105), and never given up half-way through the handshake before. A second attachment to
// the same KiCad, from any process, is refused with 32106 while the first holds. The caller
// serialises all calls.
LiveAttachment openLiveDesign(const EditorSocket& socket,
                              std::chrono::steady_clock::time_point answerBy);

}  // namespace bitlay::kicad
