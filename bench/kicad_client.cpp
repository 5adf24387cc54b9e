// A bare client of KiCad's API, the floor the live benchmark holds the stand-in against: it sends
// the same segments, each with its own id, in batches inside one commit, as directly as the API
// allows. A process of its own, so that it never shares a protobuf registry with the stand-in.
//
//   kicad_client URL floor LINES BATCH   sends the line records in the file LINES; prints the
//                                        steady clock's reading (ns) at the first request and the
//                                        seconds until the commit ended, then checks that KiCad
//                                        holds them all
//   kicad_client URL wait ADDED          counts the board's graphic shapes and prints "ready", then
//                                        polls until ADDED more are there; prints the steady
//                                        clock's reading (ns) when KiCad had them
//   kicad_client URL selected LINES      as wait, until the editor's selection is a footprint
//                                        holding LINES graphic shapes: a transfer of the stand-in
//                                        once it is in and selected (a footprint's own shapes are
//                                        not among the board's)

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "dbx-kicad/api/kicad_ipc.h"
#include "dbx-kicad/api/proto/board_types.pb.h"
#include "dbx-kicad/api/proto/common_commands.pb.h"
#include "dbx/records.h"

namespace cmd = kiapi::common::commands;
namespace types = kiapi::common::types;
using bitlay::kicad::CallResult;
using bitlay::kicad::KicadIpc;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kTimeout = std::chrono::seconds(120);
constexpr int kSilkscreen = 40;  // F.SilkS in the API's numbering

[[noreturn]] void fail(const char* what, const CallResult& result) {
    std::fprintf(stderr, "kicad_client: %s: outcome %d, API status %d %s\n", what,
                 static_cast<int>(result.outcome), static_cast<int>(result.apiStatus),
                 result.message.c_str());
    std::exit(1);
}

void call(KicadIpc& ipc, const char* what, const google::protobuf::Message& request,
          google::protobuf::Message* response) {
    if (CallResult result = ipc.call(request, response, kTimeout); !result.ok()) fail(what, result);
}

std::string uuid(std::mt19937_64& random) {
    const std::uint64_t high = (random() & ~0xF000ULL) | 0x4000ULL;
    const std::uint64_t low = (random() & 0x3FFFFFFFFFFFFFFFULL) | 0x8000000000000000ULL;
    char text[40];
    std::snprintf(text, sizeof text, "%08x-%04x-%04x-%04x-%012llx",
                  static_cast<unsigned>(high >> 32), static_cast<unsigned>((high >> 16) & 0xFFFF),
                  static_cast<unsigned>(high & 0xFFFF), static_cast<unsigned>(low >> 48),
                  static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFULL));
    return text;
}

int shapes(KicadIpc& ipc, const types::DocumentSpecifier& board) {
    cmd::GetItems query;
    *query.mutable_header()->mutable_document() = board;
    query.add_types(types::KOT_PCB_SHAPE);
    cmd::GetItemsResponse items;
    call(ipc, "GetItems", query, &items);
    return items.items_size();
}

// The graphic shapes in the footprints of the editor's selection.
int selectedShapes(KicadIpc& ipc, const types::DocumentSpecifier& board) {
    cmd::GetSelection query;
    *query.mutable_header()->mutable_document() = board;
    cmd::SelectionResponse selection;
    call(ipc, "GetSelection", query, &selection);
    int count = 0;
    for (const auto& item : selection.items()) {
        kiapi::board::types::FootprintInstance footprint;
        if (item.UnpackTo(&footprint)) count += footprint.definition().items_size();
    }
    return count;
}

