#include "picture/picture_box.h"

#include <gtest/gtest.h>

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
    for (const bool pixels : {false, true}) {
        PictureBox box(4695, 3495);
        if (pixels) {
            box.setScaleModePixels();
        } else {
            box.setScaleWidth(box.Width() / 4);
            box.setScaleHeight(box.Height() / 4);
        }
        for (int column = 0; column < box.clientWidthPixels(); ++column)
            ASSERT_EQ(box.columnOf(box.logicalXOfColumn(column)), column) << column;
        for (int row = 0; row < box.clientHeightPixels(); ++row)
            ASSERT_EQ(box.rowOf(box.logicalYOfRow(row)), row) << row;
    }
}
