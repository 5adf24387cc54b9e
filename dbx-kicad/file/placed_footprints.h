#pragma once

// Every line placed while attached to a board file and the footprint that holds it, one footprint
// per transfer, and what the next write has to put in so that the board holds every line reported
// placed. Plain bookkeeping, no file: the design writes what the plan says and reports it written.
//
// A transfer's footprint is opened by its first line and stays open in the board (its closing is
// part of the file's tail) while the transfer goes on; each line goes in before that closing. Once
// the transfer has ended, its fields (its name needs the count) and its closing go in.
//
// Another program may save the board meanwhile, from its own copy. Then nothing of ours stands
// open in it any more, and by the UUIDs the board now holds:
// - a footprint of an ended transfer that the save left out goes in again whole, with the same
//   UUID, its lines and its fields;
// - lines missing from a footprint the save kept go in again in a new footprint of the same
//   transfer (same name);
// - the open transfer's missing lines go into its footprint again when the save left that out
//   (same UUID), else into a new footprint; either stays open for the transfer's later lines. A
//   footprint of the open transfer that the save kept is closed off as the other program wrote it,
//   and the later lines go into a new one.
// A line counts as present by the UUID it carries itself, wherever it stands.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "dbx-kicad/design.h"
#include "dbx-kicad/kicad_text/uuids.h"

namespace bitlay::kicad {

class PlacedFootprints final {
  public:
    struct Line {
        BoardLine geometry;  // on the board, in KiCad's terms
        Uuid uuid;
    };

    struct Footprint {
        Uuid uuid;
        std::int64_t anchorX = 0;  // the start of its first line, KiCad's coordinates
        std::int64_t anchorY = 0;
        std::size_t transfer = 0;
        std::vector<std::size_t> lines;  // the lines it holds, in the order they were placed
    };

    // One footprint in a write: its head unless it stands open in the board already, then
    // `lines`, then, when `close`, its fields and its closing.
    struct Part {
        std::size_t footprint = 0;
        bool head = false;
        std::vector<std::size_t> lines;
        bool close = false;
    };

    // What one write puts in, in this order. Only the last part may stay open.
    struct Write {
        std::vector<Part> parts;
        const Line* line = nullptr;   // a new line, after the lines of the last part
        bool opensFootprint = false;  // the last part is a new footprint that `line` opens
        Footprint opened;             // that footprint, numbered after the footprints so far
    };

    explicit PlacedFootprints(UuidGenerator& uuids) noexcept : uuids_(uuids) {}

    const Line& line(std::size_t index) const noexcept { return lines_[index]; }
    // The footprint of `part`, the one `write` opens included.
    const Footprint& footprintOf(const Write& write, const Part& part) const noexcept;
    // Lines placed in the transfer so far: its name's count.
    std::size_t transferLines(std::size_t transfer) const noexcept {
        return transfers_[transfer].lines;
    }

    // Whether something waits for a write even without a new line.
    bool hasWrites() const noexcept;

    // What the next write puts in, into `write` (its room kept from one write to the next): what
    // waits, then `line` (when given) in the open transfer's footprint, or in a new footprint (a
    // new transfer when none is open).
    void plan(const Line* line, Write& write);

    // The planned write is in the board.
    void written(const Write& write);

    // The open transfer is over: its footprint closes with the next write.
    void endTransfer() noexcept;

    // Another program saved the board; `present` are the UUIDs the board now gives its items.
    void boardReplaced(const std::unordered_set<std::string_view>& present);

  private:
    struct Transfer {
        std::size_t lines = 0;
        bool ended = false;
    };

    bool ended(std::size_t footprint) const noexcept {
        return transfers_[footprints_[footprint].transfer].ended;
    }
    std::size_t newFootprint(std::size_t transfer, const std::vector<std::size_t>& lines);

    UuidGenerator& uuids_;
    std::vector<Line> lines_;
    std::vector<Footprint> footprints_;
    std::vector<Transfer> transfers_;
    std::optional<std::size_t> openTransfer_;
    // The footprint standing open in the board: its closing is part of the file's tail.
    std::optional<std::size_t> open_;
    // What another program's save left out, to go in with the next write: the ended transfers'
    // footprints first, the open transfer's last.
    std::vector<Part> waiting_;
};

}  // namespace bitlay::kicad
