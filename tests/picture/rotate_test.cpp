#include "picture/rotate.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <sstream>
#include <vector>

#include "numeric/numeric.h"

using namespace bitlay::picture;

namespace {

// A box of the given client size in pixels, without a frame.
PictureBox box(int widthPixels, int heightPixels) {
    return PictureBox(float(widthPixels * kTwipsPerPixel), float(heightPixels * kTwipsPerPixel), 0);
}

QImage noise(int width, int height, unsigned seed) {
    std::mt19937 random(seed);
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) image.setPixel(x, y, random() | 0xFF000000u);
    return image;
}

// A plain pixel grid, so the reference below owes nothing to the picture-box model.
struct Grid {
    int width = 0;
    int height = 0;
    std::vector<Colour> pixels;

    Grid(int w, int h, Colour fill) : width(w), height(h), pixels(std::size_t(w) * h, fill) {}
    Colour at(int x, int y) const {
        return x < 0 || y < 0 || x >= width || y >= height ? -1 : pixels[y * width + x];
    }
    void set(int x, int y, Colour c) {
        if (x >= 0 && y >= 0 && x < width && y < height) pixels[y * width + x] = c;
    }
};

Grid surfaceOf(const PictureBox& b) {
    Grid grid(b.clientWidthPixels(), b.clientHeightPixels(), 0);
    for (int y = 0; y < grid.height; ++y)
        for (int x = 0; x < grid.width; ++x) grid.set(x, y, colourFromRgb(b.surface().pixel(x, y)));
    return grid;
}

// Background with the picture over it from the top-left corner, clipped.
Grid composed(int width, int height, Colour back, const QImage& picture) {
    Grid grid(width, height, back);
    for (int y = 0; y < std::min(height, picture.height()); ++y)
        for (int x = 0; x < std::min(width, picture.width()); ++x)
            grid.set(x, y, colourFromRgb(picture.pixel(x, y)));
    return grid;
}

// The redraw step by step as the rotation is defined, in pixels; the default rounding mode of
// nearbyint is half to even. The test sizes stay far inside 16 bits.
int nearest(double x) { return int(std::nearbyint(x)); }

void referenceRotate(const Grid& source, Grid& target, float theta) {
    const int cx1 = nearest(source.width / 2.0), cy1 = nearest(source.height / 2.0);
    const int cx2 = nearest(target.width / 2.0), cy2 = nearest(target.height / 2.0);
    const int n = std::max(target.width, target.height);
    const int m = nearest(n / 2.0 - 1);
    for (int i = 0; i <= m; ++i) {
        for (int j = 0; j <= m; ++j) {
            const float a = i == 0 ? float(3.14159265359 / 2) : float(std::atan(double(j) / i));
            const int r = nearest(std::sqrt(double(i * i + j * j)));
            const int u = nearest(r * std::cos(double(a) + double(theta)));
            const int v = nearest(r * std::sin(double(a) + double(theta)));
            const Colour c1 = source.at(cx1 + u, cy1 + v), c2 = source.at(cx1 - u, cy1 - v);
            const Colour c3 = source.at(cx1 + v, cy1 - u), c4 = source.at(cx1 - v, cy1 + u);
            if (c1 != -1) target.set(cx2 + i, cy2 + j, c1);
            if (c2 != -1) target.set(cx2 - i, cy2 - j, c2);
            if (c3 != -1) target.set(cx2 + j, cy2 - i, c3);
            if (c4 != -1) target.set(cx2 - j, cy2 + i, c4);
        }
    }
}

// Rotate 90 on grids: surface1 is Picture1's current surface, the loaded picture comes back
// between the passes, Picture2 has no picture.
void referenceRotate90(Grid& surface1, Grid& surface2, Colour back1, Colour back2,
                       const QImage& loaded) {
    surface2 = Grid(surface2.width, surface2.height, back2);
    referenceRotate(surface1, surface2, float(1.57079637050628662109375));
    surface1 = composed(surface1.width, surface1.height, back1, loaded);
    referenceRotate(surface2, surface1, 0.0f);
}

