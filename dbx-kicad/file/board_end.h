#pragma once

// Where the board on disk ends, as this library last read or wrote it. New items go at the insert
// offset; from there to the end of the file stands either the board's tail as read, or the tail
// this library wrote: the board's own closing (and whatever KiCad keeps after its items), after a
// footprint's closing while a transfer's footprint stands open.

#include <sys/types.h>

#include <string>
#include <string_view>

#include "dbx-kicad/kicad_text/board_outline.h"

namespace bitlay::kicad {

class BoardEnd final {
  public:
    // The board just read as `text`, its footprints closed by `footprintClosing`.
    void adopt(const BoardOutline& outline, std::string_view text,
               std::string_view footprintClosing);

    off_t insertOffset() const noexcept { return insertOffset_; }
    // What stands from the insert offset to the end of the file.
    std::string_view standing() const noexcept;
    // The tail a write puts after its items: a footprint left open closes in it.
    std::string_view tailAfter(bool footprintOpen) const noexcept {
        return footprintOpen ? openTail_ : tail_;
    }
    // The first item needs a line break before it: the board's closing parenthesis shares its
    // line with something else.
    bool needsLineBreak() const noexcept { return needsLineBreak_; }

    // Items `itemsLength` bytes long went in at the insert offset, and the tail after them.
    void written(off_t itemsLength, bool footprintOpen) noexcept;

  private:
    enum class Standing { kAsRead, kTail, kOpenTail };

    off_t insertOffset_ = 0;
    std::string readTail_;  // the tail as read, until the first item replaces it
    std::string tail_;
    std::string openTail_;  // a footprint's closing, then tail_
    Standing standing_ = Standing::kAsRead;
    bool needsLineBreak_ = false;
};

}  // namespace bitlay::kicad
