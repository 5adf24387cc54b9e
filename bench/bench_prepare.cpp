// The picture menu's preparations on Picture1 as a user meets them: each item once, and each step
// of a dialog's live preview (the preparation and the box's new picture). Two pictures: a logo of
// the box's size (309 × 229, two inks with smooth edges, a few hundred colours), and a photograph
// of 4000 × 3000 before Fit (every pixel a colour of its own nearly), of which the box shows its
// top-left corner.

#include <benchmark/benchmark.h>

#include <QPainter>
#include <random>

#include "picture/prepare.h"

namespace picture = bitlay::picture;

namespace {

QImage logo() {
    QImage image(309, 229, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(208, 16, 16));
    painter.drawEllipse(QRectF(20.3, 15.7, 150.4, 120.2));
    painter.setBrush(QColor(20, 40, 200));
    painter.drawEllipse(QRectF(110.6, 60.1, 170.2, 150.9));
    return image;
}

QImage photograph() {
    QImage image(4000, 3000, QImage::Format_RGB32);
    std::mt19937 random(1);
    for (int y = 0; y < image.height(); ++y) {
        auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x)
            row[x] = qRgb((x / 16 + random() % 24) & 255, (y / 12 + random() % 24) & 255,
                          ((x + y) / 28 + random() % 24) & 255);
    }
    return image;
}

// Picture1 at its design size showing the picture, as a Load leaves it.
picture::PictureBox loaded(const QImage& image) {
    picture::PictureBox box(4695, 3495);
    box.setPicture(image);
    picture::setWorkingScale(box);
    return box;
}

const QImage& pictureOf(const benchmark::State& state) {
    static const QImage kLogo = logo();
    static const QImage kPhotograph = photograph();
    return state.range(0) == 0 ? kLogo : kPhotograph;
}

void name(benchmark::State& state) {
    state.SetLabel(state.range(0) == 0 ? "logo 309x229" : "photograph 4000x3000");
}

// One step of the black-and-white preview: the new level's picture, shown by the box.
void BM_BlackAndWhitePreviewStep(benchmark::State& state) {
    picture::PictureBox box = loaded(pictureOf(state));
    const QImage surface = box.surface().copy();
    int level = 1;
    for (auto _ : state) {
        picture::showPrepared(box, picture::blackAndWhite(surface, level, qRgb(240, 240, 240)));
        level = level % 254 + 1;
    }
    name(state);
}
BENCHMARK(BM_BlackAndWhitePreviewStep)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Opening the black-and-white dialog: the starting level.
void BM_BlackAndWhiteStartingLevel(benchmark::State& state) {
    const QImage surface = loaded(pictureOf(state)).surface().copy();
    for (auto _ : state) benchmark::DoNotOptimize(picture::otsuLevel(surface));
    name(state);
}
BENCHMARK(BM_BlackAndWhiteStartingLevel)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Opening the flat-colours dialog: the colours counted and the suited number.
void BM_FlatColoursOpen(benchmark::State& state) {
    const QImage surface = loaded(pictureOf(state)).surface().copy();
    for (auto _ : state)
        benchmark::DoNotOptimize(picture::suitedColourCount(picture::colourCounts(surface)));
    name(state);
}
BENCHMARK(BM_FlatColoursOpen)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// One step of the flat-colours preview at the most colours, the slowest.
void BM_FlatColoursPreviewStep(benchmark::State& state) {
    picture::PictureBox box = loaded(pictureOf(state));
    const QImage surface = box.surface().copy();
    const std::vector<picture::ColourCount> counts = picture::colourCounts(surface);
    for (auto _ : state)
        picture::showPrepared(
            box,
            picture::flattened(surface, picture::flatPalette(counts, picture::kMostFlatColours)));
    name(state);
}
BENCHMARK(BM_FlatColoursPreviewStep)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_Mirror(benchmark::State& state) {
    picture::PictureBox box = loaded(pictureOf(state));
    for (auto _ : state) picture::showPrepared(box, picture::mirrored(box.surface()));
    name(state);
}
BENCHMARK(BM_Mirror)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Fit starts from the loaded picture, the whole photograph.
void BM_FitToBox(benchmark::State& state) {
    picture::PictureBox box = loaded(pictureOf(state));
    for (auto _ : state)
        picture::showPrepared(box, picture::fitted(pictureOf(state), box.surface().size()));
    name(state);
}
BENCHMARK(BM_FitToBox)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// A left click's look for close shades.
void BM_PickShades(benchmark::State& state) {
    const QImage surface = loaded(pictureOf(state)).surface().copy();
    for (auto _ : state) {
        if (picture::isFlat(surface)) continue;
        const picture::ShadeCount shades = picture::shadesNear(surface, qRgb(208, 16, 16));
        benchmark::DoNotOptimize(picture::suggestsFlatColours(shades));
    }
    name(state);
}
BENCHMARK(BM_PickShades)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
