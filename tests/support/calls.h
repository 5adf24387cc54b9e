#pragma once

// The stand-in's tests call it as the tool does: a line record with the fields the stand-in reads
// and every other byte zero, and a layer's name as the tool lists it.

#include <cstdint>
#include <cstring>
#include <string>

#include "dbx-kicad/dbx32.h"

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

// The name TGetLayerById gives for `id`, up to its first NUL; its status into `status` if asked.
inline std::string layerName(bitlay::dbx::DesignContext& context, std::int32_t id,
                             bitlay::dbx::DbxStatusCode* status = nullptr) {
    bitlay::dbx::LayerRecord8 record{};
    const bitlay::dbx::DbxStatusCode result = TGetLayerById(&context, id, &record);
    if (status != nullptr) *status = result;
    return std::string(record.layerName, strnlen(record.layerName, sizeof record.layerName));
}

}  // namespace bitlay::kicad::test
