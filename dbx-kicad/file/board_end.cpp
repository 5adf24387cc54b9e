#include "dbx-kicad/file/board_end.h"

namespace bitlay::kicad {

void BoardEnd::adopt(const BoardOutline& outline, std::string_view text,
                     std::string_view footprintClosing) {
    insertOffset_ = static_cast<off_t>(outline.insertOffset);
    readTail_.assign(text.substr(outline.insertOffset));
    if (outline.insertOffset == outline.closingOffset) {
        tail_ = ")\n";
        needsLineBreak_ = outline.closingOffset > 0 && text[outline.closingOffset - 1] != '\n';
    } else {
        tail_ = readTail_;
        needsLineBreak_ = false;
    }
    openTail_.assign(footprintClosing);
    openTail_ += tail_;
    standing_ = Standing::kAsRead;
}

std::string_view BoardEnd::standing() const noexcept {
    switch (standing_) {
        case Standing::kAsRead:
            return readTail_;
        case Standing::kTail:
            return tail_;
        case Standing::kOpenTail:
            return openTail_;
    }
    return readTail_;
}

void BoardEnd::written(off_t itemsLength, bool footprintOpen) noexcept {
    insertOffset_ += itemsLength;
    standing_ = footprintOpen ? Standing::kOpenTail : Standing::kTail;
    needsLineBreak_ = false;
}

}  // namespace bitlay::kicad
