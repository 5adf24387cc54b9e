#pragma once

#include <string_view>

namespace bitlay::kicad {

// A new two-layer KiCad 9 board (20241229) as KiCad 9 writes it, with its default layer list.
std::string_view defaultBoardText() noexcept;

}  // namespace bitlay::kicad
