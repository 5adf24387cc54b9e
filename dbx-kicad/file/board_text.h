#pragma once

// The board file as text: reading the few parts of a KiCad board (file versions up to KiCad 10)
// that the stand-in needs, and the pieces of text its items are written with (footprint_text.h
// writes them). Everything else in the file is kept as it is.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dbx-kicad/design.h"

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

// A string in double quotes with KiCad's escapes for '"', '\\', CR and LF.
std::string quoteKicadString(std::string_view text);

// Database units as millimetres in KiCad's notation: '.' as the decimal point, no exponent,
// no trailing zeros. Exact, independent of the locale. Appends to `out`, returns the length.
std::size_t appendMillimetres(char* out, std::int64_t units) noexcept;

// UTF-8 text to Latin-1, one byte per character; characters beyond U+00FF and bytes that are not
// valid UTF-8 become '?'.
std::string toLatin1(std::string_view utf8);

// A board line in KiCad's coordinates (y pointing down), in database units.
struct LineGeometry {
    std::int64_t startX = 0;
    std::int64_t startY = 0;
    std::int64_t endX = 0;
    std::int64_t endY = 0;
    std::int64_t width = 0;
};

constexpr std::size_t kUuidLength = 36;

// Room a graphic line needs beyond its quoted layer name.
constexpr std::size_t kLineRoom = 320;

// The UUIDs `text` gives items as their own, in the 8-4-4-4-12 hex-digit form KiCad writes
// (either case): those after (uuid, (tstamp or (id, quoted or not. A UUID that only names another
// item, as a group's members do, is not one of them.
std::vector<std::string_view> itemUuidsIn(std::string_view text);

// Random (version 4) UUIDs in KiCad's text form, from a generator seeded once from the system's
// entropy source: cheap enough for one per placed line.
class UuidGenerator final {
  public:
    UuidGenerator();
    // Writes kUuidLength characters, lower-case hex with dashes.
    void next(char* out) noexcept;

  private:
    std::uint64_t nextWord() noexcept;
    std::uint64_t state_[4] = {};
};

// A new two-layer KiCad 9 board (20241229) as KiCad 9 writes it, with its default layer list.
std::string_view defaultBoardText() noexcept;

}  // namespace bitlay::kicad
