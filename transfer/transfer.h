#pragma once

// The bitmap-to-PCB transfer: Picture1 is scanned row by row from the top, left to right within a
// row, and every horizontal run of the selected colour becomes one straight line item on each
// chosen layer. The scan only walks the picture model; each finished line goes to a sink
// (TPlaceLine in the window, a recorder in tests) and the progress caption to another, so nothing
// here knows a widget or the DBX library.

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "dbx/records.h"
#include "picture/picture_box.h"

namespace bitlay::transfer {

// One unit typed into X, Y or the scale is this many database units.
inline constexpr std::int32_t DB_PER_UNIT = 2540;
// Added to endX of a line that would otherwise start and end at the same x; the same at any scale.
inline constexpr std::int32_t SAME_X_NUDGE = 1300;

inline constexpr char kScaleMessage[] = "Values for SCALE should be 1 or bigger.";
inline constexpr char kLayerMessage[] = "Select Destination layer on the PCB database.";
inline constexpr char kTransferCaption[] = "Transfer Bitmap to PCB";

// What a click reads from the window, taken at the click.
struct TransferInput {
    std::string_view xText;      // Text1
    std::string_view yText;      // Text2
    std::string_view scaleText;  // Text3
    // List2's selected positions; none when nothing is selected. Each line goes to every one of
    // them, in the list's order whatever the order here; a negative position or a repeated one
    // chooses nothing more.
    std::vector<std::int32_t> layerIndices;
    picture::Colour selectedColour = 0;  // Label8's back colour
};

enum class TransferOutcome {
    kScaleRefused,  // Label5 gets kScaleMessage; nothing else is read or changed
    kLayerRefused,  // no layer chosen: Label5 gets kLayerMessage
    kCompleted,     // the scan ran to its end; the caption goes back to kTransferCaption
};

struct TransferResult {
    TransferOutcome outcome = TransferOutcome::kCompleted;
    std::int64_t linesPlaced = 0;   // placements with status 0, on every layer together
    std::int64_t linesRefused = 0;  // placements with any other status
    dbx::DbxStatusCode lastRefusal = 0;
    int layers = 0;  // the layers each line went to
};

// Places one finished line and returns its status. The record is the transfer's one record,
// passed by reference as the library takes it.
using LineSink = std::function<dbx::DbxStatusCode(dbx::LineRecord& record)>;
// Shows a progress caption on Command3 at once; called at the start of every scanned row.
using ProgressSink = std::function<void(const std::string& caption)>;
// The one-line text of a status, for the closing report.
using StatusText = std::function<std::u16string(dbx::DbxStatusCode status)>;

// The input that carried a stopped transfer out of range.
enum class OutOfRange {
    kScale,          // the scale, or the line width it gives, leaves the 32-bit range
    kLayer,          // the layer's id leaves the 16-bit range
    kX,              // a board x leaves the 32-bit range, the corner's X taking it there
    kY,              // a board y leaves the 32-bit range, the corner's Y taking it there
    kScalePosition,  // the picture alone, at this pitch, reaches past the 32-bit board range
};

// An arithmetic overflow (or floating-point fault) stopped the transfer on the spot. The lines
// placed before it stay in the design; the counts say how many there were.
class TransferStopped final : public std::runtime_error {
  public:
    TransferStopped(const std::string& reason, OutOfRange input, std::int64_t linesPlaced,
                    std::int64_t linesRefused);
    OutOfRange input() const noexcept { return input_; }
    std::int64_t linesPlaced() const noexcept { return linesPlaced_; }
    std::int64_t linesRefused() const noexcept { return linesRefused_; }

  private:
    OutOfRange input_ = OutOfRange::kScale;
    std::int64_t linesPlaced_ = 0;
    std::int64_t linesRefused_ = 0;
};

// One click of Command3 on `picture1` in its current state and scale. Refusals come back in the
// result; an overflow throws TransferStopped. A refused placement does not stop the scan.
//
// One scan serves every chosen layer: each finished line is placed once per layer, the layers in
// the list's order, before the scan goes on, so the progress runs from 0 to 99 once. Every layer's
// id is formed before the first row; a line whose position overflows is placed on none of them.
//
// Board positions: board x = R(X × 2540 + S × x × 2540) and board y = R(Y × 2540 − S × y × 2540),
// each formed in double precision and rounded once to the nearest integer, an exact half going to
// the even neighbour (R, numeric::roundToInt32). Y keeps its fraction just as X does, so a Y of
// 0.5 moves the picture by 1270 units; it overflows only when a rounded board y leaves the 32-bit
// range. S is rounded the same way after the check against 1.
//
// Every run ends within its row: a run that opens on a row's last point is closed on that same
// point (a one-point line, nudged by SAME_X_NUDGE). The row's last point is the last whole x not
// beyond W − 1, which for the whole-numbered outer sizes of a window is W − 1 itself.
//
// Only the rows inside the client area are scanned, and in each the points inside it plus the
// first point past its right edge, where a run still open closes on the colour -1 of the outside;
// the progress runs over those rows. The lines are exactly those of a scan over every point up to
// W − 1 and H − 1, in the same order. (Were the selected colour -1 itself, every point would
// matter, and then every point is scanned.)
TransferResult Transfer(const picture::PictureBox& picture1, const TransferInput& input,
                        const LineSink& placeLine, const ProgressSink& showProgress);

// " 7 %" for 7: one blank, the digits, a blank and the percent sign.
std::string rowProgressCaption(int percent);

// Label5's text after a completed scan: "N lines placed." ("1 line placed."), with several layers
// "N lines placed on K layers.", or "N lines placed, F refused: TEXT" with TEXT the text of the
// last refused placement. N and F count the placements of every layer.
std::u16string completionReport(const TransferResult& result, const StatusText& statusText);

// The message box's and Label5's text after an overflow, in plain words: which input left its
// range and how many lines were placed before the stop, e.g. "X is out of range: the board
// position leaves the 32-bit range. Transfer stopped after 12 lines placed."
std::u16string stoppedReport(const TransferStopped& stopped);

}  // namespace bitlay::transfer
