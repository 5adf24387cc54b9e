// The stand-in library live in a real KiCad: pcbnew on a virtual X server with a four-layer
// board, reached through the four exported functions, the board read back through KiCad's API.
// One pcbnew serves every case but those that need another board. CTest runs this executable
// once per KiCad of the matrix.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "live_fixture.h"

using namespace bitlay::kicad::test;

namespace {

TEST_F(Live, LayersOfAFourLayerBoardInTheEditorsOrderWithTheirNames) {
    ASSERT_EQ(TOpenDesign(0, 16000, "", &context_), 0);
    const std::vector<std::string> expected = {
        "F.Cu",       "GND plane", "In2.Cu",        "B.Cu",          "F.Adhesive",
        "B.Adhesive", "F.Paste",   "B.Paste",       "F.Silkscreen",  "B.Silkscreen",
        "F.Mask",     "B.Mask",    "User.Drawings", "User.Comments", "User.Eco1",
        "User.Eco2",  "Edge.Cuts", "Margin",        "F.Courtyard",   "B.Courtyard",
        "F.Fab",      "B.Fab",     "User.1",        "User.2",        "User.3",
        "User.4"};
    std::vector<std::string> names;
    DbxStatusCode status = 0;
    for (std::int32_t id = 1; id < 200; ++id) {
        const std::string name = layerName(context_, id, &status);
        if (status != 0) break;
        names.push_back(name);
    }
    EXPECT_EQ(status, status::kNoMoreLayers);
    EXPECT_EQ(names, expected);
    layerName(context_, 0, &status);
    EXPECT_EQ(status, status::kInvalidLayerId);
}

TEST_F(Live, LinesLandWithExactCoordinatesAndWidthsAndCloseEndsTheCommit) {
    const auto before = pcbnew().segments();
    ASSERT_EQ(TOpenDesign(0, 16000, "", &context_), 0);
    struct Case {
        std::int32_t layerId;
        int apiLayer;
        LineRecord line;
    };
    const std::vector<Case> cases = {
        {1, kFCu, makeLine(1, 2540, 0, 0, 2540, 0)},
        {2, kIn1Cu, makeLine(2, 1, -12345, 67890, 11111, -22222)},
        {3, kIn2Cu, makeLine(3, 5080, 254000, -254000, 254000 + 1300, -254000)},
        {4, kBCu, makeLine(4, 2540, kEdge, -kEdge, -kEdge, kEdge)},
        {9, kFSilkS, makeLine(9, kEdge, 3, 7, 3, 7)},
    };
    std::vector<Segment> expected;
    for (const auto& c : cases) {
        LineRecord line = c.line;
        EXPECT_EQ(TPlaceLine(&context_, &line), 0) << "layer " << c.layerId;
        expected.push_back(expectedSegment(c.apiLayer, c.line));
    }
    // Closing delivers what is queued and ends the commit at once, without the quiet time.
    ASSERT_EQ(TCloseDesign(&context_, ""), 0);
    std::sort(expected.begin(), expected.end());
    const auto got = added(before, pcbnew().segments());
    EXPECT_EQ(toText(got), toText(expected));
}

TEST_F(Live, RefusalsBeforeAnythingIsSent) {
    const auto before = pcbnew().segments();
    ASSERT_EQ(TOpenDesign(0, 16000, "", &context_), 0);
    struct Case {
        const char* what;
        LineRecord line;
        DbxStatusCode status;
    };
    const std::vector<Case> cases = {
        {"layer 0", makeLine(0, 2540, 0, 0, 1, 0), status::kInvalidLayerId},
        {"layer past the last", makeLine(27, 2540, 0, 0, 1, 0), status::kInvalidLayerId},
        {"width 0", makeLine(1, 0, 0, 0, 1, 0), status::kInvalidWidth},
        {"negative width", makeLine(1, -5, 0, 0, 1, 0), status::kInvalidWidth},
        {"width beyond the workspace", makeLine(1, kEdge + 1, 0, 0, 1, 0),
         status::kItemOutsideWorkspace},
        {"x beyond the workspace", makeLine(1, 2540, kEdge + 1, 0, 1, 0),
         status::kItemOutsideWorkspace},
        {"y beyond the workspace", makeLine(1, 2540, 0, 0, 1, -kEdge - 1),
         status::kItemOutsideWorkspace},
    };
    for (const auto& c : cases) {
        LineRecord line = c.line;
        EXPECT_EQ(TPlaceLine(&context_, &line), c.status) << c.what;
    }
    EXPECT_EQ(TPlaceLine(&context_, nullptr), status::kBadInput);
    EXPECT_EQ(TCloseDesign(&context_, ""), 0);
    LineRecord line = makeLine(1, 2540, 0, 0, 1, 0);
    EXPECT_EQ(TPlaceLine(&context_, &line), status::kNoConnection) << "after close";
    EXPECT_EQ(TCloseDesign(&context_, ""), status::kNoConnection);
    EXPECT_EQ(toText(added(before, pcbnew().segments())), "");
}

TEST_F(Live, EachTransferIsOneUndoStep) {
    ASSERT_EQ(TOpenDesign(0, 16000, "", &context_), 0);
    const auto before = pcbnew().segments();
    // Two transfers, the second begun once the first is in KiCad.
    std::vector<Segment> first;
    for (int i = 0; i < 3; ++i) {
        LineRecord line = makeLine(9, 2540, i * 2540, 500000, i * 2540 + 1300, 500000);
        ASSERT_EQ(TPlaceLine(&context_, &line), 0);
        first.push_back(expectedSegment(kFSilkS, line));
    }
    ASSERT_TRUE(eventually([&] { return added(before, pcbnew().segments()).size() == 3u; }));
    for (int i = 0; i < 4500; ++i) {
        LineRecord line = makeLine(10, 2540, (i % 300) * 2540, 600000 + (i / 300) * 2540,
                                   (i % 300) * 2540 + 1300, 600000 + (i / 300) * 2540);
        ASSERT_EQ(TPlaceLine(&context_, &line), 0);
    }
    EXPECT_TRUE(eventually([&] { return added(before, pcbnew().segments()).size() == 4503u; }))
        << "both transfers are in KiCad";

    // The editor's undo takes back the whole second transfer and nothing of the first.
    ASSERT_TRUE(pcbnew().pressKeys("ctrl+z"));
    std::vector<Segment> left;
    eventually([&] {
        left = added(before, pcbnew().segments());
        return left.size() != 4503u;
    });
    std::sort(first.begin(), first.end());
    EXPECT_EQ(toText(left), toText(first));
    EXPECT_EQ(TCloseDesign(&context_, ""), 0);
}

// Each transfer is one footprint: board only, out of the BOM and the position files, its name
// saying what it is and not shown, holding exactly the transfer's lines; once it is in, it is
// KiCad's selection, whatever its size, and nothing else is.
TEST_F(Live, EachTransferIsOneBoardOnlyFootprintSelectedWhenItEnds) {
    ASSERT_EQ(TOpenDesign(0, 16000, "", &context_), 0);
    const auto footprintsBefore = pcbnew().footprints();
    const auto first = placeTransfer(context_, 3, 100);
    EXPECT_TRUE(eventually([&] { return toText(pcbnew().selectedSegments()) == toText(first); }));
    const auto second = placeTransfer(context_, 12000, 200);
    EXPECT_TRUE(eventually([&] { return toText(pcbnew().selectedSegments()) == toText(second); }))
        << "the first is let go; a transfer of any size is selected";
    EXPECT_EQ(TCloseDesign(&context_, ""), 0);

    auto footprints = pcbnew().footprints();
    for (const auto& old : footprintsBefore)
        footprints.erase(std::find(footprints.begin(), footprints.end(), old));
    std::sort(footprints.begin(), footprints.end());
    const std::vector<std::string> expected = {"Bitlay: 12,000 lines|1 1 1|0 0|12000",
                                               "Bitlay: 3 lines|1 1 1|0 0|3"};
    EXPECT_EQ(footprints, expected);
}

TEST_F(Live, ASecondAttachmentToTheSameKicadIsRefused) {
    ASSERT_EQ(TOpenDesign(0, 16000, "", &context_), 0);
    DesignContext second{};
    EXPECT_EQ(TOpenDesign(0, 16000, "", &second), status::kServerBusy);
    EXPECT_EQ(TCloseDesign(&context_, ""), 0);
    EXPECT_EQ(TOpenDesign(0, 16000, "", &second), 0) << "free again once the first let go";
    EXPECT_EQ(TCloseDesign(&second, ""), 0);
}

TEST_F(Live, ABoardFileNamedInDbxDesignWinsOverARunningKicad) {
    char pattern[] = "/tmp/dbx-live-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const fs::path board = fs::path(pattern) / "board.kicad_pcb";
    // A KiCad 9 board file is newer than the file mode reads today; any answer but a live
    // attachment shows the file was chosen.
    std::ofstream(board) << "(kicad_pcb (version 20211014) (generator pcbnew)\n"
                            "  (layers (0 \"F.Cu\" signal) (44 \"Edge.Cuts\" user))\n)\n";
    setenv("DBX_DESIGN", board.c_str(), 1);
    ASSERT_EQ(TOpenDesign(0, 16000, "", &context_), 0);
    DbxStatusCode status = 0;
    EXPECT_EQ(layerName(context_, 2, &status), "Edge.Cuts");
    DesignContext live{};
    unsetenv("DBX_DESIGN");
    EXPECT_EQ(TOpenDesign(0, 16000, "", &live), 0) << "KiCad itself is still free";
    EXPECT_EQ(TCloseDesign(&live, ""), 0);
    EXPECT_EQ(TCloseDesign(&context_, ""), 0);
    fs::remove_all(pattern);
}

TEST_F(Live, TheTokenOfARestartedKicadSaysTheEditorWentAway) {
    const auto before = pcbnew().segments();
    // What a plugin started by an earlier KiCad still holds.
    setenv("KICAD_API_TOKEN", "6f1c2b9e-0d7a-4c3e-9b1f-2a5d8e7c4b60", 1);
    EXPECT_EQ(TOpenDesign(0, 16000, "", &context_), status::kServerTerminated);
    EXPECT_EQ(TCloseDesign(&context_, ""), status::kNoConnection) << "nothing was attached";
    unsetenv("KICAD_API_TOKEN");
    EXPECT_EQ(TOpenDesign(0, 16000, "", &context_), 0) << "KiCad accepts an empty token";
    EXPECT_EQ(TCloseDesign(&context_, ""), 0);
    EXPECT_EQ(toText(added(before, pcbnew().segments())), "");
}

// A real board: a transfer of 20,000 lines into KiCad's demo board, the commit ended by the quiet
// time after the last line or by the close, is one step in KiCad's undo history. One pcbnew with
// the demo board serves both cases; each case's undo leaves the board as it found it.
struct TransferEnd {
    const char* label;
    bool closed;  // ended by TCloseDesign, else by the quiet time
};

void PrintTo(const TransferEnd& end, std::ostream* out) { *out << end.label; }

class LiveRealBoard : public ::testing::TestWithParam<TransferEnd> {
  protected:
    static void SetUpTestSuite() {
        if (!editor().skipReason.empty() || !editor().x || !editor().x->running()) return;
        if (!fs::exists(kVideoBoard)) {
            failure_ = kVideoBoard.string() + " is missing (package kicad-demos)";
            return;
        }
        video_ = Pcbnew::start(editor().kicad, editor().x->display(), kVideoBoard, failure_);
    }
    static void TearDownTestSuite() { video_.reset(); }

