#pragma once

// A line record for the stand-in's tests: the fields it reads, every other byte zero.

#include <cstdint>

#include "dbx/records.h"

namespace bitlay::kicad::test {

inline bitlay::dbx::LineRecord makeLine(std::int32_t layerId, std::int32_t width,
                                        std::int32_t startX, std::int32_t startY, std::int32_t endX,
                                        std::int32_t endY) {
    bitlay::dbx::LineRecord line{};
    line.layerId = layerId;
    line.width = width;
    line.startX = startX;
    line.startY = startY;
    line.endX = endX;
    line.endY = endY;
    return line;
}

}  // namespace bitlay::kicad::test
