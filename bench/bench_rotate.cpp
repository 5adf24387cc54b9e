#include <benchmark/benchmark.h>

#include <random>

#include "picture/rotate.h"

using namespace bitlay::picture;

// A whole Rotate 90 of the design boxes (Picture1 4695 × 3495, Picture2 4695 × 3615 twips), both
// passes, with a picture that fills Picture1; the caption callback does nothing.
static void BM_Rotate90DesignSize(benchmark::State& state) {
    PictureBox picture1(4695, 3495);
    PictureBox picture2(4695, 3615);
    QImage loaded(309, 229, QImage::Format_RGB32);
    std::mt19937 random(1);
    for (int y = 0; y < loaded.height(); ++y)
        for (int x = 0; x < loaded.width(); ++x) loaded.setPixel(x, y, random() | 0xFF000000u);
    picture1.setPicture(loaded);
    const ShowProgress ignore = [](const std::string&) {};
    for (auto _ : state) {
        rotate90(picture1, picture2, ignore);
        benchmark::DoNotOptimize(picture1.surface().constBits());
    }
}
BENCHMARK(BM_Rotate90DesignSize)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
