#pragma once

#include <QString>
#include <cstdint>

#include "picture/picture_box.h"

namespace bitlay::app {

// The input that carried a stopped transfer out of range.
enum class OutOfRange {
    kX,              // X: a board x leaves the 32-bit range
    kY,              // Y: a board y leaves the 32-bit range
    kScaleWidth,     // the scale: the line width (or the scale itself) leaves the 32-bit range
    kScalePosition,  // the scale: the picture at this pitch reaches past the 32-bit board range
    kLayer,          // the layer's position in the list leaves the 16-bit range
    kUnknown,
};

// The furthest column and row at which a run can open or close in `picture1`: the first column
// past the client area's right edge (where an open run closes on the outside colour) and the
// client area's last row; with the outside colour itself selected, the box's last point.
struct ScanReach {
    std::int64_t column = 0;
    std::int64_t row = 0;
};
ScanReach scanReach(const picture::PictureBox& picture1, picture::Colour selected);

// Which input stopped a transfer of the numbers of X, Y and the scale text with an overflow,
// following the order in which the transfer forms its values: the scale and the line width, the
// layer id, the corner's board position, then the far end of the picture at this pitch.
OutOfRange outOfRangeInput(double x, double y, double scale, int layerIndex, ScanReach reach);

// "X is out of range: the board position leaves the 32-bit range. Transfer stopped after 12
// lines placed." The same sentence goes to the message box and the message line.
QString overflowSentence(OutOfRange input, std::int64_t linesPlaced, std::int64_t linesRefused);

}  // namespace bitlay::app
