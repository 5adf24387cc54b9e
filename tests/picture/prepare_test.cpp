#include "picture/prepare.h"

#include <gtest/gtest.h>

#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <random>
#include <set>

using namespace bitlay::picture;

namespace {

constexpr QRgb kWhite = qRgb(255, 255, 255);
constexpr QRgb kRed = qRgb(208, 16, 16);
constexpr QRgb kBlue = qRgb(20, 40, 200);
// The box's own background, white at every level.
constexpr QRgb kBoxGrey = qRgb(240, 240, 240);

QImage filled(int width, int height, QRgb colour) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(colour);
    return image;
}

// A logo as a drawing program exports it: two inks on white, every curved edge smoothed into
// shades that mix an ink with the white or with the other ink.
QImage smoothLogo(int width = 309, int height = 229) {
    QImage image = filled(width, height, kWhite);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(kRed));
    painter.drawEllipse(QRectF(20.3, 15.7, 150.4, 120.2));
    painter.setBrush(QColor(kBlue));
    QPainterPath ring;
    ring.addEllipse(QRectF(110.6, 60.1, 170.2, 150.9));
    ring.addEllipse(QRectF(150.2, 100.4, 90.3, 70.7));
    painter.drawPath(ring);
    return image;
}

std::set<QRgb> coloursOf(const QImage& image) {
    std::set<QRgb> colours;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) colours.insert(image.pixel(x, y));
    return colours;
}

// Otsu's level written out from its definition, over every level, for the pictures below.
int referenceOtsu(const QImage& image) {
    std::vector<int> values;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) values.push_back(lightness(image.pixel(x, y)));
    double best = -1;
    std::vector<int> bestLevels;
    for (int level = kLowestLevel; level <= kHighestLevel; ++level) {
        double n0 = 0, n1 = 0, s0 = 0, s1 = 0;
        for (const int v : values) (v <= level ? n0 : n1) += 1, (v <= level ? s0 : s1) += v;
        const double variance = n0 == 0 || n1 == 0 ? 0 : n0 * n1 * std::pow(s0 / n0 - s1 / n1, 2);
        if (variance > best * (1 + 1e-12)) {
            best = variance;
            bestLevels = {level};
        } else if (variance >= best * (1 - 1e-12)) {
            bestLevels.push_back(level);
        }
    }
    return (bestLevels.front() + bestLevels.back()) / 2;
}

}  // namespace

// Two shades: any level between them splits alike, and the middle of that range is taken. Smooth
// and noisy pictures: the level is Otsu's as its definition gives it.
TEST(BlackAndWhite, StartsAtTheLevelThatBestSplitsDarkFromLight) {
    QImage twoShades = filled(40, 30, qRgb(60, 60, 60));
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 40; ++x) twoShades.setPixel(x, y, qRgb(200, 200, 200));
    EXPECT_EQ(otsuLevel(twoShades), (60 + 199) / 2);
    EXPECT_EQ(otsuLevel(filled(10, 10, kWhite)), 128) << "one shade has nothing to split";

    std::mt19937 random(7);
    std::normal_distribution<double> dark(50, 12), light(190, 20);
    QImage noisy(120, 80, QImage::Format_RGB32);
    for (int y = 0; y < noisy.height(); ++y)
        for (int x = 0; x < noisy.width(); ++x) {
            const int v = std::clamp(int(x < 50 ? dark(random) : light(random)), 0, 255);
            noisy.setPixel(x, y, qRgb(v, v, v));
        }
    for (const QImage& image : {noisy, smoothLogo()})
        EXPECT_EQ(otsuLevel(image), referenceOtsu(image));
}

