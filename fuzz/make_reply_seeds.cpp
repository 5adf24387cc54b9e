// Writes the reply target's seeds into a folder: for each request the stand-in makes, the reply a
// KiCad 9 or 10 gives, its refusals, and a reply cut off half-way. Run once by hand when the
// requests change; the seeds are kept in fuzz/corpus/reply.

#include <cstdio>
#include <fstream>
#include <string>

#include "dbx-kicad/api/proto/board_commands.pb.h"
#include "dbx-kicad/api/proto/common_commands.pb.h"
#include "dbx-kicad/api/proto/envelope.pb.h"
#include "dbx-kicad/kicad_text/default_board.h"
#include "reply_requests.h"

namespace {

using bitlay::fuzz::Request;
namespace cmd = kiapi::common::commands;
namespace boardcmd = kiapi::board::commands;

std::string folder;

void write(const std::string& name, Request request, const std::string& reply) {
    std::ofstream(folder + "/" + name, std::ios::binary) << static_cast<char>(request) << reply;
}

std::string answer(const google::protobuf::Message* message, int status = 1,
                   const std::string& error = {}) {
    kiapi::common::ApiResponse response;
    response.mutable_status()->set_status(static_cast<kiapi::common::ApiStatusCode>(status));
    if (!error.empty()) response.mutable_status()->set_error_message(error);
    if (message != nullptr) response.mutable_message()->PackFrom(*message);
    return response.SerializeAsString();
}

// The reply, its refusals by a busy, a starting and a restarted KiCad, and the reply cut short.
void writeAll(const std::string& name, Request request, const google::protobuf::Message* message) {
    const std::string whole = answer(message);
    write(name, request, whole);
    write(name + "-cut", request, whole.substr(0, whole.size() / 2));
    write(name + "-busy", request, answer(nullptr, 7, "KiCad is busy"));
    write(name + "-not-ready", request, answer(nullptr, 4, "not ready"));
    write(name + "-unhandled", request, answer(nullptr, 5, "no handler"));
    write(name + "-token", request, answer(nullptr, 6, "the token does not match"));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    folder = argv[1];

    cmd::GetVersionResponse version;
    version.mutable_version()->set_major(9);
    version.mutable_version()->set_minor(0);
    version.mutable_version()->set_patch(8);
    version.mutable_version()->set_full_version("9.0.8");
    writeAll("version-9", Request::kGetVersion, &version);
    version.mutable_version()->set_major(10);
    version.mutable_version()->set_patch(7);
    version.mutable_version()->set_full_version("10.0.7");
    write("version-10", Request::kGetVersion, answer(&version));

    cmd::GetOpenDocumentsResponse documents;
    auto* board = documents.add_documents();
    board->set_type(kiapi::common::types::DOCTYPE_PCB);
    board->set_board_filename("logo.kicad_pcb");
    board->mutable_project()->set_name("logo");
    board->mutable_project()->set_path("/home/user/logo");
    writeAll("documents", Request::kGetOpenDocuments, &documents);
    write("documents-none", Request::kGetOpenDocuments,
          answer(static_cast<const google::protobuf::Message*>(nullptr)));

    boardcmd::BoardEnabledLayersResponse layers;
    layers.set_copper_layer_count(2);
    for (const int layer : {3, 34, 40, 39, 47, 53, 63}) {
        layers.add_layers(static_cast<kiapi::board::types::BoardLayer>(layer));
    }
    writeAll("layers", Request::kGetBoardEnabledLayers, &layers);

    boardcmd::BoardLayerNameResponse name;
    name.set_name("F.Silkscreen");
    writeAll("layer-name", Request::kGetBoardLayerName, &name);
    name.set_name("Logo \xc3\xa9\xe2\x82\xac");
    write("layer-name-utf8", Request::kGetBoardLayerName, answer(&name));

    cmd::SavedDocumentResponse saved;
    *saved.mutable_document() = *board;
    saved.set_contents(std::string(bitlay::kicad::defaultBoardText()));
    writeAll("saved-board", Request::kSaveDocumentToString, &saved);

    cmd::BeginCommitResponse commit;
    commit.mutable_id()->set_value("5b1f3a54-6a3c-4f0e-9b1e-2f7c1d9e8a10");
    writeAll("commit", Request::kBeginCommit, &commit);

    cmd::CreateItemsResponse created;
    created.set_status(kiapi::common::types::IRS_OK);
    created.add_created_items()->mutable_status()->set_code(cmd::ISC_OK);
    writeAll("created", Request::kCreateItems, &created);
    created.mutable_created_items(0)->mutable_status()->set_code(cmd::ISC_INVALID_DATA);
    created.mutable_created_items(0)->mutable_status()->set_error_message("bad footprint");
    write("created-refused", Request::kCreateItems, answer(&created));

    writeAll("end-commit", Request::kNoPayload, nullptr);
    return 0;
}