// Lists the first differing pixels, so a failure reads as a diff.
::testing::AssertionResult sameSurface(const Grid& actual, const Grid& expected) {
    if (actual.width != expected.width || actual.height != expected.height)
        return ::testing::AssertionFailure() << "sizes differ";
    std::ostringstream diff;
    int count = 0;
    for (int y = 0; y < actual.height; ++y)
        for (int x = 0; x < actual.width; ++x)
            if (actual.at(x, y) != expected.at(x, y) && ++count <= 8)
                diff << " (" << x << "," << y << "): " << std::hex << actual.at(x, y) << " not "
                     << expected.at(x, y) << std::dec << "\n";
    if (count == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << count << " pixels differ\n" << diff.str();
}

// The design boxes: Picture1 4695 × 3495 and Picture2 4695 × 3615 twips with a 2-pixel frame,
// Picture1 in its working scale as after a Load.
struct DesignBoxes {
    PictureBox picture1{4695, 3495};
    PictureBox picture2{4695, 3615};
    std::vector<std::string> captions;
    ShowProgress record = [this](const std::string& c) { captions.push_back(c); };

    explicit DesignBoxes(const QImage& loaded) {
        picture2.setBackColor(0x0000FF);  // so that Picture2's background is seen where it arrives
        picture1.setPicture(loaded);
        picture1.setScaleWidth(picture1.Width() / 4);
        picture1.setScaleHeight(picture1.Height() / 4);
    }
};

}  // namespace

TEST(Rotate, QuarterTurnIsTheSingleNearestHalfPi) {
    const float theta = quarterTurn();
    std::uint32_t bits = 0;
    std::memcpy(&bits, &theta, sizeof bits);
    EXPECT_EQ(bits, 0x3FC90FDBu);
}

struct FrameCase {
    int width1, height1, width2, height2;
    int n, m, cx2, cy2, cx1, cy1;
};

class RotationFrameTest : public ::testing::TestWithParam<FrameCase> {};

TEST_P(RotationFrameTest, CentresSideAndLargestOffset) {
    const FrameCase& c = GetParam();
    PictureBox pic1 = box(c.width1, c.height1), pic2 = box(c.width2, c.height2);
    pic1.setScaleModePixels();
    pic2.setScaleModePixels();
    const RotationFrame f = rotationFrame(pic1, pic2);
    EXPECT_EQ(f.n, c.n);
    EXPECT_EQ(f.m, c.m);
    EXPECT_EQ(f.cx2, c.cx2);
    EXPECT_EQ(f.cy2, c.cy2);
    EXPECT_EQ(f.cx1, c.cx1);
    EXPECT_EQ(f.cy1, c.cy1);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, RotationFrameTest,
    ::testing::Values(FrameCase{309, 229, 309, 237, 309, 154, 154, 118, 154, 114},
                      FrameCase{309, 237, 313, 233, 313, 156, 156, 116, 154, 118},
                      FrameCase{10, 10, 229, 309, 309, 154, 114, 154, 5, 5},  // the taller side
                      FrameCase{1, 1, 0, 0, 0, -1, 0, 0, 0, 0},
                      FrameCase{1, 1, 1, 1, 1, 0, 0, 0, 0, 0},
                      FrameCase{2, 2, 2, 2, 2, 0, 1, 1, 1, 1},
                      FrameCase{3, 3, 3, 3, 3, 0, 2, 2, 2, 2}));

TEST(Rotate, ASideBeyondSixteenBitsOverflowsBeforeAnyPixel) {
    PictureBox pic1 = box(4, 4), pic2 = box(32768, 1);
    pic1.setScaleModePixels();
    pic2.setScaleModePixels();
    EXPECT_THROW(rotationFrame(pic1, pic2), bitlay::numeric::OverflowError);
}

// theta = 0 between boxes of equal size copies the square of side 2m + 1 about the centre.
class CopyTest : public ::testing::TestWithParam<std::pair<int, int>> {};

