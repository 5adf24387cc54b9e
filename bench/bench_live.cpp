// Live into a running KiCad, held against KiCad's own floor for board lines measured in the same
// run on the same board: the worst case of a transfer (alternating columns, about 135,000 lines)
// and a transfer of about 20,000 lines, into an empty board, into KiCad's demo board `video`
// (about 11,000 items) and into its largest, `vme-wren` (1,508 footprints; there also 2,000
// lines), on F.Silkscreen; and the same transfers on F.Cu alone and on F.Cu and F.Mask at once,
// where two layers must cost at most twice one. Bitlay's time runs from the first line the tool's
// scan hands over, the floor's from its first request (kicad_client: the same segments with ids, in
// batches of 2,000, in one commit), until a second client sees every line: for Bitlay once the
// library ended the transfer by itself and its footprint is KiCad's selection, for the floor once
// its commit ended and KiCad redrew. Every run gets a freshly started pcbnew, since every line
// already on a board makes the next ones dearer. Prints one row per cell; the ratio is Bitlay over
// the floor, best run against best run. On each KiCad of the test matrix (the host's, then those of
// the Debian roots that are made), or only on the one BITLAY_KICAD names. Five runs a cell, or as
// many as BENCH_RUNS says (at most three on vme-wren); BENCH_BOARD names the one board to run,
// BENCH_CASE the one transfer;
// BENCH_DETAIL prints, for each of Bitlay's runs, when the scan handed over its
// last line and when KiCad had them all.

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "dbx-kicad/dbx32.h"
#include "pcbnew_fixture.h"
#include "picture/picture_box.h"
#include "transfer/transfer.h"

namespace {

namespace fs = std::filesystem;
using namespace bitlay;
using kicad::test::Pcbnew;
using kicad::test::runCommand;
using kicad::test::XServer;
using Clock = std::chrono::steady_clock;

constexpr picture::Colour kInk = 0x0000FF;
const int kRuns = getenv("BENCH_RUNS") != nullptr ? std::max(1, atoi(getenv("BENCH_RUNS"))) : 5;
constexpr int kFloorBatch = 2000;

const std::string kClient = std::string(BITLAY_BIN_DIR) + "/kicad_client";

// Picture1 at its design size in the working scale, alternating columns over the top `rows`
// pixel rows of a 309 x 229 picture.
picture::PictureBox alternatingColumns(int rows) {
    picture::PictureBox box(4695, 3495);
    QImage image(309, 229, QImage::Format_RGB32);
    image.fill(qRgb(255, 255, 255));
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < image.width(); x += 2) image.setPixel(x, y, qRgb(255, 0, 0));
    box.setPicture(image);
    picture::setWorkingScale(box);
    return box;
}

const transfer::ProgressSink kNoProgress = [](const std::string&) {};

std::vector<dbx::LineRecord> recordedLines(const picture::PictureBox& box,
                                           const transfer::TransferInput& input) {
    std::vector<dbx::LineRecord> lines;
    transfer::Transfer(
        box, input,
        [&](dbx::LineRecord& line) {
            lines.push_back(line);
            return dbx::DbxStatusCode{0};
        },
        kNoProgress);
    return lines;
}

struct Run {
    bool ok = false;
    double seconds = 0;
    std::string error;
};

// A second client, counting the board's shapes until `expected` more are there.
class Watcher final {
  public:
    Watcher(const Pcbnew& pcbnew, const char* mode, std::size_t expected) {
        // A watcher left waiting by a failed run ends by itself: pclose waits for it.
        pipe_ = popen(("timeout 600 " + kClient + " " + pcbnew.url() + " " + mode + " " +
                       std::to_string(expected))
                          .c_str(),
                      "r");
        ready_ = pipe_ != nullptr && fgets(text_, sizeof text_, pipe_) != nullptr;
    }
    ~Watcher() {
        if (pipe_ != nullptr) pclose(pipe_);
    }
    bool ready() const { return ready_; }
    // When KiCad had them all; waits for it.
    bool seen(Clock::time_point& when) {
        if (!ready_ || fgets(text_, sizeof text_, pipe_) == nullptr) return false;
        when = Clock::time_point(std::chrono::nanoseconds(std::stoll(text_)));
        return true;
    }

  private:
    FILE* pipe_ = nullptr;
    bool ready_ = false;
    char text_[64] = {};
};

