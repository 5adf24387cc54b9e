#include "transfer/transfer.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "dbx/status_codes.h"
#include "numeric/numeric.h"
#include "transfer/number_text.h"

namespace bitlay::transfer {
namespace {

using numeric::roundToInt32;
using picture::Colour;
using picture::kOutside;

// The whole numbers 0, 1, 2, … not beyond `last`, a bound formed in single precision.
std::int64_t wholeNumbersUpTo(float last) noexcept {
    if (!(last >= 0.0f)) return 0;
    // Far beyond any window; keeps the counters clear of overflow for absurd sizes.
    constexpr double kCap = std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int64_t>(std::min(std::floor(static_cast<double>(last)), kCap)) + 1;
}

// How many of the first `count` points map into [0, pixels). The logical-to-pixel mapping is a
// floor of a product with a constant ratio, so the points inside always form a prefix.
template <typename PixelOf>
std::int64_t insidePrefix(std::int64_t count, int pixels, PixelOf pixelOf) {
    std::int64_t n = 0;
    while (n < count) {
        const int pixel = pixelOf(static_cast<double>(n));
        if (pixel < 0 || pixel >= pixels) break;
        ++n;
    }
    return n;
}

// The chosen list positions in the list's order, each once.
std::vector<std::int32_t> chosenPositions(std::vector<std::int32_t> positions) {
    positions.erase(std::remove_if(positions.begin(), positions.end(),
                                   [](std::int32_t position) { return position < 0; }),
                    positions.end());
    std::sort(positions.begin(), positions.end());
    positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
    return positions;
}

std::u16string toU16(const std::string& text) { return std::u16string(text.begin(), text.end()); }

std::string linesText(std::int64_t count, const char* one, const char* many) {
    return std::to_string(count) + (count == 1 ? one : many);
}

// A board position out of range, with the input to blame.
class PositionOutOfRange final : public std::runtime_error {
  public:
    PositionOutOfRange(const std::string& reason, OutOfRange input)
        : std::runtime_error(reason), input_(input) {}
    OutOfRange input() const noexcept { return input_; }

  private:
    OutOfRange input_;
};

// A board position is the corner's offset plus the span of the points before it at this pitch.
// The corner is to blame when it is out of range on its own, the pitch when the span alone is,
// and the corner again when only the two together reach past the range.
[[noreturn]] void blame(const std::exception& fault, double corner, double span,
                        OutOfRange cornerInput) {
    const bool spanAlone = numeric::roundsToInt32(corner) && !numeric::roundsToInt32(span);
    throw PositionOutOfRange(fault.what(), spanAlone ? OutOfRange::kScalePosition : cornerInput);
}

class Scan final {
  public:
    Scan(const picture::PictureBox& box, const LineSink& placeLine,
         const std::vector<std::int32_t>& layerIds, double x, double y, std::int32_t scale,
         TransferResult& result)
        : box_(box),
          placeLine_(placeLine),
          layerIds_(layerIds),
          X_(x),
          Y_(y),
          S_(scale),
          result_(result) {}

    void run(dbx::LineRecord& record, Colour selected, const ProgressSink& showProgress) {
        record_ = &record;
        const std::int64_t allRows = wholeNumbersUpTo(box_.Height() - 1.0f);
        const std::int64_t allColumns = wholeNumbersUpTo(box_.Width() - 1.0f);
        lastX_ = allColumns - 1;
        const std::int64_t rowsInside = insidePrefix(allRows, box_.clientHeightPixels(),
                                                     [this](double y) { return box_.rowOf(y); });
        const std::int64_t columnsInside = insidePrefix(
            allColumns, box_.clientWidthPixels(), [this](double x) { return box_.columnOf(x); });

        // Outside points are -1, which never matches a picked colour: past the client area's
        // bottom nothing can open, and past its right edge the first point closes what is open.
        const bool outsideMatters = selected == kOutside;
        const std::int64_t rows = outsideMatters ? allRows : rowsInside;
        const std::int64_t columns =
            outsideMatters ? allColumns : std::min(columnsInside + 1, allColumns);

        std::vector<int> pixelColumn(static_cast<std::size_t>(std::min(columnsInside, columns)));
        for (std::size_t x = 0; x < pixelColumn.size(); ++x)
            pixelColumn[x] = box_.columnOf(static_cast<double>(x));

        const QImage& surface = box_.surface();
        for (std::int64_t y = 0; y < rows; ++y) {
            showProgress(rowProgressCaption(static_cast<int>(y * 100 / rows)));
            y_ = y;
            std::int64_t x = 0;
            if (y < rowsInside) {
                const auto* line =
                    reinterpret_cast<const QRgb*>(surface.constScanLine(box_.rowOf(y)));
                for (const int column : pixelColumn) {
                    visit(x, picture::colourFromRgb(line[column]) == selected);
                    ++x;
                }
            }
            for (; x < columns; ++x) visit(x, kOutside == selected);
        }
    }

  private:
    // One point of a row: a point of the colour opens a run where none is open; the first point
    // that is not of it closes the run on the point before. A run still open on the row's last
    // point is closed on that point, so no run reaches into the next row.
    void visit(std::int64_t x, bool matches) {
        if (!open_) {
            if (!matches) return;
            open_ = true;
            record_->startX = boardX(x);
            record_->startY = boardY();
            if (x == lastX_) close(x);
        } else if (!matches || x == lastX_) {
            close(x);
        }
    }

