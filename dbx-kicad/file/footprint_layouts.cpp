#include "dbx-kicad/file/footprint_layouts.h"

#include "dbx-kicad/file/footprint_writer.h"

namespace bitlay::kicad {
namespace {

// KiCad 6 and 7: each list on as few lines as KiCad's writer puts it, indented with spaces.
constexpr std::string_view kKicad6Head =
    "  (footprint \"\" (layer \"F.Cu\")\n"
    "    (tedit 0) (tstamp {uuid})\n"
    "    (at {at})\n"
    "    (attr board_only exclude_from_pos_files exclude_from_bom)\n";
constexpr std::string_view kKicad7Head =
    "  (footprint \"\" (layer \"F.Cu\")\n"
    "    (tstamp {uuid})\n"
    "    (at {at})\n"
    "    (attr board_only exclude_from_pos_files exclude_from_bom)\n";
// The width after the layer.
constexpr std::string_view kKicad6Line =
    "    (fp_line (start {start}) (end {end}) (layer {layer}) (width {width}) (tstamp {uuid}))\n";
// The points on the first line, the stroke and the rest on a second one.
constexpr std::string_view kKicad7Line =
    "    (fp_line (start {start}) (end {end})\n"
    "      (stroke (width {width}) (type solid)) (layer {layer}) (tstamp {uuid}))\n";
constexpr std::string_view kKicad6Field =
    "    (fp_text {name} {text} (at 0 0) (layer {layer}) hide\n"
    "      (effects (font (size 1.27 1.27) (thickness 0.15)))\n"
    "      (tstamp {uuid})\n"
    "    )\n";
// The effects one level deeper.
constexpr std::string_view kKicad7Field =
    "    (fp_text {name} {text} (at 0 0) (layer {layer}) hide\n"
    "        (effects (font (size 1.27 1.27) (thickness 0.15)))\n"
    "      (tstamp {uuid})\n"
    "    )\n";
constexpr FieldForm kKicad6Fields[] = {{"reference", "", "\"F.SilkS\""},
                                       {"value", "\"Bitlay\"", "\"F.Fab\""}};
constexpr std::string_view kKicad6Closing = "  )\n";

// KiCad 8 and later: every list on a line of its own, one tab a level.
constexpr std::string_view kKicad8Head =
    "\t(footprint \"\"\n"
    "\t\t(layer \"F.Cu\")\n"
    "\t\t(uuid \"{uuid}\")\n"
    "\t\t(at {at})\n"
    "\t\t(attr board_only exclude_from_pos_files exclude_from_bom)\n";
constexpr std::string_view kKicad10Head =
    "\t(footprint \"\"\n"
    "\t\t(layer \"F.Cu\")\n"
    "\t\t(uuid \"{uuid}\")\n"
    "\t\t(at {at})\n"
    "\t\t(attr board_only exclude_from_pos_files exclude_from_bom)\n"
    "\t\t(duplicate_pad_numbers_are_jumpers no)\n";
constexpr std::string_view kKicad8Line =
    "\t\t(fp_line\n"
    "\t\t\t(start {start})\n"
    "\t\t\t(end {end})\n"
    "\t\t\t(stroke\n"
    "\t\t\t\t(width {width})\n"
    "\t\t\t\t(type default)\n"
    "\t\t\t)\n"
    "\t\t\t(layer {layer})\n"
    "\t\t\t(uuid \"{uuid}\")\n"
    "\t\t)\n";
// A field as a hidden property; KiCad 10 gives its font no thickness of its own.
constexpr std::string_view kKicad8Field =
    "\t\t(property \"{name}\" {text}\n"
    "\t\t\t(at 0 0 0)\n"
    "\t\t\t(layer {layer})\n"
    "\t\t\t(hide yes)\n"
    "\t\t\t(uuid \"{uuid}\")\n"
    "\t\t\t(effects\n"
    "\t\t\t\t(font\n"
    "\t\t\t\t\t(size 1.27 1.27)\n"
    "{thickness}"
    "\t\t\t\t)\n"
    "\t\t\t)\n"
    "\t\t)\n";
constexpr std::string_view kThickness = "\t\t\t\t\t(thickness 0.15)\n";
// KiCad 8 writes every footprint field, empty or not; KiCad 9 has no Footprint field.
constexpr FieldForm kKicad8Fields[] = {{"Reference", "", "\"F.SilkS\""},
                                       {"Value", "\"Bitlay\"", "\"F.Fab\""},
                                       {"Footprint", "\"\"", "\"F.Fab\""},
                                       {"Datasheet", "\"\"", "\"F.Fab\""},
                                       {"Description", "\"\"", "\"F.Fab\""}};
constexpr FieldForm kKicad9Fields[] = {{"Reference", "", "\"F.SilkS\""},
                                       {"Value", "\"Bitlay\"", "\"F.Fab\""},
                                       {"Datasheet", "\"\"", "\"F.Fab\""},
                                       {"Description", "\"\"", "\"F.Fab\""}};
constexpr std::string_view kKicad8Closing = "\t)\n";
constexpr std::string_view kKicad9Closing = "\t\t(embedded_fonts no)\n\t)\n";

template <std::size_t N>
constexpr FootprintLayout layout(std::string_view head, std::string_view line,
                                 std::string_view field, const FieldForm (&fields)[N],
                                 std::string_view closing, std::string_view thickness = {}) {
    return {head, line, field, fields, N, closing, thickness};
}

constexpr FootprintLayout kLayouts[] = {
    layout(kKicad6Head, kKicad6Line, kKicad6Field, kKicad6Fields, kKicad6Closing),
    layout(kKicad6Head, kKicad7Line, kKicad7Field, kKicad6Fields, kKicad6Closing),
    layout(kKicad7Head, kKicad7Line, kKicad7Field, kKicad6Fields, kKicad6Closing),
    layout(kKicad8Head, kKicad8Line, kKicad8Field, kKicad8Fields, kKicad8Closing, kThickness),
    layout(kKicad8Head, kKicad8Line, kKicad8Field, kKicad9Fields, kKicad9Closing, kThickness),
    layout(kKicad10Head, kKicad8Line, kKicad8Field, kKicad9Fields, kKicad9Closing),
};

}  // namespace

const FootprintLayout& footprintLayout(FootprintSyntax syntax) noexcept {
    return kLayouts[static_cast<std::size_t>(syntax)];
}

}  // namespace bitlay::kicad
