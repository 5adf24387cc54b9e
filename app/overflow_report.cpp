#include "app/overflow_report.h"

#include <cmath>
#include <limits>

#include "numeric/numeric.h"

namespace bitlay::app {
namespace {

constexpr double kPerUnit = 2540;  // database units in one unit of X, Y and the scale
constexpr double kSameXNudge = 1300;

// Whether a value rounded as the transfer rounds it leaves the 32-bit range (NaN does).
bool outside32(double value) {
    const double rounded = numeric::roundHalfEven(value);
    return !(rounded >= std::numeric_limits<std::int32_t>::min() &&
             rounded <= std::numeric_limits<std::int32_t>::max());
}

QString lines(std::int64_t count) {
    return QStringLiteral("%1 line%2").arg(count).arg(count == 1 ? "" : "s");
}

}  // namespace

ScanReach scanReach(const picture::PictureBox& picture1, picture::Colour selected) {
    const auto wholeUpTo = [](float last) -> std::int64_t {
        return last >= 0 ? static_cast<std::int64_t>(std::floor(last)) : -1;
    };
    const std::int64_t lastColumn = wholeUpTo(picture1.Width() - 1.0f);
    const std::int64_t lastRow = wholeUpTo(picture1.Height() - 1.0f);
    if (selected == picture::kOutside) return {lastColumn, lastRow};
    std::int64_t columns = 0;
    while (columns <= lastColumn &&
           picture1.columnOf(static_cast<double>(columns)) < picture1.clientWidthPixels())
        ++columns;
    std::int64_t rows = 0;
    while (rows <= lastRow &&
           picture1.rowOf(static_cast<double>(rows)) < picture1.clientHeightPixels())
        ++rows;
    return {std::min(columns, lastColumn), rows - 1};
}

OutOfRange outOfRangeInput(double x, double y, double scale, int layerIndex, ScanReach reach) {
    if (outside32(scale)) return OutOfRange::kScaleWidth;
    if (layerIndex >= std::numeric_limits<std::int16_t>::max()) return OutOfRange::kLayer;
    const double pitch = numeric::roundHalfEven(scale) * kPerUnit;
    if (outside32(pitch)) return OutOfRange::kScaleWidth;
    const double cornerX = x * kPerUnit;
    const double cornerY = y * kPerUnit;
    if (outside32(cornerX)) return OutOfRange::kX;
    if (outside32(cornerY)) return OutOfRange::kY;
    const double spanX = pitch * static_cast<double>(std::max<std::int64_t>(reach.column, 0));
    const double spanY = pitch * static_cast<double>(std::max<std::int64_t>(reach.row, 0));
    // A line that starts and ends at the same x is nudged to the right.
    const bool farX = outside32(cornerX + spanX) || outside32(cornerX + spanX + kSameXNudge);
    const bool farY = outside32(cornerY - spanY);
    // The picture alone, at this pitch, is wider or taller than the board range.
    if ((farX && outside32(spanX)) || (farY && outside32(spanY))) return OutOfRange::kScalePosition;
    if (farX) return OutOfRange::kX;
    if (farY) return OutOfRange::kY;
    return OutOfRange::kUnknown;
}

QString overflowSentence(OutOfRange input, std::int64_t linesPlaced, std::int64_t linesRefused) {
    QString what;
    switch (input) {
        case OutOfRange::kX:
            what = QStringLiteral("X is out of range: the board position leaves the 32-bit range.");
            break;
        case OutOfRange::kY:
            what = QStringLiteral("Y is out of range: the board position leaves the 32-bit range.");
            break;
        case OutOfRange::kScaleWidth:
            what = QStringLiteral(
                "The scale is out of range: the line width leaves the 32-bit range.");
            break;
        case OutOfRange::kScalePosition:
            what = QStringLiteral(
                "The scale is out of range: the board position leaves the 32-bit range.");
            break;
        case OutOfRange::kLayer:
            what = QStringLiteral("The layer is out of range: its number leaves the 16-bit range.");
            break;
        case OutOfRange::kUnknown:
            what = QStringLiteral("A number left its range.");
            break;
    }
    QString stop = QStringLiteral(" Transfer stopped after %1 placed").arg(lines(linesPlaced));
    if (linesRefused > 0) stop += QStringLiteral(", %1 refused").arg(linesRefused);
    return what + stop + QLatin1Char('.');
}

}  // namespace bitlay::app