Run floorRun(const kicad::test::Kicad& kicad, const XServer& x, const fs::path& board,
             const fs::path& linesFile, std::size_t expected) {
    Run run;
    auto pcbnew = Pcbnew::start(kicad, x.display(), board, run.error);
    if (!pcbnew) return run;
    Watcher watcher(*pcbnew, "wait", expected);
    if (!watcher.ready()) {
        run.error = "the watching client did not start";
        return run;
    }
    int status = 0;
    const std::string out = runCommand(kClient + " " + pcbnew->url() + " floor " +
                                           linesFile.string() + " " + std::to_string(kFloorBatch),
                                       &status);
    Clock::time_point done;
    if (status != 0 || !watcher.seen(done)) {
        run.error = "the floor client failed";
        return run;
    }
    const Clock::time_point start(std::chrono::nanoseconds(std::stoll(out)));
    run.seconds = std::chrono::duration<double>(done - start).count();
    run.ok = true;
    return run;
}

Run bitlayRun(const kicad::test::Kicad& kicad, const XServer& x, const fs::path& board,
              const picture::PictureBox& box, const transfer::TransferInput& input,
              std::size_t expected) {
    Run run;
    auto pcbnew = Pcbnew::start(kicad, x.display(), board, run.error);
    if (!pcbnew) return run;
    setenv("KICAD_API_SOCKET", pcbnew->url().c_str(), 1);
    dbx::DesignContext context{};
    if (TOpenDesign(0, 16000, "", &context) != 0) {
        run.error = "TOpenDesign did not attach to pcbnew";
        return run;
    }
    Watcher watcher(*pcbnew, "selected", expected);
    if (!watcher.ready()) {
        run.error = "the watching client did not start";
        return run;
    }
    Clock::time_point first{}, last{};
    std::size_t placed = 0;
    const auto result = transfer::Transfer(
        box, input,
        [&](dbx::LineRecord& line) {
            if (placed++ == 0) first = Clock::now();
            const auto status = TPlaceLine(&context, &line);
            last = Clock::now();
            return status;
        },
        kNoProgress);
    const auto scanned = Clock::now();
    Clock::time_point done;
    const bool seen = watcher.seen(done);
    const auto closed = TCloseDesign(&context, "");
    if (!seen || result.linesRefused != 0 || closed != 0 || placed != expected) {
        run.error = "KiCad did not take every line";
        return run;
    }
    run.seconds = std::chrono::duration<double>(done - first).count();
    if (getenv("BENCH_DETAIL") != nullptr)
        std::fprintf(stderr, "  last line %.3f, scan end %.3f, in KiCad %.3f\n",
                     std::chrono::duration<double>(last - first).count(),
                     std::chrono::duration<double>(scanned - first).count(), run.seconds);
    run.ok = true;
    return run;
}

double best(const std::vector<Run>& runs) {
    double value = 1e9;
    for (const auto& run : runs) value = std::min(value, run.seconds);
    return value;
}

}  // namespace

