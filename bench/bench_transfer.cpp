// A whole transfer of Picture1 at its design size in the working scale, repaint aside: into a
// counting sink for an empty, a full and a worst-case picture (alternating columns, about 150 runs
// a row), and the worst case through the stand-in DBX library into a KiCad board, on F.Cu alone
// and on F.Cu and F.Mask in one transfer.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>

#include "dbx-kicad/dbx32.h"
#include "picture/picture_box.h"
#include "transfer/transfer.h"

namespace {

namespace fs = std::filesystem;
using namespace bitlay;

constexpr picture::Colour kInk = 0x0000FF;

enum class Kind { kEmpty, kFull, kAlternating };

picture::PictureBox designPicture(Kind kind) {
    picture::PictureBox box(4695, 3495);
    QImage image(309, 229, QImage::Format_RGB32);
    image.fill(qRgb(255, 255, 255));
    if (kind != Kind::kEmpty)
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                if (kind == Kind::kFull || x % 2 == 0) image.setPixel(x, y, qRgb(255, 0, 0));
    box.setPicture(image);
    picture::setWorkingScale(box);
    return box;
}

// F.Cu, or F.Cu and F.Mask: their places in the list of a new KiCad 9 board.
transfer::TransferInput input(int layers = 1) {
    if (layers == 2) return {"0", "0", "1", {0, 8}, kInk};
    return {"0", "0", "1", {0}, kInk};
}

const transfer::ProgressSink kNoProgress = [](const std::string&) {};

void BM_TransferIntoCountingSink(benchmark::State& state) {
    const auto box = designPicture(static_cast<Kind>(state.range(0)));
    std::int64_t lines = 0;
    const transfer::LineSink count = [&lines](dbx::LineRecord&) {
        ++lines;
        return dbx::DbxStatusCode{0};
    };
    for (auto _ : state) {
        lines = 0;
        benchmark::DoNotOptimize(transfer::Transfer(box, input(), count, kNoProgress));
    }
    state.counters["lines"] = static_cast<double>(lines);
    state.counters["points/s"] =
        benchmark::Counter(1174.0 * 874.0, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_TransferIntoCountingSink)
    ->ArgName("empty0_full1_alternating2")
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond);

void BM_WorstCaseIntoKicadBoard(benchmark::State& state) {
    const auto box = designPicture(Kind::kAlternating);
    std::int64_t lines = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const fs::path previous = fs::current_path();
        // The default board file, even with a KiCad running: none is named, and none is found in
        // this empty TMPDIR and HOME.
        static const fs::path scratch = fs::temp_directory_path() / "bitlay-bench-no-kicad";
        fs::create_directories(scratch);
        fs::current_path(scratch);
        unsetenv("DBX_DESIGN");
        unsetenv("KICAD_API_SOCKET");
        setenv("TMPDIR", scratch.c_str(), 1);
        setenv("HOME", scratch.c_str(), 1);
        fs::remove("untitled.kicad_pcb");
        dbx::DesignContext context{};
        if (TOpenDesign(0, 16000, "", &context) != 0) std::abort();
        state.ResumeTiming();
        lines = 0;
        const transfer::LineSink place = [&](dbx::LineRecord& record) {
            ++lines;
            return TPlaceLine(&context, &record);
        };
        transfer::Transfer(box, input(static_cast<int>(state.range(0))), place, kNoProgress);
        TCloseDesign(&context, "");
        state.PauseTiming();
        fs::remove("untitled.kicad_pcb");
        fs::current_path(previous);
        state.ResumeTiming();
    }
    state.counters["lines"] = static_cast<double>(lines);
}
BENCHMARK(BM_WorstCaseIntoKicadBoard)
    ->ArgName("layers")
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
