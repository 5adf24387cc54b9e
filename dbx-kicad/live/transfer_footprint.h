#pragma once

// One transfer as KiCad receives it: a board-only footprint whose graphic lines are the
// transfer's lines. KiCad looks every new board item's id up over the whole board, so thousands
// of loose lines cost a large board minutes; a footprint's own items are not looked up, and the
// footprint is one object to select, move and delete.

#include <cstddef>
#include <string>

#include "dbx-kicad/api/proto/board_types.pb.h"
#include "dbx-kicad/design.h"

namespace bitlay::kicad {

class UuidGenerator;

class TransferFootprint final {
  public:
    // A new footprint with a fresh id; its anchor is the first line's start.
    explicit TransferFootprint(UuidGenerator& uuids);

    // One line of the transfer on KiCad's `apiLayer`.
    void addLine(const BoardLine& line, int apiLayer);

    std::size_t lines() const noexcept { return lines_; }
    const std::string& id() const noexcept { return message_.id().value(); }

    // The footprint, named for its line count, ready to go into a CreateItems request.
    kiapi::board::types::FootprintInstance& finish();

  private:
    UuidGenerator& uuids_;
    kiapi::board::types::FootprintInstance message_;
    std::size_t lines_ = 0;
};

}  // namespace bitlay::kicad
