#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <utility>
#include <vector>

#include "dbx-kicad/api/handshake.h"
#include "dbx-kicad/api/kicad_ipc.h"
#include "dbx-kicad/api/proto/board_commands.pb.h"
#include "dbx-kicad/api/proto/common_commands.pb.h"
#include "dbx-kicad/live/kicad_calls.h"
#include "dbx-kicad/live/kicad_replies.h"
#include "dbx-kicad/live/live_design.h"
#include "dbx-kicad/status.h"

namespace bitlay::kicad {

namespace cmd = kiapi::common::commands;
namespace types = kiapi::common::types;
namespace board = kiapi::board;

namespace {

// The lock file beside KiCad's socket, locked; none with 32106 when another attachment holds it,
// 32008 when it is a link or someone else's file.
DbxStatusCode lockEditor(const std::string& url, UniqueFd& lock) {
    LockFile file = openEditorLock(socketPath(url), ::geteuid());
    if (file.refused) return status::kSecurityError;
    if (!file.fd) return status::kServerError;
    if (::flock(file.fd.get(), LOCK_EX | LOCK_NB) != 0) return status::kServerBusy;
    lock = std::move(file.fd);
    return status::kOk;
}

// The board's enabled layers in the editor's order with KiCad's names for them, asked layer by
// layer (KiCad 9.0.5 and later).
CallResult askLayers(KicadIpc& ipc, const types::DocumentSpecifier& board, Deadline answerBy,
                     std::vector<int>& apiLayers, std::vector<LayerName>& names) {
    const auto readyWait = std::chrono::milliseconds(kReadyWaitMilliseconds);
    board::commands::GetBoardEnabledLayers layersQuery;
    *layersQuery.mutable_board() = board;
    board::commands::BoardEnabledLayersResponse enabled;
    CallResult result =
        callWhenReady(ipc, layersQuery, &enabled, timeLeft(answerBy, kShortCallTimeout), readyWait);
    if (!result.ok()) return result;

    if (const CallResult listed = enabledLayersInEditorOrder(enabled, apiLayers); !listed.ok()) {
        return listed;
    }
    for (const int layer : apiLayers) {
        board::commands::GetBoardLayerName nameQuery;
        *nameQuery.mutable_board() = board;
        nameQuery.set_layer(static_cast<board::types::BoardLayer>(layer));
        board::commands::BoardLayerNameResponse name;
        result =
            callWhenReady(ipc, nameQuery, &name, timeLeft(answerBy, kShortCallTimeout), readyWait);
        if (!result.ok()) return result;
        names.push_back(makeLayerName(canonicalLayerName(layer), name.name()));
    }
    return result;
}

// The same list read from the board as KiCad would save it, for the KiCads that cannot be asked
// (9.0.0 to 9.0.4).
CallResult readLayers(KicadIpc& ipc, const types::DocumentSpecifier& board, Deadline answerBy,
                      std::vector<int>& apiLayers, std::vector<LayerName>& names) {
    cmd::SaveDocumentToString query;
    *query.mutable_document() = board;
    cmd::SavedDocumentResponse saved;
    const CallResult result =
        callWhenReady(ipc, query, &saved, timeLeft(answerBy, kLongCallTimeout),
                      std::chrono::milliseconds(kReadyWaitMilliseconds));
    if (!result.ok()) return result;
    const CallResult read = layersOfSavedBoard(saved.contents(), apiLayers, names);
    return read.ok() ? result : read;
}

DbxStatusCode listLayers(KicadIpc& ipc, const types::DocumentSpecifier& board, Deadline answerBy,
                         std::vector<int>& apiLayers, std::vector<LayerName>& names) {
    CallResult result = askLayers(ipc, board, answerBy, apiLayers, names);
    if (result.outcome == CallOutcome::kRefused &&
        result.apiStatus == kiapi::common::AS_UNHANDLED) {
        apiLayers.clear();
        names.clear();
        result = readLayers(ipc, board, answerBy, apiLayers, names);
    }
    return statusOf(result);
}

}  // namespace

LiveAttachment openLiveDesign(const EditorSocket& socket, Deadline answerBy) {
    const std::string& url = socket.url;
    // A socket that takes the connection is a running KiCad, whether it answers yet or not.
    const CallResult answered = awaitHandshake(socketPath(url), answerBy);
    if (answered.outcome == CallOutcome::kNoServer) return {false, status::kOk, nullptr};
    if (!answered.ok()) return {true, statusOf(answered), nullptr};
    auto ipc = std::make_unique<KicadIpc>();
    // It answered a moment ago: a dial it refuses now means it has just gone.
    if (!ipc->connect(url, socket.token).ok()) return {true, status::kServerTerminated, nullptr};

    // A KiCad busy with another client's request takes ours once that is done.
    const auto readyWait = std::chrono::milliseconds(kReadyWaitMilliseconds);
    cmd::GetVersionResponse version;
    CallResult result = callWhenReady(*ipc, cmd::GetVersion{}, &version,
                                      timeLeft(answerBy, std::chrono::milliseconds(1)), readyWait);
    if (!result.ok()) return {true, statusOf(result), nullptr};
    if (!supportedVersion(version)) return {true, status::kVersionIncompatible, nullptr};

    cmd::GetOpenDocuments query;
    query.set_type(types::DOCTYPE_PCB);
    cmd::GetOpenDocumentsResponse documents;
    result =
        callWhenReady(*ipc, query, &documents, timeLeft(answerBy, kShortCallTimeout), readyWait);
    // The project manager answers UNHANDLED until its board editor is open: no board there.
    if (result.outcome == CallOutcome::kRefused &&
        result.apiStatus == kiapi::common::AS_UNHANDLED) {
        return {false, status::kOk, nullptr};
    }
    if (!result.ok()) return {true, statusOf(result), nullptr};
    if (documents.documents_size() == 0) return {false, status::kOk, nullptr};
    const types::DocumentSpecifier board = documents.documents(0);

    UniqueFd lock;
    if (const DbxStatusCode locked = lockEditor(url, lock); locked != status::kOk) {
        return {true, locked, nullptr};
    }

    std::vector<int> apiLayers;
    std::vector<LayerName> names;
    if (const DbxStatusCode listed = listLayers(*ipc, board, answerBy, apiLayers, names);
        listed != status::kOk) {
        return {true, listed, nullptr};
    }

    return {true, status::kOk,
            makeLiveDesign(std::move(ipc), board, std::move(apiLayers), std::move(names),
                           std::move(lock))};
}

}  // namespace bitlay::kicad