TEST(BlackAndWhite, MakesEveryPixelAtOrBelowTheLevelBlackAndTheRestWhite) {
    struct Case {
        QRgb pixel;
        int level;
        QRgb expected;
    };
    const Case cases[] = {
        {qRgb(118, 118, 118), 118, qRgb(0, 0, 0)},  // at the level: dark
        {qRgb(119, 119, 119), 118, kWhite},
        {qRgb(255, 0, 0), 77, qRgb(0, 0, 0)},  // pure red's lightness is 77
        {qRgb(255, 0, 0), 76, kWhite},
        {qRgb(0, 0, 255), 29, qRgb(0, 0, 0)},  // blue is darkest of the three
        {qRgb(0, 255, 0), 148, kWhite},        // and green lightest: 149
        {qRgb(0, 0, 0), kLowestLevel, qRgb(0, 0, 0)},
        {qRgb(254, 254, 254), kHighestLevel, qRgb(0, 0, 0)},
        {kWhite, kHighestLevel, kWhite},
    };
    for (const Case& c : cases) {
        const QImage result = blackAndWhite(filled(3, 2, c.pixel), c.level, kBoxGrey);
        EXPECT_EQ(coloursOf(result), std::set<QRgb>{c.expected})
            << std::hex << c.pixel << std::dec << " at level " << c.level;
    }
}

// Each ink of a smooth logo stays one colour, whole: every pixel of it keeps its colour, and
// every edge shade goes to one of the three colours the logo is made of.
TEST(FlatColours, KeepEachInkOfASmoothLogoWhole) {
    const QImage logo = smoothLogo();
    const std::vector<ColourCount> counts = colourCounts(logo);
    ASSERT_GT(counts.size(), 30u) << "the logo needs smooth edges to be a test";
    EXPECT_EQ(suitedColourCount(counts), 3);
    const std::vector<QRgb> palette = flatPalette(counts, 3);
    EXPECT_EQ(palette, (std::vector<QRgb>{kWhite, kBlue, kRed}))
        << "the colour standing for the most pixels first";
    const QImage flat = flattened(logo, palette);
    EXPECT_EQ(coloursOf(flat), (std::set<QRgb>{kWhite, kRed, kBlue}));
    for (int y = 0; y < logo.height(); ++y)
        for (int x = 0; x < logo.width(); ++x) {
            const QRgb original = logo.pixel(x, y);
            if (original == kRed || original == kBlue || original == kWhite) {
                ASSERT_EQ(flat.pixel(x, y), original) << x << ", " << y;
            }
        }
}

// Asked for more colours than a picture has, every colour stays; asked for fewer, the most
// common survive, no dithering mixes them, and the result has exactly as many colours.
TEST(FlatColours, GiveTheNumberAskedForAndNeverDither) {
    const QImage logo = smoothLogo(120, 90);
    const std::vector<ColourCount> counts = colourCounts(logo);
    for (const int number : {2, 3, 5, 8, 16}) {
        const QImage flat = flattened(logo, flatPalette(counts, number));
        EXPECT_EQ(int(coloursOf(flat).size()), number) << number;
        // No dithering: a run of one colour in the logo is one colour after.
        for (int x = 1; x < logo.width(); ++x)
            if (logo.pixel(x, 45) == logo.pixel(x - 1, 45)) {
                ASSERT_EQ(flat.pixel(x, 45), flat.pixel(x - 1, 45)) << number << " at " << x;
            }
    }
    QImage three = filled(6, 1, kRed);
    three.setPixel(0, 0, kBlue);
    three.setPixel(1, 0, kWhite);
    EXPECT_EQ(flattened(three, flatPalette(colourCounts(three), 16)), three);
    EXPECT_EQ(suitedColourCount(colourCounts(filled(4, 4, kRed))), kFewestFlatColours);
}

