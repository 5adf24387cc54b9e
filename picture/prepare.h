#pragma once

// Preparing a picture in the box before its colours are picked: black and white at a lightness
// level, a few flat colours taken from the picture itself, the loaded picture fitted to the box,
// and a mirror image. Each works on the surface the pick and the transfer read and hands back a
// new image; the box then shows that image as its picture (showPrepared), so that a later Rotate
// 90, whose clear brings back the box's picture, keeps the preparation.

#include <QImage>
#include <QSize>
#include <cstdint>
#include <vector>

#include "picture/picture_box.h"

namespace bitlay::picture {

inline constexpr int kLowestLevel = 1;
inline constexpr int kHighestLevel = 254;
inline constexpr int kFewestFlatColours = 2;
inline constexpr int kMostFlatColours = 16;

// The lightness of a pixel, 0 (black) to 255 (white): the weighted sum of its channels that
// television and the eye use (0.299 red, 0.587 green, 0.114 blue), in integers.
inline int lightness(QRgb rgb) noexcept {
    return (77 * qRed(rgb) + 150 * qGreen(rgb) + 29 * qBlue(rgb) + 128) >> 8;
}

// The level, kLowestLevel to kHighestLevel, that best splits the surface into dark and light:
// Otsu's, the split with the largest variance between the two classes. Where a range of levels
// splits equally well (a picture of two shades), the middle of that range.
int otsuLevel(const QImage& surface);

// Black where a pixel's lightness is at most the level, white elsewhere. The box's own
// background colour is white at every level: it is what shows through a transparent picture and
// beyond its edges, which are no part of the art however light the level. (A pixel of the
// picture's own that has exactly that colour cannot be told from it and is white too.)
QImage blackAndWhite(const QImage& surface, int level, QRgb background);

// How many pixels of each colour; the most frequent first, ties by colour value.
struct ColourCount final {
    QRgb rgb = 0;
    std::int64_t count = 0;
};
std::vector<ColourCount> colourCounts(const QImage& surface);

// `number` colours of the picture (fewer where it has fewer), the most frequent first. A logo's
// inks and background are its most frequent colours and lie far apart, so each is chosen as it
// is; the shades its smooth edges mix from them are few of each and lie between, so none of them
// stands for an ink.
std::vector<QRgb> flatPalette(const std::vector<ColourCount>& counts, int number);

// The number of flat colours, kFewestFlatColours to kMostFlatColours, that suits the picture:
// as many as it has colours that a good share of its pixels is close to.
int suitedColourCount(const std::vector<ColourCount>& counts);

// Every pixel as the nearest colour of the palette; no dithering.
QImage flattened(const QImage& surface, const std::vector<QRgb>& palette);

// Left for right about the column that Rotate 90 turns about (half the width, rounded half to
// even). A pixel whose mirror lies outside keeps its colour, as Rotate 90 keeps one.
QImage mirrored(const QImage& surface);

// The picture scaled smoothly, its proportions kept, to the largest size that fits the box.
QImage fitted(const QImage& picture, QSize box);

// The number of different colours.
int colourCount(const QImage& surface);

// Pixels of exactly one colour, and those of another shade close to it. The surface is 32-bit.
struct ShadeCount final {
    std::int64_t exact = 0;
    std::int64_t close = 0;
};
ShadeCount shadesNear(const QImage& surface, QRgb colour);

// Whether the surface has no more colours than flat colours can give. The surface is 32-bit.
bool isFlat(const QImage& surface);

// Whether a pick of a colour with these counts should suggest flat colours: many more pixels
// close to it than of it. Asked only of a picture that is not flat already.
bool suggestsFlatColours(const ShadeCount& shades);

// The box shows the image as its picture, in its working scale.
void showPrepared(PictureBox& box, const QImage& prepared);

}  // namespace bitlay::picture
