// Which footprint each placed line goes into, and what goes in again after another program's save,
// on a board kept as the set of UUIDs it holds: no clock, no file.

#include "dbx-kicad/file/placed_footprints.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>
#include <string>

using bitlay::kicad::PlacedFootprints;
using bitlay::kicad::UuidGenerator;

namespace {

// The board as the set of item UUIDs it holds, and the library's ledger writing into it.
class Board {
  public:
    // One line, its start at x, the footprint's anchor when it opens one.
    void place(std::int64_t x) {
        PlacedFootprints::Line line;
        line.uuid = uuids_.next();
        line.geometry = {x, 0, x + 10, 0, 1};
        write(&line);
    }
    // A write without a line: the transfer's end, or the close.
    void flush() {
        if (placed_.hasWrites()) write(nullptr);
    }
    void endTransfer() { placed_.endTransfer(); }

    // Another program's save: its board holds what `keep` keeps of the board now.
    void save(const std::function<bool(const std::string& uuid, bool isFootprint)>& keep) {
        std::set<std::string> kept;
        for (const std::string& uuid : items_) kept.insert(uuid);
        for (auto it = kept.begin(); it != kept.end();) {
            it = keep(*it, footprintNames_.count(*it) != 0) ? std::next(it) : kept.erase(it);
        }
        items_ = kept;
        std::unordered_set<std::string_view> present(items_.begin(), items_.end());
        placed_.boardReplaced(present);
    }

    std::string lineUuid(std::size_t line) const {
        return std::string(placed_.line(line).uuid.text());
    }

    // Every write so far, one a line: "A: head 0 1 +line close" for a footprint the library
    // named A (by the order it first appeared), its head written, lines 0 and 1 written again,
    // the new line after them, its fields and closing. Parts apart by " | ".
    const std::string& log() const { return log_; }

  private:
    void write(const PlacedFootprints::Line* line) {
        PlacedFootprints::Write write;
        placed_.plan(line, write);
        std::string text;
        for (const PlacedFootprints::Part& part : write.parts) {
            const PlacedFootprints::Footprint& f = placed_.footprintOf(write, part);
            const std::string uuid(f.uuid.text());
            if (footprintNames_.count(uuid) == 0) {
                footprintNames_[uuid] =
                    std::string(1, static_cast<char>('A' + footprintNames_.size()));
            }
            text += (text.empty() ? "" : " | ") + footprintNames_[uuid] + ":";
            if (part.head) text += " head";
            if (part.head) items_.insert(uuid);
            for (const std::size_t i : part.lines) {
                text += " " + std::to_string(i);
                items_.insert(std::string(placed_.line(i).uuid.text()));
            }
            if (line != nullptr && &part == &write.parts.back()) {
                text += " +line";
                items_.insert(std::string(line->uuid.text()));
            }
            if (part.close) {
                text += " close(" + std::to_string(placed_.transferLines(f.transfer)) + ")";
            }
        }
        log_ += text + "\n";
        placed_.written(write);
    }

