// Board files from outside, through everything the stand-in does with one: the board it attaches
// to, and a board another program saves over the attached one (in place, or renamed over it)
// while a transfer stands open. Whatever the bytes, a board the stand-in refuses stays as it was,
// and a board it writes to still reads as the same board with the lines in.

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "dbx-kicad/design.h"
#include "dbx-kicad/file/board_file.h"
#include "dbx-kicad/file/file_design.h"
#include "dbx-kicad/kicad_text/board_outline.h"
#include "dbx-kicad/kicad_text/default_board.h"
#include "dbx-kicad/status.h"
#include "fuzz_support.h"

namespace {

using namespace bitlay::kicad;
namespace fs = std::filesystem;

const fs::path& boardPath() {
    static const fs::path path = bitlay::fuzz::scratchFolder() / "board.kicad_pcb";
    return path;
}

LineRecord lineOn(std::int32_t layer, std::int32_t x) {
    LineRecord line{};
    line.layerId = layer;
    line.width = 2540;
    line.startX = x;
    line.startY = -x;
    line.endX = x + 2540;
    line.endY = -x;
    return line;
}

DbxStatusCode place(Design& design, const LineRecord& line) {
    const DbxStatusCode checked = checkLine(line, design.layerNames().size());
    return checked != status::kOk ? checked : design.placeLine(toBoardLine(line));
}

// A board the stand-in wrote to reads as the board it read, with the same layers.
void expectSameBoard(const BoardOutline& before, const std::string& text) {
    const BoardOutline after = readBoardOutline(text);
    FUZZ_CHECK(after.result == BoardReadResult::kOk);
    FUZZ_CHECK(after.version == before.version);
    FUZZ_CHECK(after.layers.size() == before.layers.size());
    for (std::size_t i = 0; i < after.layers.size(); ++i) {
        FUZZ_CHECK(after.layers[i].canonicalName == before.layers[i].canonicalName);
        FUZZ_CHECK(after.layers[i].userName == before.layers[i].userName);
    }
}

// The bytes as the board the stand-in attaches to.
void attachTo(const std::string& board) {
    bitlay::fuzz::writeFile(boardPath(), board);
    const BoardOutline outline = readBoardOutline(board);
    OpenedDesign opened = openFileDesign(boardPath().c_str(), false);
    FUZZ_CHECK(opened.status == statusOf(outline));
    if (opened.status != status::kOk) {
        FUZZ_CHECK(bitlay::fuzz::readFile(boardPath()) == board);
        return;
    }
    std::unique_ptr<Design> design = std::move(opened.design);
    const auto layers = static_cast<std::int32_t>(design->layerNames().size());
    FUZZ_CHECK(layers == static_cast<std::int32_t>(outline.layers.size()));
    FUZZ_CHECK(place(*design, lineOn(1, 0)) == status::kOk);
    FUZZ_CHECK(place(*design, lineOn(layers, 5080)) == status::kOk);
    FUZZ_CHECK(design->close() == status::kOk);
    design.reset();
    const std::string written = bitlay::fuzz::readFile(boardPath());
    // Everything before the insertion point stays as it was.
    FUZZ_CHECK(written.compare(0, outline.insertOffset, board, 0, outline.insertOffset) == 0);
    expectSameBoard(outline, written);
}

// The bytes saved by another program over a board the stand-in has a transfer open in.
void savedOver(const std::string& board, bool renamed) {
    bitlay::fuzz::writeFile(boardPath(), std::string(defaultBoardText()));
    OpenedDesign opened = openFileDesign(boardPath().c_str(), false);
    FUZZ_CHECK(opened.status == status::kOk);
    std::unique_ptr<Design> design = std::move(opened.design);
    FUZZ_CHECK(place(*design, lineOn(1, 0)) == status::kOk);

    if (renamed) {
        const fs::path saving = boardPath().string() + ".saving";
        bitlay::fuzz::writeFile(saving, board);
        fs::rename(saving, boardPath());
    } else {
        bitlay::fuzz::overwriteInPlace(boardPath(), board);
    }
    const BoardOutline outline = readBoardOutline(board);
    const DbxStatusCode placed = place(*design, lineOn(1, 5080));
    const DbxStatusCode closed = design->close();
    design.reset();
    const std::string now = bitlay::fuzz::readFile(boardPath());
    if (outline.result != BoardReadResult::kOk) {
        // Nothing goes into a board that did not read whole.
        FUZZ_CHECK(placed == statusOf(outline));
        FUZZ_CHECK(closed != status::kOk);
        FUZZ_CHECK(now == board);
        return;
    }
    if (placed == status::kLayerNotFound) {
        // The save dropped the layer the lines are on: they wait, and the board stays as saved.
        FUZZ_CHECK(closed != status::kOk);
        FUZZ_CHECK(now == board);
        return;
    }
    FUZZ_CHECK(placed == status::kOk);
    FUZZ_CHECK(closed == status::kOk);
    expectSameBoard(outline, now);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string board(reinterpret_cast<const char*>(data), size);
    attachTo(board);
    savedOver(board, size % 2 == 1);
    return 0;
}