    void close(std::int64_t x) {
        open_ = false;
        record_->endX = boardX(x);
        record_->endY = boardY();
        if (record_->endX == record_->startX) {
            try {
                record_->endX = numeric::add32(record_->endX, SAME_X_NUDGE);
            } catch (const numeric::OverflowError& fault) {
                blame(fault, X_ * DB_PER_UNIT, span(x), OutOfRange::kX);
            }
        }
        // The same line on every chosen layer; only the layer changes between the placements.
        for (const std::int32_t layerId : layerIds_) {
            record_->layerId = layerId;
            const dbx::DbxStatusCode status = placeLine_(*record_);
            if (status == 0) {
                ++result_.linesPlaced;
            } else {
                ++result_.linesRefused;
                result_.lastRefusal = status;
            }
        }
    }

    double span(std::int64_t points) const {
        return static_cast<double>(S_) * static_cast<double>(points) * DB_PER_UNIT;
    }
    std::int32_t boardX(std::int64_t x) const {
        const double corner = X_ * DB_PER_UNIT;
        try {
            return roundToInt32(corner + span(x));
        } catch (const numeric::OverflowError& fault) {
            blame(fault, corner, span(x), OutOfRange::kX);
        }
    }
    std::int32_t boardY() const {
        const double corner = Y_ * DB_PER_UNIT;
        try {
            return roundToInt32(corner - span(y_));
        } catch (const numeric::OverflowError& fault) {
            blame(fault, corner, span(y_), OutOfRange::kY);
        }
    }

    const picture::PictureBox& box_;
    const LineSink& placeLine_;
    const std::vector<std::int32_t>& layerIds_;
    const double X_;
    const double Y_;
    const std::int32_t S_;
    TransferResult& result_;
    dbx::LineRecord* record_ = nullptr;
    std::int64_t lastX_ = -1;
    std::int64_t y_ = 0;
    bool open_ = false;
};

}  // namespace

TransferStopped::TransferStopped(const std::string& reason, OutOfRange input,
                                 std::int64_t linesPlaced, std::int64_t linesRefused)
    : std::runtime_error(reason),
      input_(input),
      linesPlaced_(linesPlaced),
      linesRefused_(linesRefused) {}

TransferResult Transfer(const picture::PictureBox& picture1, const TransferInput& input,
                        const LineSink& placeLine, const ProgressSink& showProgress) {
    TransferResult result;
    dbx::LineRecord record{};

    if (numberOfText(input.scaleText) < 1) {
        result.outcome = TransferOutcome::kScaleRefused;
        return result;
    }
    const std::vector<std::int32_t> chosen = chosenPositions(input.layerIndices);
    if (chosen.empty()) {
        result.outcome = TransferOutcome::kLayerRefused;
        return result;
    }

    // The input each step before the scan depends on; the scan blames its own positions.
    OutOfRange step = OutOfRange::kScale;
    try {
        const double x = numberOfText(input.xText);
        const double y = numberOfText(input.yText);
        const std::int32_t scale = roundToInt32(numberOfText(input.scaleText));
        step = OutOfRange::kLayer;
        std::vector<std::int32_t> layerIds;
        for (const std::int32_t position : chosen)
            layerIds.push_back(numeric::add16(numeric::narrowToInt16(position), 1));
        step = OutOfRange::kScale;
        record.width = numeric::mul32(scale, DB_PER_UNIT);
        result.layers = static_cast<int>(layerIds.size());
        Scan(picture1, placeLine, layerIds, x, y, scale, result)
            .run(record, input.selectedColour, showProgress);
    } catch (const PositionOutOfRange& e) {
        throw TransferStopped(e.what(), e.input(), result.linesPlaced, result.linesRefused);
    } catch (const numeric::OverflowError& e) {
        throw TransferStopped(e.what(), step, result.linesPlaced, result.linesRefused);
    } catch (const numeric::FloatingPointError& e) {
        throw TransferStopped(e.what(), step, result.linesPlaced, result.linesRefused);
    }
    result.outcome = TransferOutcome::kCompleted;
    return result;
}

std::string rowProgressCaption(int percent) { return " " + std::to_string(percent) + " %"; }

std::u16string completionReport(const TransferResult& result, const StatusText& statusText) {
    if (result.linesRefused == 0) {
        std::string report = linesText(result.linesPlaced, " line placed", " lines placed");
        if (result.layers > 1) report += " on " + std::to_string(result.layers) + " layers";
        return toU16(report + ".");
    }
    std::u16string report =
        toU16(linesText(result.linesPlaced, " line placed, ", " lines placed, ") +
              std::to_string(result.linesRefused) + " refused: ") +
        statusText(result.lastRefusal);
    // The editor takes nothing while one of its tools or dialogs is open, and only its user can
    // end that.
    if (result.lastRefusal == dbx::status::kServerBusy)
        report +=
            u" \u2014 the editor is busy with a tool or a dialog: press Esc in the editor, then "
            u"Transfer again.";
    return report;
}

std::u16string stoppedReport(const TransferStopped& stopped) {
    const char* what = "";
    switch (stopped.input()) {
        case OutOfRange::kScale:
            what = "The scale is out of range: the line width leaves the 32-bit range.";
            break;
        case OutOfRange::kLayer:
            what = "The layer is out of range: its number leaves the 16-bit range.";
            break;
        case OutOfRange::kX:
            what = "X is out of range: the board position leaves the 32-bit range.";
            break;
        case OutOfRange::kY:
            what = "Y is out of range: the board position leaves the 32-bit range.";
            break;
        case OutOfRange::kScalePosition:
            what = "The scale is out of range: the board position leaves the 32-bit range.";
            break;
    }
    std::string text = std::string(what) + " Transfer stopped after " +
                       linesText(stopped.linesPlaced(), " line placed", " lines placed");
    if (stopped.linesRefused() > 0)
        text += ", " + std::to_string(stopped.linesRefused()) + " refused";
    return toU16(text + ".");
}

}  // namespace bitlay::transfer
