#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <utility>
#include <vector>

#include "dbx-kicad/api/kicad_ipc.h"
#include "dbx-kicad/api/proto/board_commands.pb.h"
#include "dbx-kicad/api/proto/common_commands.pb.h"
#include "dbx-kicad/file/board_text.h"
#include "dbx-kicad/live/kicad_calls.h"
#include "dbx-kicad/live/live_design.h"
#include "dbx-kicad/status.h"

namespace bitlay::kicad {

namespace cmd = kiapi::common::commands;
namespace types = kiapi::common::types;
namespace board = kiapi::board;

namespace {

// The lock file beside KiCad's socket; null with 32106 when another attachment holds it, 32008
// when it is a link or someone else's file.
DbxStatusCode lockEditor(const std::string& url, std::unique_ptr<EditorLock>& lock) {
    const LockFile file = openEditorLock(socketPath(url), ::geteuid());
    if (file.refused) return status::kSecurityError;
    const int fd = file.fd;
    if (fd < 0) return status::kServerError;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return status::kServerBusy;
    }
    lock = std::make_unique<EditorLock>(fd);
    return status::kOk;
}

// Where a layer stands in the editor's own lists (its layer manager, the layers section of the
// board files it writes): copper from top to bottom, then front before back in each technical
// pair. The API hands the enabled layers over in its internal numbering instead.
int editorRank(int apiLayer) noexcept {
    if (apiLayer >= 3 && apiLayer <= 34) return apiLayer - 3;  // F.Cu, In1.Cu ... In30.Cu, B.Cu
    if (apiLayer >= 35 && apiLayer <= 42) return apiLayer % 2 == 0 ? apiLayer - 4 : apiLayer - 2;
    if (apiLayer >= 43 && apiLayer <= 48) return apiLayer - 3;  // Dwgs.User ... Margin
    if (apiLayer >= 49 && apiLayer <= 52) return apiLayer % 2 == 0 ? apiLayer - 4 : apiLayer - 2;
    if (apiLayer >= 53 && apiLayer <= 61) return apiLayer - 3;  // User.1 ... User.9
    if (apiLayer >= 63 && apiLayer <= 98) return apiLayer - 4;  // User.10 ... User.45
    return 1000 + apiLayer;                                     // Rescue, anything newer
}

// The board's enabled layers in the editor's order with KiCad's names for them, asked layer by
// layer (KiCad 9.0.5 and later).
CallResult askLayers(KicadIpc& ipc, const types::DocumentSpecifier& board,
                     std::vector<int>& apiLayers, std::vector<LayerName>& names) {
    const auto readyWait = std::chrono::milliseconds(kReadyWaitMilliseconds);
    board::commands::GetBoardEnabledLayers layersQuery;
    *layersQuery.mutable_board() = board;
    board::commands::BoardEnabledLayersResponse enabled;
    CallResult result = callWhenReady(ipc, layersQuery, &enabled, kShortCallTimeout, readyWait);
    if (!result.ok()) return result;

    apiLayers.assign(enabled.layers().begin(), enabled.layers().end());
    std::stable_sort(apiLayers.begin(), apiLayers.end(),
                     [](int a, int b) { return editorRank(a) < editorRank(b); });
    for (const int layer : apiLayers) {
        const std::string canonical = canonicalLayerName(layer);
        if (canonical.empty()) return {CallOutcome::kBadReply, 0, "a layer KiCad 9 does not have"};
        board::commands::GetBoardLayerName nameQuery;
        *nameQuery.mutable_board() = board;
        nameQuery.set_layer(static_cast<board::types::BoardLayer>(layer));
        board::commands::BoardLayerNameResponse name;
        result = callWhenReady(ipc, nameQuery, &name, kShortCallTimeout, readyWait);
        if (!result.ok()) return result;
        names.push_back(makeLayerName(canonical, name.name()));
    }
    return result;
}

// The same list read from the board as KiCad would save it, for the KiCads that cannot be asked
// (9.0.0 to 9.0.4): its layers section lists the enabled layers in the editor's order, each with
// the name KiCad shows where that differs from the canonical one.
CallResult readLayers(KicadIpc& ipc, const types::DocumentSpecifier& board,
                      std::vector<int>& apiLayers, std::vector<LayerName>& names) {
    cmd::SaveDocumentToString query;
    *query.mutable_document() = board;
    cmd::SavedDocumentResponse saved;
    const CallResult result = callWhenReady(ipc, query, &saved, kLongCallTimeout,
                                            std::chrono::milliseconds(kReadyWaitMilliseconds));
    if (!result.ok()) return result;
    const BoardOutline outline = readBoardOutline(saved.contents());
    if (outline.result != BoardReadResult::kOk || outline.layers.empty()) {
        return {CallOutcome::kBadReply, 0, "the board KiCad saved has no layers section"};
    }
    for (const BoardLayer& layer : outline.layers) {
        const int apiLayer = apiLayerNumber(layer.canonicalName);
        if (apiLayer == 0) return {CallOutcome::kBadReply, 0, "a layer KiCad 9 does not have"};
        apiLayers.push_back(apiLayer);
        names.push_back(makeLayerName(layer.canonicalName, layer.userName));
    }
    return result;
}

DbxStatusCode listLayers(KicadIpc& ipc, const types::DocumentSpecifier& board,
                         std::vector<int>& apiLayers, std::vector<LayerName>& names) {
    CallResult result = askLayers(ipc, board, apiLayers, names);
    if (result.outcome == CallOutcome::kRefused && result.apiStatus == api_status::kUnhandled) {
        apiLayers.clear();
        names.clear();
        result = readLayers(ipc, board, apiLayers, names);
    }
    return statusOf(result);
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

LiveAttachment openLiveDesign(const EditorSocket& socket, std::unique_ptr<Design>& design) {
    const std::string& url = socket.url;
    auto ipc = std::make_unique<KicadIpc>();
    if (!ipc->connect(url, socket.token).ok()) return {false, status::kOk};

    const auto readyWait = std::chrono::milliseconds(kReadyWaitMilliseconds);
    cmd::GetVersionResponse version;
    CallResult result =
        callWhenReady(*ipc, cmd::GetVersion{}, &version, kShortCallTimeout, readyWait);
    if (!result.ok()) return {true, statusOf(result)};
    if (version.version().major() < 9) return {true, status::kVersionIncompatible};

    cmd::GetOpenDocuments query;
    query.set_type(types::DOCTYPE_PCB);
    cmd::GetOpenDocumentsResponse documents;
    result = callWhenReady(*ipc, query, &documents, kShortCallTimeout, readyWait);
    // The project manager answers UNHANDLED until its board editor is open: no board there.
    if (result.outcome == CallOutcome::kRefused && result.apiStatus == api_status::kUnhandled) {
        return {false, status::kOk};
    }
    if (!result.ok()) return {true, statusOf(result)};
    if (documents.documents_size() == 0) return {false, status::kOk};
    const types::DocumentSpecifier board = documents.documents(0);

    std::unique_ptr<EditorLock> lock;
    if (const DbxStatusCode locked = lockEditor(url, lock); locked != status::kOk) {
        return {true, locked};
    }

    std::vector<int> apiLayers;
    std::vector<LayerName> names;
    if (const DbxStatusCode listed = listLayers(*ipc, board, apiLayers, names);
        listed != status::kOk) {
        return {true, listed};
    }

    design = makeLiveDesign(std::move(ipc), board, std::move(apiLayers), std::move(names),
                            std::move(lock));
    return {true, status::kOk};
}

}  // namespace bitlay::kicad