// Mirrored about the column Rotate 90 turns about: half the width rounded half to even. Where
// the mirror of a pixel lies outside, it keeps its colour.
TEST(Mirror, TurnsLeftForRightAboutTheRotationCentre) {
    struct Case {
        int width;
        int centre;
    };
    for (const Case c : {Case{309, 154}, Case{5, 2}, Case{6, 3}, Case{7, 4}, Case{1, 0}}) {
        QImage image(c.width, 2, QImage::Format_RGB32);
        for (int x = 0; x < c.width; ++x) {
            image.setPixel(x, 0, qRgb(x % 256, x / 256, 1));
            image.setPixel(x, 1, qRgb(x % 256, x / 256, 2));
        }
        const QImage result = mirrored(image);
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < c.width; ++x) {
                const int from = 2 * c.centre - x;
                const int expected = from >= 0 && from < c.width ? from : x;
                ASSERT_EQ(result.pixel(x, y), image.pixel(expected, y)) << c.width << ": " << x;
            }
        EXPECT_EQ(mirrored(result), image) << "twice is the picture again for width " << c.width
                                           << ", where the mirror stays inside";
    }
}

TEST(Fit, ScalesToTheLargestSizeThatFitsTheBoxKeepingProportions) {
    struct Case {
        QSize picture;
        QSize fitted;
    };
    const QSize box(309, 229);
    for (const Case c :
         {Case{{1200, 800}, {309, 206}}, Case{{100, 400}, {57, 229}}, Case{{10, 10}, {229, 229}},
          Case{{309, 229}, {309, 229}}, Case{{4000, 3000}, {305, 229}}}) {
        EXPECT_EQ(fitted(filled(c.picture.width(), c.picture.height(), kRed), box).size(), c.fitted)
            << c.picture.width() << " x " << c.picture.height();
    }
    EXPECT_TRUE(fitted(QImage(), box).isNull());
}

// Smoothly: a hard edge between two inks gets shades between them, but the inks stay.
TEST(Fit, ScalesSmoothly) {
    QImage picture = filled(1200, 800, kWhite);
    QPainter(&picture).fillRect(0, 0, 600, 800, QColor(kRed));
    const std::set<QRgb> colours = coloursOf(fitted(picture, QSize(309, 229)));
    EXPECT_TRUE(colours.count(kRed) && colours.count(kWhite));
}

// The pick's suggestion: a colour with many close shades in a picture of many colours, not a
// flat one, and not a colour of its own far from the rest.
TEST(Shades, SuggestFlatColoursOnlyWhereManyCloseShadesAreLeftOut) {
    const QImage logo = smoothLogo();
    const ShadeCount red = shadesNear(logo, kRed);
    EXPECT_GT(red.exact, 5000);
    const QImage flat = flattened(logo, flatPalette(colourCounts(logo), 3));
    EXPECT_EQ(shadesNear(flat, kRed).close, 0);
    EXPECT_TRUE(isFlat(flat));
    EXPECT_FALSE(isFlat(logo));

    QImage shaded = filled(100, 50, kWhite);
    for (int x = 0; x < 60; ++x)
        for (int y = 0; y < 50; ++y) shaded.setPixel(x, y, qRgb(x % 20, x % 20, (x + y) % 20));
    const ShadeCount black = shadesNear(shaded, qRgb(0, 0, 0));
    EXPECT_EQ(black.exact + black.close, 60 * 50);
    EXPECT_FALSE(isFlat(shaded));
    EXPECT_TRUE(suggestsFlatColours(black));
    EXPECT_FALSE(suggestsFlatColours(shadesNear(shaded, kWhite)));
    EXPECT_TRUE(isFlat(flattened(shaded, flatPalette(colourCounts(shaded), kMostFlatColours))));
}

// The box shows the prepared picture in its working scale, and a clear brings it back, so that
// Rotate 90 keeps a preparation.
TEST(ShowPrepared, BecomesThePictureTheBoxClearsTo) {
    PictureBox box(4695, 3495);
    box.setScaleModePixels();
    const QImage prepared = blackAndWhite(smoothLogo(), 128, kBoxGrey);
    showPrepared(box, prepared);
    EXPECT_FALSE(box.isPixelScale());
    EXPECT_FLOAT_EQ(box.ScaleWidth(), 4695.0f / 4);
    box.PSet(box.ScaleWidth() / 2, box.ScaleHeight() / 2, 0x123456);
    box.Cls();
    EXPECT_EQ(box.surface(), prepared.convertToFormat(QImage::Format_RGB32));
}
