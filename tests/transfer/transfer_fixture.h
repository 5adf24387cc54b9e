#pragma once

// What the transfer's tests share: the ink and paper colours, a recorder of placements, readable
// lines, a box of pixels.

#include <cstdint>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "transfer/transfer.h"

namespace bitlay::transfer::test {

using dbx::LineRecord;
using picture::Colour;
using picture::PictureBox;

constexpr Colour kInk = 0x0000FF;    // red
constexpr Colour kPaper = 0xFFFFFF;  // white

inline std::string describe(const LineRecord& r) {
    std::ostringstream out;
    out << "(" << r.startX << ", " << r.startY << ") -> (" << r.endX << ", " << r.endY << ") width "
        << r.width << " layer " << r.layerId;
    return out.str();
}

inline std::string describeLines(const std::vector<LineRecord>& lines) {
    std::string text;
    for (const auto& line : lines) text += describe(line) + "\n";
    return text;
}

inline LineRecord line(std::int32_t startX, std::int32_t startY, std::int32_t endX,
                       std::int32_t endY, std::int32_t width = 2540, std::int32_t layerId = 1) {
    LineRecord r{};
    r.width = width;
    r.startX = startX;
    r.startY = startY;
    r.endX = endX;
    r.endY = endY;
    r.layerId = layerId;
    return r;
}

// Takes every placement as the library would, and answers with a chosen status.
struct Recorder {
    std::vector<LineRecord> lines;
    std::vector<std::string> captions;
    std::function<dbx::DbxStatusCode(std::size_t)> statusOf = [](std::size_t) { return 0; };

    TransferResult run(const PictureBox& box, const TransferInput& input) {
        return Transfer(
            box, input,
            [this](LineRecord& record) {
                lines.push_back(record);
                return statusOf(lines.size() - 1);
            },
            [this](const std::string& caption) { captions.push_back(caption); });
    }
};

// One layer chosen, or none for a negative index.
inline TransferInput input(Colour selected, const char* x = "0", const char* y = "0",
                           const char* scale = "1", std::int32_t layerIndex = 0) {
    return TransferInput{x, y, scale, {layerIndex}, selected};
}

// A box whose logical points are its pixels, paper-white, with the given ink points set.
inline PictureBox pixelBox(float widthTwips = 4695, float heightTwips = 3495) {
    PictureBox box(widthTwips, heightTwips);
    box.setBackColor(kPaper);
    box.Cls();
    box.setScaleModePixels();
    return box;
}

}  // namespace bitlay::transfer::test
