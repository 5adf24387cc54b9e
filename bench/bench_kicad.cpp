// Placing a full transfer's worth of lines through the stand-in DBX library into a KiCad board:
// attach, 200,000 TPlaceLine calls, detach (which flushes the board to disk).

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "dbx-kicad/dbx32.h"

namespace {

namespace fs = std::filesystem;
using bitlay::dbx::DesignContext;
using bitlay::dbx::LineRecord;

constexpr int kLines = 200000;

// A fresh default board in a folder of its own for every run.
class ScratchBoard final {
  public:
    ScratchBoard() {
        char pattern[] = "/tmp/bench-kicad-XXXXXX";
        if (mkdtemp(pattern) == nullptr) std::abort();
        dir_ = pattern;
        previous_ = fs::current_path();
        fs::current_path(dir_);
        unsetenv("DBX_DESIGN");
        // The default board file, even with a KiCad running on its usual socket.
        setenv("KICAD_API_SOCKET", "ipc:///nonexistent/bitlay-bench.sock", 1);
    }
    ~ScratchBoard() {
        fs::current_path(previous_);
        fs::remove_all(dir_);
    }
    void reset() const { fs::remove(dir_ / "untitled.kicad_pcb"); }
    std::uintmax_t size() const { return fs::file_size(dir_ / "untitled.kicad_pcb"); }

  private:
    fs::path dir_;
    fs::path previous_;
};

void BM_Place200kLines(benchmark::State& state) {
    ScratchBoard scratch;
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
BENCHMARK(BM_Place200kLines)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
