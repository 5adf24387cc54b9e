#include "dbx-kicad/design.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "dbx-kicad/kicad_text/kicad_strings.h"
#include "dbx-kicad/status.h"

namespace bitlay::kicad {

LayerName makeLayerName(std::string_view canonicalName, std::string_view userName) {
    LayerName name{};
    const std::string latin1 = toLatin1(userName.empty() ? canonicalName : userName);
    std::memcpy(name.data(), latin1.data(), std::min(latin1.size(), name.size()));
    return name;
}

std::string transferName(std::size_t lines) {
    std::string digits = std::to_string(lines);
    for (std::size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, ",");
    return "Bitlay: " + digits + (lines == 1 ? " line" : " lines");
}

BoardLine toBoardLine(const LineRecord& line) noexcept {
    constexpr std::int64_t kNanometresPerUnit = 10;
    const auto x = [](std::int32_t units) { return std::int64_t{units} * kNanometresPerUnit; };
    const auto y = [](std::int32_t units) { return -std::int64_t{units} * kNanometresPerUnit; };
    return {x(line.startX), y(line.startY), x(line.endX),
            y(line.endY),   x(line.width),  static_cast<std::size_t>(line.layerId) - 1};
}

namespace {
bool insideWorkspace(std::int32_t value) noexcept {
    return value >= -kWorkspaceLimitUnits && value <= kWorkspaceLimitUnits;
}
}  // namespace

DbxStatusCode checkLine(const LineRecord& line, std::size_t layerCount) noexcept {
    if (line.layerId < 1 || static_cast<std::size_t>(line.layerId) > layerCount) {
        return status::kInvalidLayerId;
    }
    if (line.width <= 0) return status::kInvalidWidth;
    if (!insideWorkspace(line.width) || !insideWorkspace(line.startX) ||
        !insideWorkspace(line.startY) || !insideWorkspace(line.endX) ||
        !insideWorkspace(line.endY)) {
        return status::kItemOutsideWorkspace;
    }
    return status::kOk;
}

}  // namespace bitlay::kicad
