// Reads a running KiCad's state through its API, for the tests and the benchmark: whether it has
// a board open, and the graphic segments on that board; and undoes the editor's last step. A
// process of its own, so that it never shares a protobuf registry with the stand-in library.
//
//   kicad_probe URL ready      exit 0 when a board is open and KiCad answers OK
//   kicad_probe URL segments   one line per segment on the board or in a footprint:
//                              API-LAYER X1 Y1 X2 Y2 WIDTH (nanometres)
//   kicad_probe URL selected   as segments, for the segments of the editor's selection (those of
//                              a selected footprint included)
//   kicad_probe URL footprints one line per footprint: its reference, then whether it is board
//                              only, out of the position files, out of the BOM (0 or 1), whether
//                              reference and value are shown, and its number of graphic items
//   kicad_probe URL count      the number of graphic shapes on the board or in its footprints
//   kicad_probe URL undo       runs the editor's undo once; exit 0 when KiCad took it
//   kicad_probe URL save       saves the board to its file
//   kicad_probe URL run ACTION runs one of the editor's actions ("pcbnew.InteractiveDrawing.line")
//   kicad_probe URL busy N     keeps KiCad busy, as another client's long request does: N
//                              segments on F.Silkscreen outside any commit, then N more in one
//                              request, which KiCad looks up one by one over the first N (about
//                              10 s for 50,000 on a 2-core machine); prints "sending" just before
//                              that request goes, and the seconds KiCad took once it answered

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dbx-kicad/api/kicad_ipc.h"
#include "dbx-kicad/api/proto/board_types.pb.h"
#include "dbx-kicad/api/proto/common_commands.pb.h"

namespace cmd = kiapi::common::commands;
namespace types = kiapi::common::types;
using bitlay::kicad::CallResult;
using bitlay::kicad::KicadIpc;

