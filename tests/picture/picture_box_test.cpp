#include "picture/picture_box.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <utility>
#include <vector>

using namespace bitlay::picture;

namespace {

QImage solid(int width, int height, QRgb rgb) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(rgb);
    return image;
}

}  // namespace

TEST(PictureBox, ClientAreaIsTheOuterSizeLessTheFrame) {
    const PictureBox picture1(4695, 3495);
    EXPECT_EQ(picture1.clientWidthPixels(), 309);
    EXPECT_EQ(picture1.clientHeightPixels(), 229);
    const PictureBox picture2(4695, 3615);
    EXPECT_EQ(picture2.clientWidthPixels(), 309);
    EXPECT_EQ(picture2.clientHeightPixels(), 237);
    EXPECT_FLOAT_EQ(picture1.ScaleWidth(), 309 * 15);  // twips at first
}

TEST(PictureBox, ColoursAreRedPlusGreenAndBlueShifted) {
    EXPECT_EQ(colourFromRgb(qRgb(1, 2, 3)), 1 + 2 * 256 + 3 * 65536);
    EXPECT_EQ(rgbFromColour(0x030201), qRgb(1, 2, 3));
}

TEST(PictureBox, PictureAtNaturalSizeOverTheBackground) {
    PictureBox box(4695, 3495);
    box.setBackColor(0x00FF00);
    box.setPicture(solid(10, 5, qRgb(255, 0, 0)));
    box.setScaleModePixels();
    EXPECT_EQ(box.Point(9, 4), 0x0000FF);
    EXPECT_EQ(box.Point(10, 4), 0x00FF00);
    EXPECT_EQ(box.Point(9, 5), 0x00FF00);
    EXPECT_EQ(box.Point(308, 228), 0x00FF00);
    EXPECT_EQ(box.Point(309, 0), kOutside);
    EXPECT_EQ(box.Point(0, 229), kOutside);
    EXPECT_EQ(box.Point(-0.5, 0), kOutside);
}

TEST(PictureBox, LargePicturesAreClipped) {
    PictureBox box(4695, 3495);
    box.setPicture(solid(1000, 1000, qRgb(0, 0, 255)));
    box.setScaleModePixels();
    EXPECT_EQ(box.Point(308, 228), 0xFF0000);
    EXPECT_EQ(box.Point(309, 228), kOutside);
}

TEST(PictureBox, ClearDiscardsDrawingAndKeepsThePicture) {
    PictureBox box(4695, 3495);
    box.setPicture(solid(4, 4, qRgb(0, 0, 0)));
    box.setScaleModePixels();
    box.PSet(1, 1, 0x123456);
    box.PSet(-1, 1, 0x123456);
    box.PSet(309, 1, 0x123456);
    EXPECT_EQ(box.Point(1, 1), 0x123456);
    box.Cls();
    EXPECT_EQ(box.Point(1, 1), 0);
}

TEST(PictureBox, UserScaleMapsOntoTheClientArea) {
    PictureBox box(4695, 3495);
    box.setScaleWidth(box.Width() / 4);
    box.setScaleHeight(box.Height() / 4);
    EXPECT_FLOAT_EQ(box.ScaleWidth(), 1173.75f);
    EXPECT_FLOAT_EQ(box.ScaleHeight(), 873.75f);
    EXPECT_EQ(box.columnOf(0), 0);
    EXPECT_EQ(box.columnOf(1173.74), 308);
    EXPECT_EQ(box.columnOf(1173.75), 309);
    EXPECT_EQ(box.rowOf(873.7), 228);
    EXPECT_EQ(box.rowOf(-0.01), -1);
}

TEST(PictureBox, PointerPositionOfEveryPixelMapsBackToIt) {
    enum class Scale { Twips, Working, Pixels };
    for (const Scale scale : {Scale::Twips, Scale::Working, Scale::Pixels}) {
        PictureBox box(4695, 3495);
        if (scale == Scale::Pixels) {
            box.setScaleModePixels();
        } else if (scale == Scale::Working) {
            box.setScaleWidth(box.Width() / 4);
            box.setScaleHeight(box.Height() / 4);
        }
        for (int column = 0; column < box.clientWidthPixels(); ++column)
            ASSERT_EQ(box.columnOf(box.logicalXOfColumn(column)), column) << column;
        for (int row = 0; row < box.clientHeightPixels(); ++row)
            ASSERT_EQ(box.rowOf(box.logicalYOfRow(row)), row) << row;
    }
}

