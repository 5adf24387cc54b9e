#pragma once

// The board file as text: reading the few parts of a KiCad 6 board that the stand-in needs, and
// writing line items in KiCad's own notation. Everything else in the file is kept as it is.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dbx-kicad/design.h"

namespace bitlay::kicad {

// The newest board file version this library writes items for (KiCad 6).
constexpr std::int64_t kNewestBoardVersion = 20211014;

struct BoardLayer {
    std::string canonicalName;  // as written in (layer "...") of an item, unescaped UTF-8
    std::string userName;       // empty when the entry has none
};

enum class BoardReadResult { kOk, kNotABoard, kTooNew };

struct BoardOutline {
    BoardReadResult result = BoardReadResult::kNotABoard;
    std::int64_t version = 0;
    std::vector<BoardLayer> layers;
    // Offset of the parenthesis that closes (kicad_pcb ...): new items go in right before it.
    std::size_t closingOffset = 0;
};

// Reads the top-level form of a board file: its (version N) and its (layers ...) section. The
// whole text must be one well-formed (kicad_pcb ...) form with nothing but white space after it.
BoardOutline readBoardOutline(std::string_view text);

// A string in double quotes with KiCad's escapes for '"', '\\', CR and LF.
std::string quoteKicadString(std::string_view text);

// Database units as millimetres in KiCad's notation: '.' as the decimal point, no exponent,
// no trailing zeros. Exact, independent of the locale. Appends to `out`, returns the length.
std::size_t appendMillimetres(char* out, std::int64_t units) noexcept;

// UTF-8 text to Latin-1, one byte per character; characters beyond U+00FF and bytes that are not
// valid UTF-8 become '?'.
std::string toLatin1(std::string_view utf8);

// A new two-layer KiCad 6 board as KiCad itself creates it, with the default layer list.
std::string_view defaultBoardText() noexcept;

}  // namespace bitlay::kicad