TEST_P(CopyTest, CopiesTheSquareAndLeavesTheRest) {
    const auto [side, firstCopied] = GetParam();
    PictureBox source = box(side, side), target = box(side, side);
    source.setPicture(noise(side, side, 7));
    target.setBackColor(0x123456);
    target.Cls();
    source.setScaleModePixels();
    target.setScaleModePixels();
    bmp_rotate(source, target, 0.0f, nullptr);
    const int lastCopied = firstCopied + 2 * rotationFrame(source, target).m;
    ASSERT_LT(lastCopied, side);
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            const bool inSquare = std::min(x, y) >= firstCopied && std::max(x, y) <= lastCopied;
            ASSERT_EQ(target.Point(x, y), inSquare ? source.Point(x, y) : 0x123456)
                << "at " << x << "," << y;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sides, CopyTest,
                         ::testing::Values(std::pair{20, 1}, std::pair{21, 0}, std::pair{22, 1},
                                           std::pair{23, 2}, std::pair{309, 0}));

TEST(Rotate, SourcePointsOutsideLeaveTheirTargets) {
    // Source centre (5, 5), target centre (10, 10): target column 15 would read source column 10,
    // just outside.
    PictureBox source = box(10, 10), target = box(20, 20);
    source.setPicture(noise(10, 10, 3));
    target.setBackColor(0x00FF00);
    target.Cls();
    source.setScaleModePixels();
    target.setScaleModePixels();
    bmp_rotate(source, target, 0.0f, nullptr);
    EXPECT_EQ(source.Point(10, 0), kOutside);
    EXPECT_EQ(target.Point(15, 10), 0x00FF00);
    EXPECT_EQ(target.Point(14, 10), source.Point(9, 5));
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 20; ++x)
            ASSERT_EQ(target.Point(x, y),
                      x >= 5 && x < 15 && y >= 5 && y < 15 ? source.Point(x - 5, y - 5) : 0x00FF00);
}

// The progress runs " 0%" .. " 100%" once per outer step, whatever the size, then "Rotate 90".
class ProgressTest : public ::testing::TestWithParam<int> {};

TEST_P(ProgressTest, EveryPassCompletesWithSoundCaptions) {
    const int side = GetParam();
    PictureBox source = box(side, side), target = box(side, side);
    source.setScaleModePixels();
    target.setScaleModePixels();
    std::vector<std::string> captions;
    ASSERT_NO_THROW(bmp_rotate(source, target, quarterTurn(),
                               [&](const std::string& c) { captions.push_back(c); }));
    const int m = rotationFrame(source, target).m;
    ASSERT_EQ(captions.size(), std::size_t(std::max(m, -1) + 2));
    EXPECT_EQ(captions.back(), kRotateCaption);
    if (m < 0) return;
    EXPECT_EQ(captions.front(), " 0%");
    EXPECT_EQ(captions[captions.size() - 2], m == 0 ? " 0%" : " 100%");
    int previous = 0;
    for (std::size_t k = 0; k + 1 < captions.size(); ++k) {
        const int percent = std::stoi(captions[k]);
        EXPECT_GE(percent, previous);
        EXPECT_LE(percent, 100);
        EXPECT_EQ(captions[k], " " + std::to_string(percent) + "%");
        previous = percent;
    }
}

INSTANTIATE_TEST_SUITE_P(Sides, ProgressTest, ::testing::Values(0, 1, 2, 3, 100, 363, 364, 400));

TEST(Rotate, TinyBoxesTurnTheirCentre) {
    for (int side = 1; side <= 3; ++side) {
        PictureBox source = box(side, side), target = box(side, side);
        source.setPicture(noise(side, side, 11));
        source.setScaleModePixels();
        target.setScaleModePixels();
        bmp_rotate(source, target, quarterTurn(), nullptr);
        const int c = side / 2 + (side == 3);  // centre rounded half to even
        EXPECT_EQ(target.Point(c, c), source.Point(c, c)) << side;
    }
}