namespace {

// Every pixel its own colour, so a read of a neighbour shows.
QImage gradient(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, qRgb(x & 0xFF, (x >> 8) | (y << 3), y));
    return image;
}

}  // namespace

class PictureBoxOfAnySize : public ::testing::TestWithParam<QSize> {};

TEST_P(PictureBoxOfAnySize, ShowsThePictureAtNaturalSizeInTheWorkingScale) {
    PictureBox box(4695, 3495);
    box.setBackColor(0x00FF00);
    const QImage picture =
        GetParam().isEmpty() ? QImage() : gradient(GetParam().width(), GetParam().height());
    box.setPicture(picture);
    setWorkingScale(box);
    EXPECT_EQ(box.ScaleWidth(), 1173.75f);
    EXPECT_EQ(box.ScaleHeight(), 873.75f);
    // Clipped at the client area, the background beside and below.
    for (int row = 0; row < box.clientHeightPixels(); ++row)
        for (int column = 0; column < box.clientWidthPixels(); ++column) {
            const bool onPicture = column < picture.width() && row < picture.height();
            const Colour expected =
                onPicture ? colourFromRgb(picture.pixel(column, row)) : 0x00FF00;
            ASSERT_EQ(box.Point(box.logicalXOfColumn(column), box.logicalYOfRow(row)), expected)
                << column << "," << row;
        }
    EXPECT_EQ(box.Point(1173.75, 0), kOutside);
    EXPECT_EQ(box.Point(0, 873.75), kOutside);
}

INSTANTIATE_TEST_SUITE_P(Sizes, PictureBoxOfAnySize,
                         ::testing::Values(QSize(), QSize(1, 1), QSize(127, 64), QSize(309, 229),
                                           QSize(310, 228), QSize(2000, 1500)));

TEST(PictureBox, ClearRestoresThePictureOverTheCurrentBackground) {
    PictureBox box(4695, 3495);
    const QImage picture = gradient(20, 10);
    box.setPicture(picture);
    box.setScaleModePixels();
    box.PSet(3, 4, 0x123456);
    box.PSet(100, 100, 0x123456);
    box.setBackColor(0x0000FF);
    EXPECT_EQ(box.Point(100, 100), 0x123456);  // a new background waits for the clear
    box.Cls();
    EXPECT_EQ(box.Point(3, 4), colourFromRgb(picture.pixel(3, 4)));
    EXPECT_EQ(box.Point(100, 100), 0x0000FF);
    EXPECT_TRUE(box.picture() == picture);
}

TEST(PictureBox, TranslucentPicturesShowTheBackgroundThrough) {
    PictureBox box(4695, 3495);
    box.setBackColor(0x00FF00);
    QImage picture(2, 1, QImage::Format_ARGB32);
    picture.setPixel(0, 0, qRgba(255, 0, 0, 0));
    picture.setPixel(1, 0, qRgba(255, 0, 0, 255));
    box.setPicture(picture);
    box.setScaleModePixels();
    EXPECT_EQ(box.Point(0, 0), 0x00FF00);
    EXPECT_EQ(box.Point(1, 0), 0x0000FF);
}

TEST(PictureBox, PSetOutsideTheClientAreaChangesNothing) {
    PictureBox box(4695, 3495);
    box.setPicture(gradient(400, 300));
    setWorkingScale(box);
    const QImage before = box.surface().copy();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double far = 1e30;
    for (const auto& [x, y] : std::vector<std::pair<double, double>>{{-0.001, 0},
                                                                     {0, -0.001},
                                                                     {1173.75, 0},
                                                                     {0, 873.75},
                                                                     {1173.75, 873.75},
                                                                     {nan, 1},
                                                                     {1, nan},
                                                                     {far, 1},
                                                                     {-far, 1},
                                                                     {1, far},
                                                                     {-3.76, -3.76}})
        box.PSet(x, y, 0x123456);
    EXPECT_TRUE(box.surface() == before);
}

