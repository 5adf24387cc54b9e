#include <gtest/gtest.h>

#include <QImage>
#include <ostream>
#include <string>
#include <vector>

#include "picture/picture_box.h"
#include "picture/prepare.h"

using namespace bitlay::picture;

namespace {

// A box 8 pixels wide holding a picture 4 pixels wide, one row each: what lies beyond the picture,
// and what its transparent pixels let through, is the box's own light grey (240, 240, 240).
constexpr QRgb kTransparent = qRgba(0, 0, 0, 0);
constexpr QRgb kInk = qRgb(0, 0, 0);
constexpr QRgb kPale = qRgb(200, 200, 200);  // lightness 200

PictureBox boxWithPicture() {
    PictureBox box(8 * kTwipsPerPixel, 1 * kTwipsPerPixel, 0);
    QImage picture(4, 1, QImage::Format_ARGB32);
    const QRgb pixels[4] = {kInk, kPale, kTransparent, kInk};
    for (int x = 0; x < 4; ++x) picture.setPixel(x, 0, pixels[x]);
    box.setPicture(picture);
    return box;
}

// The row as B (black) and W (white).
std::string rowOf(const QImage& image) {
    std::string row;
    for (int x = 0; x < image.width(); ++x)
        row += image.pixel(x, 0) == qRgb(0, 0, 0)         ? 'B'
               : image.pixel(x, 0) == qRgb(255, 255, 255) ? 'W'
                                                          : '?';
    return row;
}

struct LevelCase {
    int level;
    const char* row;
};

void PrintTo(const LevelCase& c, std::ostream* out) { *out << "level " << c.level; }

class BlackAndWhiteLevel : public ::testing::TestWithParam<LevelCase> {};

// The picture's own pixels go by their lightness; the box showing through the transparent pixel
// (third) and beyond the picture (last four) is light at every level, up to the highest, though
// its grey is darker than some of those levels.
TEST_P(BlackAndWhiteLevel, TheBoxShowingThroughStaysLight) {
    const PictureBox box = boxWithPicture();
    const QImage result =
        blackAndWhite(box.surface(), GetParam().level, rgbFromColour(box.backColor()));
    EXPECT_EQ(rowOf(result), GetParam().row);
}

INSTANTIATE_TEST_SUITE_P(Levels, BlackAndWhiteLevel,
                         ::testing::Values(LevelCase{kLowestLevel, "BWWBWWWW"},
                                           LevelCase{199, "BWWBWWWW"}, LevelCase{200, "BBWBWWWW"},
                                           LevelCase{239, "BBWBWWWW"}, LevelCase{240, "BBWBWWWW"},
                                           LevelCase{kHighestLevel, "BBWBWWWW"}),
                         [](const auto& info) {
                             return "Level" + std::to_string(info.param.level);
                         });

}  // namespace
