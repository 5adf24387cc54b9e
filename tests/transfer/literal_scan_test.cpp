// The scan held against a literal reading of its steps, on random pictures, scales and positions.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "numeric/numeric.h"
#include "transfer/number_text.h"
#include "transfer/transfer.h"
#include "transfer_fixture.h"

using namespace bitlay;
using namespace bitlay::transfer;
using namespace bitlay::transfer::test;

namespace {

struct LiteralRun {
    std::vector<LineRecord> lines;
    TransferOutcome outcome = TransferOutcome::kCompleted;
    bool stopped = false;
};

// Every point up to W − 1 and H − 1, one Point query each, exactly as the steps read, with the
// decided mends: Y keeps its fraction, and a run that opens on the row's last point closes there.
LiteralRun literalTransfer(const PictureBox& picture1, const TransferInput& in) {
    using numeric::roundToInt32;
    LiteralRun out;
    LineRecord record{};
    if (numberOfText(in.scaleText) < 1) {
        out.outcome = TransferOutcome::kScaleRefused;
        return out;
    }
    // The chosen positions in the list's order, each once.
    std::vector<std::int32_t> positions;
    for (std::int32_t position = 0; position <= 32767; ++position)
        if (std::count(in.layerIndices.begin(), in.layerIndices.end(), position) > 0)
            positions.push_back(position);
    if (positions.empty()) {
        out.outcome = TransferOutcome::kLayerRefused;
        return out;
    }
    try {
        const double X = numberOfText(in.xText);
        const double Y = numberOfText(in.yText);
        const std::int32_t S = roundToInt32(numberOfText(in.scaleText));
        bool open = false;
        std::vector<std::int32_t> layerIds;
        for (const std::int32_t position : positions)
            layerIds.push_back(numeric::add16(numeric::narrowToInt16(position), 1));
        record.width = numeric::mul32(S, 2540);
        const auto boardX = [&](double x) { return roundToInt32(X * 2540 + S * x * 2540); };
        const auto boardY = [&](double y) { return roundToInt32(Y * 2540 - S * y * 2540); };
        const float lastRow = picture1.Height() - 1.0f;
        for (double y = 0; y <= lastRow; ++y) {
            const float lastColumn = picture1.Width() - 1.0f;
            for (double x = 0; x <= lastColumn; ++x) {
                const Colour c = picture1.Point(x, y);
                const Colour k = in.selectedColour;
                const auto closeHere = [&] {
                    open = false;
                    record.endX = boardX(x);
                    record.endY = boardY(y);
                    if (record.endX == record.startX)
                        record.endX = numeric::add32(record.endX, 1300);
                    for (const std::int32_t layerId : layerIds) {
                        record.layerId = layerId;
                        out.lines.push_back(record);
                    }
                };
                if (!open) {
                    if (c == k) {
                        open = true;
                        record.startX = boardX(x);
                        record.startY = boardY(y);
                        if (x == lastColumn) closeHere();
                    }
                } else if (c != k || x == lastColumn) {
                    closeHere();
                }
            }
        }
    } catch (const numeric::OverflowError&) {
        out.stopped = true;
    }
    return out;
}

QImage randomPicture(std::mt19937& random, int width, int height,
                     const std::vector<Colour>& palette) {
    QImage image(width, height, QImage::Format_RGB32);
    std::uniform_int_distribution<std::size_t> pick(0, palette.size() - 1);
    std::uniform_int_distribution<int> runLength(1, 12);
    for (int y = 0; y < height; ++y) {
        int x = 0;
        while (x < width) {
            const QRgb rgb = picture::rgbFromColour(palette[pick(random)]);
            for (int n = runLength(random); n > 0 && x < width; --n, ++x) image.setPixel(x, y, rgb);
        }
    }
    return image;
}

TEST(TransferAgainstLiteralScan, RandomPicturesScalesAndPositions) {
    std::mt19937 random(20240605);
    const std::vector<Colour> palette = {kInk, kPaper, 0x00FF00, 0x123456};
    const char* scales[] = {"1", "1.4", "2.5", "3", "7", "100", "845466"};
    const char* positions[] = {"0",     "1",      "-2",        "0.5",  "12.37",
                               "-3.25", "845000", "-845466.2", "1e300"};
    auto chance = [&](int percent) {
        return std::uniform_int_distribution<int>(0, 99)(random) < percent;
    };
    auto any = [&](auto& array) {
        return array[std::uniform_int_distribution<std::size_t>(0, std::size(array) - 1)(random)];
    };
    int cases = 0, stopped = 0, withRowEnd = 0;
    std::size_t lines = 0;
    for (int i = 0; i < 240; ++i) {
        const bool designSize = i < 3;
        const float width = designSize ? 4695 : std::uniform_int_distribution<int>(1, 900)(random);
        const float height = designSize ? 3495 : std::uniform_int_distribution<int>(1, 700)(random);
        PictureBox box(width, height, chance(40) ? 0 : 2);
        box.setBackColor(any(palette));
        const int w = box.clientWidthPixels() + std::uniform_int_distribution<int>(-20, 20)(random);
        const int h =
            box.clientHeightPixels() + std::uniform_int_distribution<int>(-20, 20)(random);
        if (w > 0 && h > 0 && box.clientWidthPixels() > 0 && box.clientHeightPixels() > 0)
            box.setPicture(randomPicture(random, w, h, palette));
        const int scaleKind = designSize ? i : std::uniform_int_distribution<int>(0, 5)(random);
        std::string scaleName = "twips";
        if (scaleKind == 0) {
            picture::setWorkingScale(box);
            scaleName = "working";
        } else if (scaleKind == 2) {
            box.setScaleModePixels();
            scaleName = "pixels";
        } else if (scaleKind == 5 && box.clientWidthPixels() > 1) {
            // The last pixel column begins exactly at x = W − 1: runs open on a row's last point.
            const int px = box.clientWidthPixels();
            box.setScaleWidth(static_cast<float>(px * (width - 1.5) / (px - 1)));
            scaleName = "row end";
        } else if (scaleKind >= 3) {
            // Any user scale, among them ones finer than a pixel and the odd empty or reversed one.
            const float sw =
                chance(5) ? (chance(50) ? 0.0f : -100.0f)
                          : std::uniform_real_distribution<float>(0.5f, 2.0f)(random) * width;
            box.setScaleWidth(sw);
            box.setScaleHeight(std::uniform_real_distribution<float>(0.5f, 2.0f)(random) * height);
            scaleName = "user";
        }
        Colour selected = chance(10) ? 0x010203 : any(palette);
        if (!designSize && width * height < 40000 && chance(10)) selected = picture::kOutside;
        const std::string x = chance(85) ? any(positions) : std::to_string(i % 50);
        const std::string y = chance(85) ? any(positions) : std::to_string(-(i % 50));
        const char* scale = chance(80) ? scales[i % 3] : any(scales);
        // Mostly one layer; now and then several, in any order, once repeated or with a -1.
        std::vector<std::int32_t> layers{static_cast<std::int32_t>(i % 5)};
        if (chance(25)) layers = {i % 7, 2, -1, i % 3};
        if (chance(3)) layers = {-1};
        if (chance(2)) layers = {32767, 0};
        const TransferInput in{x, y, scale, layers, selected};

        SCOPED_TRACE(::testing::Message()
                     << "case " << i << ": " << width << "x" << height << " " << scaleName
                     << " X=" << x << " Y=" << y << " S=" << scale << " colour " << selected
                     << " on " << layers.size() << " layer positions");
        const LiteralRun expected = literalTransfer(box, in);
        Recorder recorder;
        recorder.statusOf = [](std::size_t n) { return n % 7 == 3 ? 32015 : 0; };
        bool threw = false;
        try {
            const auto result = recorder.run(box, in);
            EXPECT_EQ(result.linesPlaced + result.linesRefused,
                      static_cast<std::int64_t>(recorder.lines.size()));
        } catch (const TransferStopped& e) {
            threw = true;
            EXPECT_EQ(e.linesPlaced() + e.linesRefused(),
                      static_cast<std::int64_t>(recorder.lines.size()));
        }
        EXPECT_EQ(threw, expected.stopped);
        ASSERT_EQ(describeLines(recorder.lines), describeLines(expected.lines));
        ++cases;
        stopped += threw;
        lines += recorder.lines.size();
        for (const auto& l : recorder.lines) withRowEnd += l.endX - l.startX == 1300;
    }
    // The draw must reach the interesting corners, or the comparison proves little.
    EXPECT_GT(stopped, 10);
    EXPECT_GT(withRowEnd, 10);
    EXPECT_GT(lines, 10000u);
    std::printf("%d cases, %zu lines, %d stopped, %d one-point lines at a row end\n", cases, lines,
                stopped, withRowEnd);
}

}  // namespace