int floor(KicadIpc& ipc, const types::DocumentSpecifier& board, const char* path, int batch) {
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    std::vector<bitlay::dbx::LineRecord> lines(bytes.size() / sizeof(bitlay::dbx::LineRecord));
    std::memcpy(lines.data(), bytes.data(), lines.size() * sizeof(bitlay::dbx::LineRecord));
    const int before = shapes(ipc, board);
    std::mt19937_64 random(std::random_device{}());

    const auto start = Clock::now();
    cmd::BeginCommit begin;
    *begin.mutable_header()->mutable_document() = board;
    cmd::BeginCommitResponse commit;
    call(ipc, "BeginCommit", begin, &commit);
    for (std::size_t first = 0; first < lines.size(); first += static_cast<std::size_t>(batch)) {
        cmd::CreateItems create;
        *create.mutable_header()->mutable_document() = board;
        const std::size_t end = std::min(lines.size(), first + static_cast<std::size_t>(batch));
        for (std::size_t i = first; i < end; ++i) {
            const auto& line = lines[i];
            kiapi::board::types::BoardGraphicShape shape;
            shape.mutable_id()->set_value(uuid(random));
            shape.set_layer(static_cast<kiapi::board::types::BoardLayer>(kSilkscreen));
            auto* stroke = shape.mutable_shape()->mutable_attributes()->mutable_stroke();
            stroke->mutable_width()->set_value_nm(std::int64_t{line.width} * 10);
            stroke->set_style(types::SLS_SOLID);
            auto* segment = shape.mutable_shape()->mutable_segment();
            segment->mutable_start()->set_x_nm(std::int64_t{line.startX} * 10);
            segment->mutable_start()->set_y_nm(-std::int64_t{line.startY} * 10);
            segment->mutable_end()->set_x_nm(std::int64_t{line.endX} * 10);
            segment->mutable_end()->set_y_nm(-std::int64_t{line.endY} * 10);
            create.add_items()->PackFrom(shape);
        }
        cmd::CreateItemsResponse created;
        call(ipc, "CreateItems", create, &created);
        if (created.created_items_size() != static_cast<int>(end - first)) {
            std::fprintf(stderr, "kicad_client: KiCad created %d of %zu\n",
                         created.created_items_size(), end - first);
            return 1;
        }
    }
    cmd::EndCommit endCommit;
    endCommit.mutable_id()->set_value(commit.id().value());
    endCommit.set_action(cmd::CMA_COMMIT);
    endCommit.set_message("floor");
    *endCommit.mutable_header()->mutable_document() = board;
    call(ipc, "EndCommit", endCommit, nullptr);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

    const int after = shapes(ipc, board);
    if (after - before != static_cast<int>(lines.size())) {
        std::fprintf(stderr, "kicad_client: KiCad holds %d new shapes of %zu\n", after - before,
                     lines.size());
        return 1;
    }
    std::printf(
        "%lld %.4f\n",
        static_cast<long long>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(start.time_since_epoch()).count()),
        seconds);
    return 0;
}

template <typename Count>
int wait(KicadIpc& ipc, const types::DocumentSpecifier& board, Count shapes, int count) {
    std::printf("ready\n");
    std::fflush(stdout);
    // Staged lines are not on the board before their commit ends, so every poll but the last
    // reads only what was there before, and costs KiCad next to nothing. The last one reads every
    // line; KiCad began it once the commit had ended, so its reply, less what KiCad takes for
    // such a read (timed once more, KiCad idle), is when the lines were in.
    for (;;) {
        if (shapes(ipc, board) >= count) {
            const auto seen = Clock::now();
            const auto again = Clock::now();
            shapes(ipc, board);
            const auto read = Clock::now() - again;
            std::printf("%lld\n",
                        static_cast<long long>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                   (seen - read).time_since_epoch())
                                                   .count()));
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(
            stderr,
            "usage: kicad_client URL floor LINES BATCH | URL wait ADDED | URL selected LINES\n");
        return 2;
    }
    KicadIpc ipc;
    if (CallResult dialled = ipc.connect(argv[1]); !dialled.ok()) fail("dial", dialled);
    cmd::GetOpenDocuments query;
    query.set_type(types::DOCTYPE_PCB);
    cmd::GetOpenDocumentsResponse documents;
    call(ipc, "GetOpenDocuments", query, &documents);
    if (documents.documents_size() == 0) {
        std::fprintf(stderr, "kicad_client: no board open\n");
        return 1;
    }
    const auto& board = documents.documents(0);
    if (std::strcmp(argv[2], "floor") == 0 && argc == 5) {
        return floor(ipc, board, argv[3], std::atoi(argv[4]));
    }
    if (std::strcmp(argv[2], "wait") == 0) {
        return wait(ipc, board, shapes, shapes(ipc, board) + std::atoi(argv[3]));
    }
    if (std::strcmp(argv[2], "selected") == 0) {
        return wait(ipc, board, selectedShapes, std::atoi(argv[3]));
    }
    return 2;
}