    void SetUp() override {
        if (!editor().skipReason.empty()) GTEST_SKIP() << skipMessage();
        ASSERT_TRUE(video_) << failure_;
        unsetenv("DBX_DESIGN");
        setenv("KICAD_API_SOCKET", video_->url().c_str(), 1);
    }
    void TearDown() override { TCloseDesign(&context_, ""); }

    // The layer id the tool lists `name` under; 0 when it is not listed.
    std::int32_t layerId(const std::string& name) {
        DbxStatusCode status = 0;
        for (std::int32_t id = 1; status == 0; ++id) {
            if (layerName(context_, id, &status) == name && status == 0) return id;
        }
        return 0;
    }

    // The board's shape count once it differs from `from`, or after `seconds` as it is then.
    static long countOnceNot(long from, std::chrono::seconds seconds) {
        const auto deadline = std::chrono::steady_clock::now() + seconds;
        long now = video_->shapeCount();
        while (now == from && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(100ms);
            now = video_->shapeCount();
        }
        return now;
    }

    static std::unique_ptr<Pcbnew> video_;
    static std::string failure_;
    DesignContext context_{};
};
std::unique_ptr<Pcbnew> LiveRealBoard::video_;
std::string LiveRealBoard::failure_;

TEST_P(LiveRealBoard, ATransferOfTwentyThousandLinesIsOneUndoStep) {
    constexpr int kLines = 20000;
    const long before = video_->shapeCount();
    ASSERT_GT(before, 0) << "KiCad lists no shapes on the demo board";
    ASSERT_EQ(TOpenDesign(0, 16000, "", &context_), 0);
    const std::int32_t silkscreen = layerId("F.Silkscreen");
    ASSERT_NE(silkscreen, 0);
    // As a picture's runs come: 200 to a row, row after row, beside the board.
    for (int i = 0; i < kLines; ++i) {
        const std::int32_t x = 10000000 + (i % 200) * 5080, y = -5000000 - (i / 200) * 2540;
        LineRecord line = makeLine(silkscreen, 2540, x, y, x + 2540, y);
        ASSERT_EQ(TPlaceLine(&context_, &line), 0) << "line " << i;
    }
    if (GetParam().closed) {
        ASSERT_EQ(TCloseDesign(&context_, ""), 0);
    }

    // Every line in KiCad; counted until the count stops rising.
    long after = before;
    for (long last = -1; after != last && after < before + kLines;) {
        last = after;
        after = countOnceNot(last, 30s);
    }
    ASSERT_EQ(after - before, kLines) << "lines in KiCad after the transfer";

    // KiCad takes the items back one after the other: counted until the count stops falling.
    ASSERT_TRUE(video_->undo());
    long undone = after;
    for (long last = -1; undone != last && undone != before;) {
        last = undone;
        undone = countOnceNot(last, 10s);
    }
    EXPECT_EQ(undone, before) << "one undo took back " << after - undone << " of " << kLines
                              << " lines";
}

INSTANTIATE_TEST_SUITE_P(Live, LiveRealBoard,
                         ::testing::Values(TransferEnd{"EndedByTheQuietTime", false},
                                           TransferEnd{"EndedByTheClose", true}),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
