#pragma once

// One open design, however the stand-in reaches the editor's board: a board file, or the board
// open in a running KiCad. The exported functions own the handle and make the checks every
// design shares; a design only lists its layers and places lines that passed those checks.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dbx/records.h"

namespace bitlay::kicad {

using bitlay::dbx::DbxStatusCode;
using bitlay::dbx::LineRecord;

// KiCad's workspace reaches 1500 mm either way of the origin; one database unit is 10 nm.
constexpr std::int64_t kUnitsPerMillimetre = 100000;
constexpr std::int64_t kWorkspaceLimitUnits = 1500 * kUnitsPerMillimetre;

// A layer's name as TGetLayerById hands it back: Latin-1, NUL-padded to the record's 100 bytes.
using LayerName = std::array<char, bitlay::dbx::kLayerNameLength>;

// The user name when the layer has a non-empty one, else its canonical name; UTF-8 in.
LayerName makeLayerName(std::string_view canonicalName, std::string_view userName);

// A line as KiCad has it: nanometres, y pointing down, on the design's layer `layer` (0 for the
// record's layer id 1).
struct BoardLine {
    std::int64_t startX = 0;
    std::int64_t startY = 0;
    std::int64_t endX = 0;
    std::int64_t endY = 0;
    std::int64_t width = 0;
    std::size_t layer = 0;
};

// A record that passed checkLine in KiCad's terms: record units are 10 nm, the board's y axis
// points up.
BoardLine toBoardLine(const LineRecord& line) noexcept;

class Design {
  public:
    virtual ~Design() = default;

    // Layer id k is entry k - 1.
    const std::vector<LayerName>& layerNames() const noexcept { return layerNames_; }

    // Places a line that passed checkLine.
    virtual DbxStatusCode placeLine(const BoardLine& line) = 0;

    // Lets go of the design; called exactly once, after which the design is destroyed.
    virtual DbxStatusCode close() = 0;

  protected:
    std::vector<LayerName> layerNames_;
};

// A design just attached, or the status that says why none was.
struct OpenedDesign {
    DbxStatusCode status = 0;
    std::unique_ptr<Design> design;  // set exactly when `status` is 0
};

// "Bitlay: 12,345 lines", the name of a transfer: its undo step in a running KiCad, its group in a
// board file.
std::string transferName(std::size_t lines);

// The checks made before a line goes anywhere, in this order: a listed layer, a positive width,
// the width and every coordinate inside the workspace (its edges included).
DbxStatusCode checkLine(const LineRecord& line, std::size_t layerCount) noexcept;

}  // namespace bitlay::kicad
