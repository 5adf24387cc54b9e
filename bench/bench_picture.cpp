#include <benchmark/benchmark.h>

#include <QImage>
#include <cstdint>

#include "picture/picture_box.h"

using bitlay::picture::PictureBox;

namespace {

// Picture1 at its design size with a picture filling it, in the working scale, as the transfer
// finds it.
PictureBox workingPicture1() {
    QImage picture(309, 229, QImage::Format_RGB32);
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x) picture.setPixel(x, y, qRgb(x, y, x ^ y));
    PictureBox box(4695, 3495);
    box.setPicture(picture);
    box.setScaleWidth(box.Width() / 4);
    box.setScaleHeight(box.Height() / 4);
    return box;
}

// The transfer's walk: every whole logical unit of the working scale, row by row, about a million
// points.
void BM_PointWorkingScaleScan(benchmark::State& state) {
    const PictureBox box = workingPicture1();
    std::int64_t queries = 0;
    for (auto _ : state) {
        std::int64_t sum = 0;
        for (float y = 0; y < box.ScaleHeight(); y += 1)
            for (float x = 0; x < box.ScaleWidth(); x += 1) sum += box.Point(x, y);
        benchmark::DoNotOptimize(sum);
        queries += 1174 * 874;
    }
    state.SetItemsProcessed(queries);
}
BENCHMARK(BM_PointWorkingScaleScan)->Unit(benchmark::kMillisecond);

// Scattered points, so that neither the branch predictor nor the cache walk along.
void BM_PointScattered(benchmark::State& state) {
    const PictureBox box = workingPicture1();
    std::uint32_t seed = 12345;
    for (auto _ : state) {
        seed = seed * 1664525u + 1013904223u;
        const float x = static_cast<float>(seed >> 8) * (1200.0f / 16777216.0f);
        const float y = static_cast<float>(seed & 0xFFFF) * (900.0f / 65536.0f);
        benchmark::DoNotOptimize(box.Point(x, y));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PointScattered);

}  // namespace

BENCHMARK_MAIN();
