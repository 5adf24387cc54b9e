// The worst case of a transfer live into a running KiCad: Picture1 at its design size in the
// working scale, alternating columns (about 135,000 lines), scanned by the tool's transfer and
// placed through the stand-in library into a pcbnew on a virtual X server. Timed from the first
// line to the commit ended (TCloseDesign ends it at once instead of after the quiet time). Each
// run gets a fresh pcbnew, since every line already on a board makes the next ones dearer. The
// KiCad is the one of the test matrix that BITLAY_KICAD names, the host's own without it.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <memory>
#include <string>

#include "dbx-kicad/dbx32.h"
#include "picture/picture_box.h"
#include "tests/dbx-kicad/pcbnew_fixture.h"
#include "transfer/transfer.h"

namespace {

using namespace bitlay;
using kicad::test::Pcbnew;
using kicad::test::XServer;

constexpr char kBoard[] = BITLAY_SOURCE_DIR "/tests/data/kicad/four-layer.kicad_pcb";
constexpr picture::Colour kInk = 0x0000FF;

picture::PictureBox alternatingColumns() {
    picture::PictureBox box(4695, 3495);
    QImage image(309, 229, QImage::Format_RGB32);
    image.fill(qRgb(255, 255, 255));
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); x += 2) image.setPixel(x, y, qRgb(255, 0, 0));
    box.setPicture(image);
    picture::setWorkingScale(box);
    return box;
}

// Argument: the layer's index in the list (0 F.Cu, 8 F.Silkscreen on the four-layer board).
void BM_WorstCaseLiveIntoPcbnew(benchmark::State& state) {
    const kicad::test::Kicad kicad = kicad::test::kicadFromEnvironment();
    const std::string why = kicad::test::whyNoKicad(kicad);
    if (!why.empty()) {
        state.SkipWithError(("KiCad cannot run here: " + why).c_str());
        return;
    }
    XServer x;
    if (!x.running()) {
        state.SkipWithError("Xvfb did not start");
        return;
    }
    const auto box = alternatingColumns();
    const transfer::TransferInput input{"0", "0", "1", static_cast<std::int32_t>(state.range(0)),
                                        kInk};
    const transfer::ProgressSink noProgress = [](const std::string&) {};
    unsetenv("DBX_DESIGN");
    std::int64_t lines = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::string error;
        auto pcbnew = Pcbnew::start(kicad, x.display(), kBoard, error);
        if (!pcbnew) {
            state.SkipWithError(error.c_str());
            return;
        }
        setenv("KICAD_API_SOCKET", pcbnew->url().c_str(), 1);
        dbx::DesignContext context{};
        if (TOpenDesign(0, 16000, "", &context) != 0) {
            state.SkipWithError("TOpenDesign did not attach to pcbnew");
            return;
        }
        state.ResumeTiming();

        lines = 0;
        const transfer::LineSink place = [&](dbx::LineRecord& record) {
            ++lines;
            return TPlaceLine(&context, &record);
        };
        const auto result = transfer::Transfer(box, input, place, noProgress);
        const auto closed = TCloseDesign(&context, "");

        state.PauseTiming();
        if (result.linesRefused != 0 || closed != 0) {
            state.SkipWithError("KiCad did not take every line");
            return;
        }
        if (pcbnew->segments().size() != static_cast<std::size_t>(lines)) {
            state.SkipWithError("KiCad holds a different number of lines");
            return;
        }
        pcbnew.reset();
        state.ResumeTiming();
    }
    state.counters["lines"] = static_cast<double>(lines);
}
BENCHMARK(BM_WorstCaseLiveIntoPcbnew)
    ->ArgName("layer_index")
    ->Arg(8)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