    UuidGenerator uuids_;
    PlacedFootprints placed_{uuids_};
    std::set<std::string> items_;
    std::map<std::string, std::string> footprintNames_;
    std::string log_;
};

struct SaveCase {
    const char* label;
    std::function<void(Board&)> steps;
    std::string log;
};

void PrintTo(const SaveCase& c, std::ostream* out) { *out << c.label; }

class PlacedFootprintsThroughSaves : public ::testing::TestWithParam<SaveCase> {};

TEST_P(PlacedFootprintsThroughSaves, LoseNoLine) {
    Board board;
    GetParam().steps(board);
    EXPECT_EQ(board.log(), GetParam().log);
}

const auto keepAll = [](const std::string&, bool) { return true; };

INSTANTIATE_TEST_SUITE_P(
    Ledger, PlacedFootprintsThroughSaves,
    ::testing::Values(
        SaveCase{"TransfersStayApart",
                 [](Board& b) {
                     b.place(0), b.place(20), b.endTransfer(), b.flush();
                     b.place(40), b.endTransfer(), b.flush();
                 },
                 "A: head +line\nA: +line\nA: close(2)\nB: head +line\nB: close(1)\n"},
        // The close of an ended transfer goes in with the next transfer's first line when the
        // thread could not write it.
        SaveCase{"AClosingWaitsForTheNextWrite",
                 [](Board& b) { b.place(0), b.endTransfer(), b.place(20); },
                 "A: head +line\nA: close(1) | B: head +line\n"},
        // An editor's old copy without the open footprint: it opens again with its UUID and
        // its lines, and the transfer goes on in it.
        SaveCase{"OpenFootprintLeftOut",
                 [](Board& b) {
                     b.place(0), b.place(20);
                     b.save([](const std::string&, bool) { return false; });
                     b.place(40), b.endTransfer(), b.flush();
                 },
                 "A: head +line\nA: +line\nA: head 0 1 +line\nA: close(3)\n"},
        // The open footprint kept: closed off as the other program wrote it; the transfer goes
        // on in a new footprint.
        SaveCase{
            "OpenFootprintKept",
            [](Board& b) { b.place(0), b.save(keepAll), b.place(20), b.endTransfer(), b.flush(); },
            "A: head +line\nB: head +line\nB: close(2)\n"},
        SaveCase{"OpenFootprintKeptWithoutItsLines",
                 [](Board& b) {
                     b.place(0), b.place(20);
                     b.save([](const std::string&, bool footprint) { return footprint; });
                     b.place(40), b.endTransfer(), b.flush();
                 },
                 "A: head +line\nA: +line\nB: head 0 1 +line\nB: close(3)\n"},
        // Saved during the quiet: the transfer ends first, its footprint goes in again whole.
        SaveCase{"OpenFootprintLeftOutThenTheTransferEnds",
                 [](Board& b) {
                     b.place(0);
                     b.save([](const std::string&, bool) { return false; });
                     b.endTransfer(), b.flush();
                 },
                 "A: head +line\nA: head 0 close(1)\n"},
        SaveCase{"EndedFootprintLeftOut",
                 [](Board& b) {
                     b.place(0), b.place(20), b.endTransfer(), b.flush();
                     b.save([](const std::string&, bool) { return false; });
                     b.flush();
                 },
                 "A: head +line\nA: +line\nA: close(2)\nA: head 0 1 close(2)\n"},
        SaveCase{"EndedFootprintKeptWithoutALine",
                 [](Board& b) {
                     b.place(0), b.place(20), b.endTransfer(), b.flush();
                     const std::string second = b.lineUuid(1);
                     b.save([second](const std::string& uuid, bool) { return uuid != second; });
                     b.place(40);
                 },
                 "A: head +line\nA: +line\nA: close(2)\nB: head 1 close(2) | C: head +line\n"},
        SaveCase{
            "NothingLeftOut",
            [](Board& b) { b.place(0), b.endTransfer(), b.flush(), b.save(keepAll), b.flush(); },
            "A: head +line\nA: close(1)\n"},
        // Ended transfers' footprints first, the open transfer's last, left open.
        SaveCase{"EverythingLeftOut",
                 [](Board& b) {
                     b.place(0), b.endTransfer(), b.place(20), b.endTransfer(), b.place(40);
                     b.save([](const std::string&, bool) { return false; });
                     b.place(60);
                 },
                 "A: head +line\nA: close(1) | B: head +line\nB: close(1) | C: head +line\n"
                 "A: head 0 close(1) | B: head 1 close(1) | C: head 2 +line\n"},
        // Two saves in one transfer, the second leaving out the footprint the first closed off:
        // its line goes back into the transfer's open footprint.
        SaveCase{"TwoSavesInOneTransfer",
                 [](Board& b) {
                     b.place(0), b.save(keepAll), b.place(20);
                     b.save([](const std::string&, bool) { return false; });
                     b.place(40), b.endTransfer(), b.flush();
                 },
                 "A: head +line\nB: head +line\nB: head 0 1 +line\nB: close(3)\n"}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
