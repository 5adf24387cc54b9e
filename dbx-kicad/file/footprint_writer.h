#pragma once

// A transfer as one footprint of a board file, written the way KiCad's board writer writes a
// footprint for the file's version: library id empty, on F.Cu, orientation 0, board only and left
// out of position files and BOM, its Reference and Value fields hidden, each line one graphic line
// of the footprint. The footprint goes in piece by piece: its head, then its lines, and once the
// transfer is over its fields (the name needs the count), then its closing. KiCad reads a
// footprint's fields wherever they stand among its items.
//
// Each version's forms are data (footprint_layouts.cpp); one writer fills them in.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "dbx-kicad/design.h"

namespace bitlay::kicad {

class Uuid;
class UuidGenerator;
struct FootprintLayout;

// 20220225 "Remove TEDIT": a footprint no longer carries its edit time.
constexpr std::int64_t kWithoutTeditVersion = 20220225;
// 20240706 "Embedded Files" (9.0 development): a footprint ends with (embedded_fonts no); KiCad 9
// no longer keeps a footprint's Footprint field.
constexpr std::int64_t kEmbeddedFilesVersion = 20240706;
// 20250324 "Jumper pads" (10.0 development): a footprint says whether its duplicate pad numbers are
// jumpers; KiCad 10 gives a new footprint's fields no thickness of their own.
constexpr std::int64_t kJumperPadsVersion = 20250324;

// How KiCad writes a footprint for a file version: the releases' forms, from their writers and
// checked against KiCad where it runs here; a development version between two releases gets the
// form its changes in the version history imply.
enum class FootprintSyntax {
    kKicad6,       // up to 20211228: (tedit 0) (tstamp UUID), fp_text fields, lines with (width W)
    kKicad7Tedit,  // 20211229 to 20220224: as 7, still with (tedit 0)
    kKicad7,       // to 20231013: (tstamp UUID), fp_text fields with their effects one level
                   // deeper, lines with (stroke ...)
    kKicad8,       // to 20240705: tab-indented, (property ...) fields, (uuid "UUID")
    kKicad9,       // to 20250323: as 8 without the Footprint field, with (embedded_fonts no)
    kKicad10,      // from 20250324: as 9 with (duplicate_pad_numbers_are_jumpers no), the
                   // fields without (thickness ...)
};

FootprintSyntax footprintSyntaxFor(std::int64_t version) noexcept;

// The layout of each syntax's forms.
const FootprintLayout& footprintLayout(FootprintSyntax syntax) noexcept;

// Writes the pieces of footprints into a text of its own, for one write to the board.
class FootprintWriter final {
  public:
    explicit FootprintWriter(FootprintSyntax syntax) noexcept;

    FootprintSyntax syntax() const noexcept { return syntax_; }

    // Starts a new text.
    void clear() noexcept { text_.clear(); }
    const std::string& text() const noexcept { return text_; }

    // Anything as it is: a line break, the file's tail.
    void append(std::string_view text) { text_.append(text); }

    // The footprint's head, from `(footprint` to its attributes, line break included: its UUID
    // and its anchor (KiCad's coordinates).
    void head(const Uuid& uuid, std::int64_t anchorX, std::int64_t anchorY);

    // One graphic line of the footprint, its points relative to the footprint's anchor (KiCad
    // writes them so), `quotedLayer` the canonical layer name in quotes.
    void line(const BoardLine& relative, std::string_view quotedLayer, const Uuid& uuid);

    // The fields KiCad writes for the version, Reference `quotedName` and Value "Bitlay" first,
    // each with a fresh UUID from `uuids`.
    void fields(std::string_view quotedName, UuidGenerator& uuids);

    // What closes the footprint after its items.
    void closing();

  private:
    FootprintSyntax syntax_;
    const FootprintLayout* layout_;
    std::string text_;
};

// What closes a footprint of `syntax`, as text.
std::string_view footprintClosing(FootprintSyntax syntax) noexcept;

}  // namespace bitlay::kicad
