// KiCad's replies over its API socket, from a KiCad of any version or one that dies half-way
// through a reply: for each request the stand-in makes, the bytes of the reply through the same
// decoding the live design uses, and what it reads from them. The first byte picks the request,
// the rest is the reply. A reply gives a DBX status the stand-in knows, and what it reads from an
// accepted one is usable: known layers with names, a board to name in the next request.

#include <google/protobuf/stubs/logging.h>

#include <cstddef>
#include <cstdint>
#include <set>
#include <vector>

#include "dbx-kicad/api/kicad_ipc.h"
#include "dbx-kicad/api/proto/board_commands.pb.h"
#include "dbx-kicad/api/proto/common_commands.pb.h"
#include "dbx-kicad/live/kicad_calls.h"
#include "dbx-kicad/live/kicad_replies.h"
#include "dbx-kicad/status.h"
#include "fuzz_support.h"
#include "reply_requests.h"

namespace {

using namespace bitlay::kicad;
namespace cmd = kiapi::common::commands;
namespace boardcmd = kiapi::board::commands;

// `decoded`: the result of decoding the reply itself, which carries KiCad's status.
void checkStatus(const CallResult& result, bool decoded = true) {
    const DbxStatusCode code = statusOf(result);
    static const std::set<DbxStatusCode> kKnown = {status::kOk,           status::kServerTerminated,
                                                   status::kNoConnection, status::kServerBusy,
                                                   status::kServerError,  status::kBadServerData};
    FUZZ_CHECK(kKnown.count(code) == 1);
    FUZZ_CHECK(result.ok() == (code == status::kOk));
    if (decoded && result.ok()) FUZZ_CHECK(result.apiStatus == kiapi::common::AS_OK);
}

// Decodes the reply into `response` as the live design does; whether it was accepted.
bool decoded(const std::uint8_t* reply, std::size_t length, google::protobuf::Message* response) {
    const CallResult result = decodeReply(reply, length, response);
    checkStatus(result);
    return result.ok();
}

void checkLayers(const std::vector<int>& apiLayers) {
    for (const int layer : apiLayers) FUZZ_CHECK(!canonicalLayerName(layer).empty());
}

// The board a reply names goes back to KiCad in the next request.
void nameInRequest(const kiapi::common::types::DocumentSpecifier& board) {
    cmd::BeginCommit next;
    *next.mutable_header()->mutable_document() = board;
    FUZZ_CHECK(next.SerializeAsString().size() == next.ByteSizeLong());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A reply with text that is not UTF-8 is refused as such; protobuf's own complaint about it
    // on every such input would only slow the run down.
    google::protobuf::SetLogHandler(nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const auto request = static_cast<bitlay::fuzz::Request>(data[0] % bitlay::fuzz::kRequests);
    const std::uint8_t* reply = data + 1;
    const std::size_t length = size - 1;
    switch (request) {
        case bitlay::fuzz::Request::kGetVersion: {
            cmd::GetVersionResponse version;
            if (decoded(reply, length, &version)) static_cast<void>(supportedVersion(version));
            break;
        }
        case bitlay::fuzz::Request::kGetOpenDocuments: {
            cmd::GetOpenDocumentsResponse documents;
            if (decoded(reply, length, &documents) && documents.documents_size() > 0)
                nameInRequest(documents.documents(0));
            break;
        }
        case bitlay::fuzz::Request::kGetBoardEnabledLayers: {
            boardcmd::BoardEnabledLayersResponse enabled;
            if (!decoded(reply, length, &enabled)) break;
            std::vector<int> apiLayers;
            const CallResult result = enabledLayersInEditorOrder(enabled, apiLayers);
            checkStatus(result, false);
            if (result.ok()) checkLayers(apiLayers);
            break;
        }
        case bitlay::fuzz::Request::kGetBoardLayerName: {
            boardcmd::BoardLayerNameResponse name;
            if (decoded(reply, length, &name))
                static_cast<void>(makeLayerName("F.Cu", name.name()));
            break;
        }
        case bitlay::fuzz::Request::kSaveDocumentToString: {
            cmd::SavedDocumentResponse saved;
            if (!decoded(reply, length, &saved)) break;
            std::vector<int> apiLayers;
            std::vector<LayerName> names;
            const CallResult result = layersOfSavedBoard(saved.contents(), apiLayers, names);
            checkStatus(result, false);
            if (!result.ok()) break;
            checkLayers(apiLayers);
            FUZZ_CHECK(!apiLayers.empty() && names.size() == apiLayers.size());
            break;
        }
        case bitlay::fuzz::Request::kBeginCommit: {
            cmd::BeginCommitResponse commit;
            if (!decoded(reply, length, &commit)) break;
            cmd::EndCommit end;
            end.mutable_id()->set_value(commit.id().value());
            end.set_action(cmd::CMA_COMMIT);
            FUZZ_CHECK(end.SerializeAsString().size() == end.ByteSizeLong());
            break;
        }
        case bitlay::fuzz::Request::kCreateItems: {
            cmd::CreateItemsResponse created;
            if (decoded(reply, length, &created)) static_cast<void>(createdTheItem(created));
            break;
        }
        case bitlay::fuzz::Request::kNoPayload:
            // EndCommit, ClearSelection, AddToSelection: only the status counts.
            static_cast<void>(decoded(reply, length, nullptr));
            break;
    }
    return 0;
}
