#pragma once

// The forms of a transfer's footprint for each syntax, as KiCad writes them. A form is its text
// with slots in braces that the writer fills in: {uuid}, {at} (the anchor), {start}, {end},
// {width}, {layer}; a field's {name}, {text}, {layer} and {thickness} (its font's own, when the
// version writes one).

#include <cstddef>
#include <string_view>

namespace bitlay::kicad {

struct FieldForm {
    std::string_view name;
    std::string_view text;  // quoted; empty for the transfer's name
    std::string_view layer;
};

struct FootprintLayout {
    std::string_view head;
    std::string_view line;
    std::string_view field;
    const FieldForm* fields;
    std::size_t fieldCount;
    std::string_view closing;
    std::string_view thickness;
};

}  // namespace bitlay::kicad