int main() {
    std::vector<kicad::test::Kicad> kicads;
    if (const char* named = getenv("BITLAY_KICAD"); named != nullptr && *named != '\0') {
        kicads.push_back(kicad::test::kicadNamed(named));
    } else {
        for (const auto& name : kicad::test::kicadNames())
            kicads.push_back(kicad::test::kicadNamed(name));
    }
    XServer x;
    if (!x.running()) {
        std::printf("bench_live: skipped, Xvfb did not start\n");
        return 0;
    }
    unsetenv("DBX_DESIGN");
    char pattern[] = "/tmp/bench-live-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 1;
    const fs::path scratch = pattern;

    enum class Layers { kSilkscreen, kCopper, kCopperAndMask };
    struct Case {
        const char* name;
        int rows;
        bool floor;  // KiCad's floor for board lines is measured (it takes minutes on vme-wren)
        Layers layers = Layers::kSilkscreen;
    };
    struct Board {
        const char* name;
        fs::path path;
        std::vector<Case> cases;
        int runs;
        // Places in the board's layer list, after its copper layers; F.Cu is the first entry.
        std::int32_t silkscreen;
        std::int32_t mask;
    };
    const Case worst{"worst case", 229, true};
    const Case twenty{"20,000 lines", 34, true};
    const Case worstCopper{"worst Cu", 229, true, Layers::kCopper};
    const Case worstCopperMask{"worst Cu+Mask", 229, true, Layers::kCopperAndMask};
    const Case twentyCopper{"20,000 Cu", 34, true, Layers::kCopper};
    const Case twentyCopperMask{"20,000 Cu+Mask", 34, true, Layers::kCopperAndMask};
    const std::vector<Board> boards = {
        {"empty",
         fs::path(BITLAY_SOURCE_DIR) / "tests/data/kicad/four-layer.kicad_pcb",
         {worst, twenty, worstCopper, worstCopperMask, twentyCopper, twentyCopperMask},
         kRuns,
         8,
         10},
        {"video",
         "/usr/share/kicad/demos/video/video.kicad_pcb",
         {worst, twenty, worstCopper, worstCopperMask},
         kRuns,
         8,
         10},
        // KiCad's largest demo: 70 MB, 1,508 footprints, twelve copper layers, half a minute to
        // open. Each board line costs KiCad a walk over all of it, so its floor runs once, and not
        // for the worst case.
        {"vme-wren",
         "/usr/share/kicad/demos/vme-wren/vme-wren.kicad_pcb",
         {{"worst case", 229, false},
          twenty,
          {"2,000 lines", 4, true},
          {"20,000 Cu", 34, false, Layers::kCopper},
          {"20,000 Cu+Mask", 34, false, Layers::kCopperAndMask}},
         std::min(kRuns, 3),
         16,
         18},
    };
    const auto inputFor = [](const Board& board, const Case& c) {
        transfer::TransferInput input{"0", "0", "1", {board.silkscreen}, kInk};
        if (c.layers == Layers::kCopper) input.layerIndices = {0};
        if (c.layers == Layers::kCopperAndMask) input.layerIndices = {0, board.mask};
        return input;
    };

    std::printf("%-8s %-8s %-15s %8s %9s %9s %6s\n", "KiCad", "board", "transfer", "lines",
                "floor s", "Bitlay s", "ratio");
    for (const auto& kicad : kicads) {
        const std::string label = kicad.name + " " + kicad.version;
        if (const std::string why = kicad::test::whyNoKicad(kicad); !why.empty()) {
            std::printf("%-8s skipped: %s\n", label.c_str(), why.c_str());
            continue;
        }
        for (const Board& board : boards) {
            if (const char* only = getenv("BENCH_BOARD");
                only != nullptr && board.name != std::string(only))
                continue;
            if (!fs::exists(board.path)) {
                std::printf("%-8s %-8s skipped: %s is missing (package kicad-demos)\n",
                            label.c_str(), board.name, board.path.c_str());
                continue;
            }
            for (const Case& c : board.cases) {
                if (const char* only = getenv("BENCH_CASE");
                    only != nullptr && c.name != std::string(only))
                    continue;
                const auto box = alternatingColumns(c.rows);
                const transfer::TransferInput input = inputFor(board, c);
                const auto lines = recordedLines(box, input);
                const fs::path linesFile = scratch / "lines.bin";
                std::ofstream(linesFile, std::ios::binary)
                    .write(reinterpret_cast<const char*>(lines.data()),
                           static_cast<std::streamsize>(lines.size() * sizeof lines[0]));
                std::vector<Run> floors, bitlays;
                const int floorRuns = !c.floor ? 0 : board.runs < kRuns ? 1 : board.runs;
                for (int run = 0; run < std::max(board.runs, floorRuns); ++run) {
                    if (run < floorRuns)
                        floors.push_back(floorRun(kicad, x, board.path, linesFile, lines.size()));
                    if (run < board.runs)
                        bitlays.push_back(
                            bitlayRun(kicad, x, board.path, box, input, lines.size()));
                    for (const std::vector<Run>* runs : {&floors, &bitlays}) {
                        if (!runs->empty() && !runs->back().ok) {
                            std::printf("bench_live: %s, %s, %s: %s\n", label.c_str(), board.name,
                                        c.name, runs->back().error.c_str());
                            return 1;
                        }
                    }
                }
                const double bitlaySeconds = best(bitlays);
                if (floors.empty()) {
                    std::printf("%-8s %-8s %-15s %8zu %9s %9.3f %6s\n", label.c_str(), board.name,
                                c.name, lines.size(), "minutes", bitlaySeconds, "-");
                } else {
                    const double floorSeconds = best(floors);
                    std::printf("%-8s %-8s %-15s %8zu %9.3f %9.3f %6.2f\n", label.c_str(),
                                board.name, c.name, lines.size(), floorSeconds, bitlaySeconds,
                                bitlaySeconds / floorSeconds);
                }
                std::fflush(stdout);
            }
        }
    }
    fs::remove_all(scratch);
    return 0;
}