namespace {

constexpr auto kTimeout = std::chrono::seconds(20);

int report(const char* what, const CallResult& result) {
    std::fprintf(stderr, "kicad_probe: %s: outcome %d, API status %d %s\n", what,
                 static_cast<int>(result.outcome), static_cast<int>(result.apiStatus),
                 result.message.c_str());
    return 1;
}

using Items = google::protobuf::RepeatedPtrField<google::protobuf::Any>;

// The graphic shapes among `items`, those of footprints included.
std::vector<kiapi::board::types::BoardGraphicShape> shapesIn(const Items& items) {
    std::vector<kiapi::board::types::BoardGraphicShape> shapes;
    for (const auto& item : items) {
        kiapi::board::types::FootprintInstance footprint;
        if (item.Is<kiapi::board::types::FootprintInstance>() && item.UnpackTo(&footprint)) {
            for (auto& shape : shapesIn(footprint.definition().items())) shapes.push_back(shape);
            continue;
        }
        kiapi::board::types::BoardGraphicShape shape;
        if (item.Is<kiapi::board::types::BoardGraphicShape>() && item.UnpackTo(&shape)) {
            shapes.push_back(shape);
        }
    }
    return shapes;
}

// One line per graphic segment among `items`.
void printSegments(const Items& items) {
    std::string out;
    for (const auto& shape : shapesIn(items)) {
        if (!shape.shape().has_segment()) continue;
        const auto& segment = shape.shape().segment();
        out += std::to_string(shape.layer()) + ' ' + std::to_string(segment.start().x_nm()) + ' ' +
               std::to_string(segment.start().y_nm()) + ' ' + std::to_string(segment.end().x_nm()) +
               ' ' + std::to_string(segment.end().y_nm()) + ' ' +
               std::to_string(shape.shape().attributes().stroke().width().value_nm()) + '\n';
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
}

// One request creating `lines` loose segments on F.Silkscreen, the `batch`-th row of them.
cmd::CreateItems segments(const types::DocumentSpecifier& board, long lines, long batch) {
    constexpr int kFSilkS = 40;
    cmd::CreateItems create;
    *create.mutable_header()->mutable_document() = board;
    for (long i = 0; i < lines; ++i) {
        kiapi::board::types::BoardGraphicShape shape;
        shape.set_layer(static_cast<kiapi::board::types::BoardLayer>(kFSilkS));
        auto* stroke = shape.mutable_shape()->mutable_attributes()->mutable_stroke();
        stroke->mutable_width()->set_value_nm(25400);
        stroke->set_style(types::SLS_SOLID);
        auto* segment = shape.mutable_shape()->mutable_segment();
        const std::int64_t x = (i % 500) * 50800, y = (batch * lines + i) / 500 * 50800;
        segment->mutable_start()->set_x_nm(x);
        segment->mutable_start()->set_y_nm(y);
        segment->mutable_end()->set_x_nm(x + 25400);
        segment->mutable_end()->set_y_nm(y);
        create.add_items()->PackFrom(shape);
    }
    return create;
}

int keepBusy(KicadIpc& ipc, const types::DocumentSpecifier& board, const char* count) {
    const long lines = std::strtol(count, nullptr, 10);
    cmd::CreateItemsResponse created;
    if (CallResult result = ipc.call(segments(board, lines, 0), &created, std::chrono::minutes(10));
        !result.ok()) {
        return report("CreateItems", result);
    }
    const cmd::CreateItems busy = segments(board, lines, 1);
    std::printf("sending\n");
    std::fflush(stdout);
    const auto start = std::chrono::steady_clock::now();
    if (CallResult result = ipc.call(busy, &created, std::chrono::minutes(10)); !result.ok()) {
        return report("CreateItems", result);
    }
    std::printf("%.1f\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const bool withArgument =
        argc == 4 && (std::strcmp(argv[2], "run") == 0 || std::strcmp(argv[2], "busy") == 0);
    if (argc != 3 && !withArgument) {
        std::fprintf(stderr,
                     "usage: kicad_probe URL "
                     "ready|segments|selected|footprints|count|undo|save|run ACTION|busy N\n");
        return 2;
    }
    KicadIpc ipc;
    if (CallResult dialled = ipc.connect(argv[1]); !dialled.ok()) return report("dial", dialled);

    cmd::GetOpenDocuments query;
    query.set_type(types::DOCTYPE_PCB);
    cmd::GetOpenDocumentsResponse documents;
    if (CallResult result = ipc.call(query, &documents, kTimeout); !result.ok()) {
        return report("GetOpenDocuments", result);
    }
    if (documents.documents_size() == 0) {
        std::fprintf(stderr, "kicad_probe: no board open\n");
        return 1;
    }
    if (std::strcmp(argv[2], "ready") == 0) return 0;

    if (std::strcmp(argv[2], "undo") == 0 || std::strcmp(argv[2], "run") == 0) {
        cmd::RunAction undo;
        undo.set_action(argc == 4 ? argv[3] : "common.Interactive.undo");
        cmd::RunActionResponse response;
        if (CallResult result = ipc.call(undo, &response, kTimeout); !result.ok()) {
            return report("RunAction", result);
        }
        if (response.status() != cmd::RAS_OK) {
            std::fprintf(stderr, "kicad_probe: undo: RunAction status %d\n",
                         static_cast<int>(response.status()));
            return 1;
        }
        return 0;
    }

    if (std::strcmp(argv[2], "busy") == 0) return keepBusy(ipc, documents.documents(0), argv[3]);

    if (std::strcmp(argv[2], "save") == 0) {
        cmd::SaveDocument save;
        *save.mutable_document() = documents.documents(0);
        if (CallResult result = ipc.call(save, nullptr, kTimeout); !result.ok()) {
            return report("SaveDocument", result);
        }
        return 0;
    }

    if (std::strcmp(argv[2], "selected") == 0) {
        cmd::GetSelection selection;
        *selection.mutable_header()->mutable_document() = documents.documents(0);
        cmd::SelectionResponse response;
        if (CallResult result = ipc.call(selection, &response, kTimeout); !result.ok()) {
            return report("GetSelection", result);
        }
        printSegments(response.items());
        return 0;
    }

    cmd::GetItems items;
    *items.mutable_header()->mutable_document() = documents.documents(0);
    items.add_types(types::KOT_PCB_SHAPE);
    items.add_types(types::KOT_PCB_FOOTPRINT);
    cmd::GetItemsResponse response;
    if (CallResult result = ipc.call(items, &response, kTimeout); !result.ok()) {
        return report("GetItems", result);
    }
    if (std::strcmp(argv[2], "count") == 0) {
        std::printf("%zu\n", shapesIn(response.items()).size());
        return 0;
    }
    if (std::strcmp(argv[2], "footprints") == 0) {
        for (const auto& item : response.items()) {
            kiapi::board::types::FootprintInstance footprint;
            if (!item.Is<kiapi::board::types::FootprintInstance>() || !item.UnpackTo(&footprint)) {
                continue;
            }
            const auto& attributes = footprint.attributes();
            std::printf(
                "%s|%d %d %d|%d %d|%zu\n", footprint.reference_field().text().text().text().c_str(),
                attributes.not_in_schematic(), attributes.exclude_from_position_files(),
                attributes.exclude_from_bill_of_materials(), footprint.reference_field().visible(),
                footprint.value_field().visible(), shapesIn(footprint.definition().items()).size());
        }
        return 0;
    }
    printSegments(response.items());
    return 0;
}