TEST(PictureBox, PixelModeReadsTheClientSizeAndAUserScaleCanFollow) {
    PictureBox box(4695, 3615);
    setWorkingScale(box);
    box.setScaleModePixels();
    EXPECT_TRUE(box.isPixelScale());
    EXPECT_EQ(box.ScaleWidth(), 309);
    EXPECT_EQ(box.ScaleHeight(), 237);
    EXPECT_EQ(box.columnOf(308.99), 308);
    EXPECT_EQ(box.rowOf(-0.5), -1);
    box.setScaleWidth(618);  // two units a pixel across, pixels down
    EXPECT_FALSE(box.isPixelScale());
    EXPECT_EQ(box.columnOf(617.9), 308);
    EXPECT_EQ(box.rowOf(236.9), 236);
}

// Scales whose pixel edges fall on exact logical values: a point on an edge belongs to the pixel
// right of it, a point just before it to the pixel on the left.
class PictureBoxPixelEdges : public ::testing::TestWithParam<double> {};

TEST_P(PictureBoxPixelEdges, AnEdgeBelongsToThePixelAfterIt) {
    const double unitsPerPixel = GetParam();
    PictureBox box(4695, 3495);
    box.setScaleWidth(static_cast<float>(309 * unitsPerPixel));
    box.setScaleHeight(static_cast<float>(229 * unitsPerPixel));
    for (int pixel = 1; pixel <= 309; ++pixel) {
        const double edge = pixel * unitsPerPixel;
        ASSERT_EQ(box.columnOf(edge), pixel) << edge;
        ASSERT_EQ(box.columnOf(std::nextafter(edge, 0.0)), pixel - 1) << edge;
    }
    for (int pixel = 1; pixel <= 229; ++pixel) {
        const double edge = pixel * unitsPerPixel;
        ASSERT_EQ(box.rowOf(edge), pixel) << edge;
        ASSERT_EQ(box.rowOf(std::nextafter(edge, 0.0)), pixel - 1) << edge;
    }
}

INSTANTIATE_TEST_SUITE_P(Scales, PictureBoxPixelEdges,
                         ::testing::Values(0.25, 2.5, 3.0, 3.75, 6.0, 7.0, 15.0, 48.0));

TEST(PictureBox, AScaleOfZeroPutsEveryPointOutside) {
    PictureBox box(4695, 3495);
    box.setScaleWidth(0);
    box.setScaleHeight(0);
    EXPECT_EQ(box.Point(0, 0), kOutside);
    EXPECT_EQ(box.Point(10, 10), kOutside);
    box.PSet(0, 0, 0x123456);
}

TEST(PictureBox, CopiesAndHeldSurfacesAreNotWrittenThrough) {
    PictureBox box(4695, 3495);
    box.setScaleModePixels();
    const QImage held = box.surface();  // as a paint in progress may hold it
    PictureBox copy = box;
    copy.PSet(1, 1, 0x123456);
    EXPECT_EQ(copy.Point(1, 1), 0x123456);
    EXPECT_EQ(box.Point(1, 1), box.backColor());
    box.PSet(2, 2, 0x654321);
    EXPECT_EQ(box.Point(2, 2), 0x654321);
    EXPECT_EQ(colourFromRgb(held.pixel(2, 2)), box.backColor());
    EXPECT_EQ(copy.Point(2, 2), copy.backColor());
    copy = box;
    EXPECT_EQ(copy.Point(2, 2), 0x654321);
    copy.PSet(2, 2, 0);
    EXPECT_EQ(box.Point(2, 2), 0x654321);
}

TEST(PictureBox, MappingAgreesWithTheRuleOnRandomPoints) {
    std::mt19937 random(20240601);
    for (const float scale : {1173.75f, 873.75f, 4635.0f, 309.0f, 772.5f, 100.3f, 0.7f}) {
        PictureBox box(4695, 3495);
        box.setScaleWidth(scale);
        std::uniform_real_distribution<float> units(-0.1f * scale, 1.1f * scale);
        for (int i = 0; i < 20000; ++i) {
            const float x = units(random);
            // The rule in wide arithmetic: floor(x × client width ÷ ScaleWidth).
            const long double exact = std::floor(static_cast<long double>(x) * 309 / scale);
            const int expected = exact < 0 ? -1 : static_cast<int>(exact);
            ASSERT_EQ(box.columnOf(x), expected) << "x " << x << " scale " << scale;
        }
    }
}
