// Placing a full transfer's worth of lines through the stand-in DBX library into a KiCad board:
// attach, 200,000 TPlaceLine calls, detach (which flushes the board to disk). Into the default
// board (KiCad 9, each line on eleven lines of text) and into a KiCad 6 board (one line each).

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "dbx-kicad/dbx32.h"

namespace {

namespace fs = std::filesystem;
using bitlay::dbx::DesignContext;
using bitlay::dbx::LineRecord;

constexpr int kLines = 200000;

constexpr char kKicad6Board[] = R"((kicad_pcb (version 20211014) (generator pcbnew)
  (layers
    (0 "F.Cu" signal) (31 "B.Cu" signal) (32 "B.Adhes" user) (33 "F.Adhes" user)
    (34 "B.Paste" user) (35 "F.Paste" user) (36 "B.SilkS" user) (37 "F.SilkS" user)
  )
  (net 0 "")
)
)";

// A fresh board in a folder of its own for every run: the default board, or a KiCad 6 board
// named by DBX_DESIGN.
class ScratchBoard final {
  public:
    explicit ScratchBoard(bool kicad6) : kicad6_(kicad6) {
        char pattern[] = "/tmp/bench-kicad-XXXXXX";
        if (mkdtemp(pattern) == nullptr) std::abort();
        dir_ = pattern;
        board_ = dir_ / (kicad6 ? "kicad6.kicad_pcb" : "untitled.kicad_pcb");
        previous_ = fs::current_path();
        fs::current_path(dir_);
        if (kicad6) {
            setenv("DBX_DESIGN", board_.c_str(), 1);
        } else {
            unsetenv("DBX_DESIGN");
        }
        // No KiCad running on this machine takes the place of the board file: none is named, and
        // none is found in this empty TMPDIR and HOME.
        unsetenv("KICAD_API_SOCKET");
        setenv("TMPDIR", dir_.c_str(), 1);
        setenv("HOME", dir_.c_str(), 1);
    }
    ~ScratchBoard() {
        fs::current_path(previous_);
        fs::remove_all(dir_);
        unsetenv("DBX_DESIGN");
    }
    void reset() const {
        fs::remove(board_);
        if (kicad6_) std::ofstream(board_) << kKicad6Board;
    }
    std::uintmax_t size() const { return fs::file_size(board_); }

  private:
    bool kicad6_;
    fs::path dir_;
    fs::path board_;
    fs::path previous_;
};

void BM_Place200kLines(benchmark::State& state) {
    ScratchBoard scratch(state.range(0) == 6);
    std::uintmax_t boardBytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        scratch.reset();
        state.ResumeTiming();

        DesignContext context{};
        if (TOpenDesign(0, 16000, "", &context) != 0) {
            state.SkipWithError("TOpenDesign failed");
            return;
        }
        // Runs of a 400-column picture at scale 1, as the transfer would hand them over.
        LineRecord line{};
        line.width = 2540;
        line.layerId = 8;
        for (int i = 0; i < kLines; ++i) {
            line.startX = (i % 400) * 2540;
            line.startY = -(i / 400) * 2540;
            line.endX = line.startX + 3 * 2540;
            line.endY = line.startY;
            if (TPlaceLine(&context, &line) != 0) {
                state.SkipWithError("TPlaceLine failed");
                return;
            }
        }
        if (TCloseDesign(&context, "") != 0) state.SkipWithError("TCloseDesign failed");

        state.PauseTiming();
        boardBytes = scratch.size();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kLines);
    state.counters["board_MB"] = static_cast<double>(boardBytes) / 1e6;
}
// The argument is the KiCad version of the board: 9 (the default board) or 6.
BENCHMARK(BM_Place200kLines)
    ->Arg(9)
    ->Arg(6)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