// Whole Rotate 90 at the design size against the reference, for pictures smaller than, as large
// as and larger than the box, four times in a row.
class Rotate90Test : public ::testing::TestWithParam<QSize> {};

TEST_P(Rotate90Test, MatchesTheReferenceAndFourTurnsComeBack) {
    const QImage loaded = noise(GetParam().width(), GetParam().height(), 42);
    DesignBoxes boxes(loaded);
    const Grid original = surfaceOf(boxes.picture1);
    Grid expected1 = original;
    Grid expected2(309, 237, 0);
    for (int turn = 1; turn <= 4; ++turn) {
        boxes.captions.clear();
        rotate90(boxes.picture1, boxes.picture2, boxes.record);
        referenceRotate90(expected1, expected2, boxes.picture1.backColor(), 0x0000FF, loaded);
        ASSERT_TRUE(sameSurface(surfaceOf(boxes.picture1), expected1)) << "turn " << turn;
        ASSERT_TRUE(sameSurface(surfaceOf(boxes.picture2), expected2)) << "turn " << turn;
        EXPECT_FLOAT_EQ(boxes.picture1.ScaleWidth(), 1173.75f);
        EXPECT_FLOAT_EQ(boxes.picture1.ScaleHeight(), 873.75f);
        EXPECT_FALSE(boxes.picture1.isPixelScale());
        EXPECT_TRUE(boxes.picture2.isPixelScale());
        ASSERT_EQ(boxes.captions.size(), 2u * (155 + 1));
        EXPECT_EQ(boxes.captions[155], kRotateCaption);
        EXPECT_EQ(boxes.captions.back(), kRotateCaption);
    }
    EXPECT_EQ(boxes.picture1.picture(), loaded);
    // Every pass reaches the offsets up to 114 from Picture1's centre (154, 114) on both axes.
    const Grid final = surfaceOf(boxes.picture1);
    for (int y = 0; y < 229; ++y)
        for (int x = 154 - 114; x <= 154 + 114; ++x)
            ASSERT_EQ(final.at(x, y), original.at(x, y)) << "at " << x << "," << y;
}

INSTANTIATE_TEST_SUITE_P(Pictures, Rotate90Test,
                         ::testing::Values(QSize(200, 150), QSize(309, 229), QSize(400, 300)));

TEST(Rotate90, TurnsCounterClockwiseOnScreen) {
    QImage loaded(309, 229, QImage::Format_RGB32);
    loaded.fill(Qt::white);
    loaded.setPixel(154 + 50, 114, qRgb(255, 0, 0));  // right of the centre
    DesignBoxes boxes(loaded);
    rotate90(boxes.picture1, boxes.picture2, nullptr);
    boxes.picture1.setScaleModePixels();
    EXPECT_EQ(boxes.picture1.Point(154, 114 - 50), 0x0000FF);  // now above it
    EXPECT_EQ(boxes.picture1.Point(154 + 50, 114), 0xFFFFFF);
}

TEST(Rotate90, AnOverflowStillRestoresTheWorkingScaleAndCaption) {
    // Source centre 32500: the first outer step reaches past 32767.
    PictureBox picture1 = box(65000, 1), picture2 = box(1000, 2);
    picture1.setScaleWidth(picture1.Width() / 4);
    picture1.setScaleHeight(picture1.Height() / 4);
    std::vector<std::string> captions;
    EXPECT_THROW(rotate90(picture1, picture2, [&](const std::string& c) { captions.push_back(c); }),
                 bitlay::numeric::OverflowError);
    EXPECT_EQ(captions, (std::vector<std::string>{" 0%", kRotateCaption}));
    EXPECT_FALSE(picture1.isPixelScale());
    EXPECT_FLOAT_EQ(picture1.ScaleWidth(), 65000 * 15 / 4.0f);
    EXPECT_FLOAT_EQ(picture1.ScaleHeight(), 15 / 4.0f);
}
