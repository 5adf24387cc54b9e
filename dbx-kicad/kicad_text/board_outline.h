#pragma once

// The few parts of a KiCad board file (file versions up to KiCad 10) that the stand-in reads: its
// version, its layers, where it ends. Everything else in the file is kept as it is.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace bitlay::kicad {

// Board file versions, from the version history of KiCad's board writer.
// 20211014: KiCad 6.0.
constexpr std::int64_t kKicad6Version = 20211014;
// 20211229 "Stroke formatting" (7.0 development): a shape's width moves into (stroke ...).
constexpr std::int64_t kStrokeVersion = 20211229;
// 20231014 "V8 file format normalization" (8.0 development): (uuid "...") replaces (tstamp ...),
// a new shape's stroke type is `default`, and every list goes on lines of its own, tab-indented.
constexpr std::int64_t kNormalizedVersion = 20231014;
// 20241229 "Expand User layers to arbitrary count": KiCad 9.0.
constexpr std::int64_t kKicad9Version = 20241229;
// 20260206: KiCad 10.0, the newest board this library knows; a newer one is refused.
constexpr std::int64_t kNewestBoardVersion = 20260206;

struct BoardLayer {
    std::string canonicalName;  // as written in (layer "...") of an item, unescaped UTF-8
    std::string userName;       // empty when the entry has none
};

enum class BoardReadResult { kOk, kNotABoard, kTooNew };

struct BoardOutline {
    BoardReadResult result = BoardReadResult::kNotABoard;
    std::int64_t version = 0;
    std::vector<BoardLayer> layers;
    // Offset of the parenthesis that closes (kicad_pcb ...).
    std::size_t closingOffset = 0;
    // Where new items go: at the start of the line of a closing (embedded_fonts ...) form when
    // the rest of the file is short (KiCad 9 and later write their items before it), else right
    // before the closing parenthesis.
    std::size_t insertOffset = 0;
};

// Reads the top-level form of a board file: its (version N) and its (layers ...) section, which
// must list a layer at least. The whole text must be one well-formed (kicad_pcb ...) form with
// nothing but white space after it.
BoardOutline readBoardOutline(std::string_view text);

}  // namespace bitlay::kicad
