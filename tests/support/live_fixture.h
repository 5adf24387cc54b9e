#pragma once

// What the live tests share: the KiCad of the matrix that BITLAY_KICAD names (the host's own
// without it) running pcbnew on a virtual X server with a four-layer board, started once for the
// whole executable; the fixture attached to it; and the ways to place lines and read them back.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "calls.h"
#include "dbx-kicad/dbx32.h"
#include "dbx-kicad/status.h"
#include "pcbnew_fixture.h"

namespace bitlay::kicad::test {

namespace fs = std::filesystem;
namespace status = bitlay::kicad::status;
using bitlay::dbx::DbxStatusCode;
using bitlay::dbx::DesignContext;
using bitlay::dbx::LayerRecord8;
using bitlay::dbx::LineRecord;
using namespace std::chrono_literals;

constexpr std::int32_t kEdge = 150000000;  // 1500 mm in units of 10 nm
// Longer than the quiet time after which the library ends a transfer's commit.
constexpr auto kTransferOver = 700ms;
// How long a state KiCad reaches after a transfer is waited for.
constexpr auto kStateWait = 30s;

// Polls `state` until it holds, for kStateWait at most; its last value.
template <typename State>
bool eventually(State state) {
    const auto giveUp = std::chrono::steady_clock::now() + kStateWait;
    while (!state()) {
        if (std::chrono::steady_clock::now() > giveUp) return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

// KiCad's API numbers of the layers the tests place on.
constexpr int kFCu = 3, kIn1Cu = 4, kIn2Cu = 5, kBCu = 34, kFSilkS = 40;

extern const fs::path kFourLayerBoard;
// KiCad's demo board of a video card (about 11,000 items), from the package kicad-demos.
extern const fs::path kVideoBoard;

struct Editor {
    Kicad kicad;
    std::unique_ptr<XServer> x;
    std::unique_ptr<Pcbnew> pcbnew;
    std::string skipReason;
    std::string failure;
};

// The one KiCad of this run, started before the first case.
Editor& editor();

// The message of a case skipped because this KiCad cannot run here; CTest looks for it.
std::string skipMessage();

// The segment KiCad should hold for a line: nanometres, y upward turned downward.
Segment expectedSegment(int apiLayer, const LineRecord& line);

// What `after` holds beyond `before` (both sorted).
std::vector<Segment> added(const std::vector<Segment>& before, const std::vector<Segment>& after);

// Places a transfer of `lines` short lines on F.Silkscreen, 300 a row from `row` on;
// what KiCad should hold for it.
std::vector<Segment> placeTransfer(DesignContext& context, int lines, int row);

// Attached to the four-layer board in the editor()'s pcbnew.
class Live : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!editor().skipReason.empty()) GTEST_SKIP() << skipMessage();
        ASSERT_TRUE(editor().pcbnew) << editor().failure;
        unsetenv("DBX_DESIGN");
        setenv("KICAD_API_SOCKET", pcbnew().url().c_str(), 1);
    }
    void TearDown() override {
        TCloseDesign(&context_, "");
        unsetenv("KICAD_API_TOKEN");
    }

    Pcbnew& pcbnew() { return *editor().pcbnew; }

    DesignContext context_{};
};

// A pcbnew of the case's own on the four-layer board, on the editor()'s X server, that the library
// is pointed at: for the cases that stop, kill or hold up their KiCad.
class LiveOwnPcbnew : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!editor().skipReason.empty()) GTEST_SKIP() << skipMessage();
        ASSERT_TRUE(editor().x && editor().x->running()) << editor().failure;
    }

    // Started (`blockedByDialog`: a dialog keeps it from becoming ready) and named to the
    // library; none, with the case failed, when it cannot start.
    static std::unique_ptr<Pcbnew> startOwn(bool blockedByDialog = false) {
        std::string error;
        auto own = Pcbnew::start(editor().kicad, editor().x->display(), kFourLayerBoard, error,
                                 blockedByDialog);
        if (!own) {
            ADD_FAILURE() << error;
            return own;
        }
        unsetenv("DBX_DESIGN");
        setenv("KICAD_API_SOCKET", own->url().c_str(), 1);
        return own;
    }
};

}  // namespace bitlay::kicad::test
