#pragma once

// What the tests of the board-file design share: a folder and a DBX_DESIGN of their own per test,
// small boards laid out as each KiCad writes them, and readers of what the library wrote.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "board_reader.h"
#include "calls.h"
#include "dbx-kicad/design.h"
#include "dbx-kicad/status.h"

namespace bitlay::kicad::test {

namespace fs = std::filesystem;
using bitlay::dbx::DbxStatusCode;
using bitlay::dbx::DesignContext;
using bitlay::dbx::LineRecord;

// The statuses by the stand-in's own names.
using namespace bitlay::kicad::status;
constexpr std::int32_t kEdge = 150000000;  // 1500 mm

std::string readFile(const fs::path& path);
void writeFile(const fs::path& path, const std::string& text);
// Truncated and written again: the same file, as most programs save.
void writeInPlace(const fs::path& board, const std::string& text);
// As writeInPlace, and with a change time other than the board's before: a clock that counts
// change times only in ticks of a few milliseconds is waited for.
void writeInPlaceNoticeably(const fs::path& board, const std::string& text);
// Written under another name and renamed over the board, as editors save.
void writeAndRename(const fs::path& board, const std::string& text);

// A KiCad 6 board (unless `version` says otherwise) with the given layer entries.
std::string boardWithLayers(const std::string& layerEntries,
                            const std::string& version = "20211014");
extern const std::string kTwoLayers;

// Small boards laid out as each KiCad writes them (from KiCad's board writer), with the same six
// layers first: F.Cu, B.Cu, B.SilkS, F.SilkS, Edge.Cuts and User.1 named "Logo".
std::string kicad6Board(const std::string& version = "20211014");
std::string kicad8Board();
// KiCad 9 numbers copper even and the rest odd, and types user layers; KiCad 10 no longer writes
// the board's net list.
std::string kicad9Board(bool kicad10 = false);
// A board of `version` in the layout of the release before it (6, 8, 9 or 10).
std::string boardOfVersion(std::int64_t version);

// The text without its forms headed `head` at `level` (1: the board's items, 2: theirs), whatever
// their layout: each from the start of its line to the line break after it. The forms taken out go
// to `forms` when asked for.
std::string withoutForms(const std::string& text, const std::string& head,
                         std::vector<std::string>* forms = nullptr, int level = 1);

// The text of each item of a footprint form, from the start of its line to the line break after
// it, sorted, after the footprint's own first line: KiCad sorts a footprint's lines its own way.
std::vector<std::string> itemsOf(const std::string& form);

// Each footprint of a board on a line of its own, in file order: its name (the Reference field;
// "(unnamed)" without one), then its lines by their start x in database units, sorted. A footprint
// that is not as the library makes one (library id empty, on F.Cu, not rotated, its anchor the
// start of its first line, board only and excluded from position files and BOM, Reference hidden
// on F.SilkS, Value "Bitlay" hidden on F.Fab when named) says "(malformed)". A footprint another
// program kept may hold no line.
std::string describeFootprints(const Node& board);

// How many footprints of the board at `path` carry a name (their transfer has ended).
std::size_t namedFootprints(const fs::path& path);

extern const std::regex kUuidV4;

// Runs a command line through the shell; its output, and "exit status N" when it fails.
std::string run(const std::string& command);

// Each test gets its own folder and its own DBX_DESIGN.
class DbxKicad : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // The board opened as TOpenDesign opens it; or, not `watched`, opened directly without the
    // kernel's file events, so that the design looks at the file before every line.
    DbxStatusCode openBoard(const std::string& text, bool watched = true);
    // TPlaceLine and TCloseDesign, or their checks and calls on the design opened directly.
    DbxStatusCode place(LineRecord& line);
    DbxStatusCode closeBoard();
    // Every line of the board as now on disk, in file order, on the board.
    std::vector<GrLine> linesOnDisk() const;
    std::vector<Footprint> footprintsOnDisk() const;
    std::string footprintsDescribed() const;
    // Waits, without a call into the library, until the board holds `count` named footprints:
    // the library's thread names a transfer's footprint once the caller has been away for 30 ms.
    bool waitForNamed(std::size_t count) const { return waitForNamed(count, board_); }
    static bool waitForNamed(std::size_t count, const fs::path& path);
    // One transfer: `count` lines on `layer`, 2540 units long, starting at x = first, 2 * 2540,
    // ... apart, handed over one right after the other.
    void transfer(std::int32_t layer, std::int32_t first, int count);

    const fs::path startDir_ = fs::current_path();
    fs::path dir_;
    fs::path board_;
    DesignContext context_{};
    std::unique_ptr<Design> unwatched_;
};

}  // namespace bitlay::kicad::test
